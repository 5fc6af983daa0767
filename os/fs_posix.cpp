#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/error_text.h"
#include "os/fs.h"

namespace os {
namespace {

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }

  WriteResult Write(std::string_view bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        return {false, done};
      }
      if (n == 0)
        return {false, done};
      done += static_cast<std::size_t>(n);
    }
    return {true, done};
  }

  std::optional<std::uint64_t> Size() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
      return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
  }

  bool Truncate(std::uint64_t length) override {
    return ::ftruncate(fd_, static_cast<off_t>(length)) == 0;
  }

 private:
  int fd_;
};

OpenResult Open(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_WRONLY | O_APPEND | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return {nullptr, ErrorText(errno)};
  return {std::make_unique<PosixFile>(fd), {}};
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class PosixFileSystem final : public FileSystem {
 public:
  std::optional<std::uint64_t> EntrySize(const std::string& path) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
      return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
  }

  OpenResult OpenAppend(const std::string& path) override { return Open(path, 0); }

  OpenResult Create(const std::string& path) override { return Open(path, O_CREAT); }

  bool Rename(const std::string& from, const std::string& to) override {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
      return true;
    if (errno != EINVAL && errno != ENOSYS)
      return false;
    // File systems without the no-replace flag: check first, accepting the small race.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0)
      return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
  }

  bool Delete(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

  bool CreateDirectories(const std::string& dir) override {
    if (dir.empty())
      return false;
    for (std::size_t pos = dir.find('/', 1); pos != std::string::npos;
         pos = dir.find('/', pos + 1)) {
      ::mkdir(dir.substr(0, pos).c_str(), 0777);
    }
    ::mkdir(dir.c_str(), 0777);
    return IsDirectory(dir);
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace os
