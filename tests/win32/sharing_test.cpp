// How the log meets other programs that open it on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "os/fs.h"
#include "os/text_win32.h"
#include "tests/support/temp_dir.h"

namespace os {
namespace {

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

class Viewer {
 public:
  Viewer(const std::string& path, DWORD share)
      : handle_(::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;
  ~Viewer() {
    if (handle_ != INVALID_HANDLE_VALUE)
      ::CloseHandle(handle_);
  }
  bool open() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// A typical viewer shares reading and writing but not deletion: lines still go in, the file
// cannot be moved while it is open.
TEST(SharingTest, ViewerThatDoesNotShareDeletionBlocksOnlyTheRename) {
  TempDir dir;
  const std::string path = dir / "kestrune.LOG";
  WriteFile(path, "a\r\n");
  FileSystem& fs = RealFileSystem();
  {
    Viewer viewer(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(viewer.open());
    const OpenResult opened = fs.OpenAppend(path);
    ASSERT_NE(opened.file, nullptr) << opened.error;
    EXPECT_TRUE(opened.file->Write("b\r\n").ok);
    EXPECT_FALSE(fs.Rename(path, path + ".0"));
  }
  EXPECT_EQ(ReadFile(path), "a\r\nb\r\n");
  EXPECT_TRUE(fs.Rename(path, path + ".0"));
}

// Our own open handle shares everything, so a viewer can open the file in any sharing mode that
// allows a writer.
TEST(SharingTest, ViewerCanOpenTheFileWhileTheWriterHoldsIt) {
  TempDir dir;
  const std::string path = dir / "kestrune.LOG";
  const OpenResult created = RealFileSystem().Create(path);
  ASSERT_NE(created.file, nullptr) << created.error;
  Viewer viewer(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_TRUE(viewer.open());
}

}  // namespace
}  // namespace os
