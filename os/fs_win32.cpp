#include <windows.h>

#include <algorithm>
#include <utility>

#include "os/error_text.h"
#include "os/fs.h"
#include "os/text_win32.h"

namespace os {
namespace {

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { ::CloseHandle(handle_); }

  WriteResult Write(std::string_view bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
      // Offset all ones writes at the current end of the file, wherever another program left it.
      OVERLAPPED at_end{};
      at_end.Offset = 0xFFFFFFFF;
      at_end.OffsetHigh = 0xFFFFFFFF;
      DWORD n = 0;
      if (!::WriteFile(handle_, bytes.data() + done, chunk, &n, &at_end) || n == 0)
        return {false, done};
      done += n;
    }
    return {true, done};
  }

  std::optional<std::uint64_t> Size() override {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle_, &size))
      return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  bool Truncate(std::uint64_t length) override {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(length);
    return ::SetFilePointerEx(handle_, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle_);
  }

 private:
  HANDLE handle_;
};

OpenResult Open(const std::string& path, DWORD disposition) {
  // Append data plus write data: the second is what lets a torn line be cut off again.
  // Sharing everything keeps readers, copiers and deleters of the log unblocked.
  const HANDLE handle =
      ::CreateFileW(Utf8ToWide(path).c_str(),
                    FILE_APPEND_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return {nullptr, ErrorText(static_cast<int>(::GetLastError()))};
  return {std::make_unique<Win32File>(handle), {}};
}

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// Where the first folder that may need creating starts: past "C:\", "\\server\share\" or "\".
std::size_t FirstCreatable(const std::wstring& dir) {
  if (dir.size() >= 2 && IsSeparator(dir[0]) && IsSeparator(dir[1])) {
    std::size_t pos = 2;
    for (int parts = 0; parts < 2 && pos < dir.size(); ++parts) {
      while (pos < dir.size() && !IsSeparator(dir[pos]))
        ++pos;
      ++pos;
    }
    return pos;
  }
  if (dir.size() >= 2 && dir[1] == L':')
    return dir.size() >= 3 && IsSeparator(dir[2]) ? 3 : 2;
  return IsSeparator(dir[0]) ? 1 : 0;
}

class Win32FileSystem final : public FileSystem {
 public:
  std::optional<std::uint64_t> EntrySize(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data))
      return std::nullopt;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  OpenResult OpenAppend(const std::string& path) override { return Open(path, OPEN_EXISTING); }

  OpenResult Create(const std::string& path) override { return Open(path, OPEN_ALWAYS); }

  // Without MOVEFILE_REPLACE_EXISTING an existing target makes the move fail.
  bool Rename(const std::string& from, const std::string& to) override {
    return ::MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), 0) != 0;
  }

  bool Delete(const std::string& path) override {
    return ::DeleteFileW(Utf8ToWide(path).c_str()) != 0;
  }

  bool CreateDirectories(const std::string& dir) override {
    const std::wstring wide = Utf8ToWide(dir);
    if (wide.empty())
      return false;
    for (std::size_t pos = FirstCreatable(wide); pos < wide.size(); ++pos) {
      if (IsSeparator(wide[pos]) && pos > 0 && !IsSeparator(wide[pos - 1]))
        ::CreateDirectoryW(wide.substr(0, pos).c_str(), nullptr);
    }
    ::CreateDirectoryW(wide.c_str(), nullptr);
    return IsDirectory(wide);
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static Win32FileSystem fs;
  return fs;
}

}  // namespace os
