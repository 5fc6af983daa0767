// The file-system service against the real system: the guarantees the writer builds on.
#include <gtest/gtest.h>

#include <string>

#include "os/fs.h"
#include "tests/support/temp_dir.h"

namespace os {
namespace {

using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

class FileSystemTest : public ::testing::Test {
 protected:
  FileSystem& fs = RealFileSystem();
  TempDir dir;
  std::string path = dir / "kestrune.LOG";
};

TEST_F(FileSystemTest, AppendOpenFailsOnAMissingFileWithTheSystemsText) {
  const OpenResult r = fs.OpenAppend(path);
  EXPECT_EQ(r.file, nullptr);
  EXPECT_EQ(r.error, testing_support::FileNotFoundText());
  ASSERT_FALSE(r.error.empty());
  EXPECT_NE(r.error.back(), '\n');
  EXPECT_NE(r.error.back(), '\r');
  EXPECT_FALSE(Exists(path));
}

TEST_F(FileSystemTest, CreateKeepsAnExistingFileAndAppendWritesAtTheEnd) {
  WriteFile(path, "ab");
  {
    // The file appeared after a failed append-open: its bytes are a log's, never emptied.
    const OpenResult created = fs.Create(path);
    ASSERT_NE(created.file, nullptr) << created.error;
    EXPECT_EQ(created.file->Size(), 2u);
  }
  const OpenResult opened = fs.OpenAppend(path);
  ASSERT_NE(opened.file, nullptr) << opened.error;
  const File::WriteResult w = opened.file->Write(std::string("c\0d\r\n", 5));
  EXPECT_TRUE(w.ok);
  EXPECT_EQ(w.written, 5u);
  EXPECT_EQ(ReadFile(path), std::string("abc\0d\r\n", 7));
  EXPECT_EQ(fs.EntrySize(path), 7u);
}

// Other programs may write to the log too; our lines must still go after theirs.
TEST_F(FileSystemTest, AppendFollowsTheEndWhenAnotherWriterExtendsTheFile) {
  WriteFile(path, "1");
  const OpenResult opened = fs.OpenAppend(path);
  ASSERT_NE(opened.file, nullptr) << opened.error;
  {
    const OpenResult other = fs.OpenAppend(path);
    ASSERT_NE(other.file, nullptr) << other.error;
    EXPECT_TRUE(other.file->Write("22").ok);
  }
  EXPECT_TRUE(opened.file->Write("3").ok);
  EXPECT_EQ(ReadFile(path), "1223");
}

TEST_F(FileSystemTest, TruncateCutsBackAndLaterWritesFollowTheNewEnd) {
  const OpenResult opened = fs.Create(path);
  ASSERT_NE(opened.file, nullptr) << opened.error;
  EXPECT_TRUE(opened.file->Write("whole line\r\ntorn").ok);
  EXPECT_TRUE(opened.file->Truncate(12));
  EXPECT_EQ(opened.file->Size(), 12u);
  EXPECT_TRUE(opened.file->Write("next\r\n").ok);
  EXPECT_EQ(ReadFile(path), "whole line\r\nnext\r\n");
}

// The log must never stand in the way of readers, rotation or removal.
TEST_F(FileSystemTest, AnOpenFileCanBeReadRenamedAndDeleted) {
  const OpenResult opened = fs.Create(path);
  ASSERT_NE(opened.file, nullptr) << opened.error;
  EXPECT_TRUE(opened.file->Write("line\r\n").ok);
  EXPECT_EQ(ReadFile(path), "line\r\n");
  const std::string moved = path + ".0";
  ASSERT_TRUE(fs.Rename(path, moved));
  EXPECT_TRUE(opened.file->Write("more\r\n").ok);
  EXPECT_EQ(ReadFile(moved), "line\r\nmore\r\n");
  EXPECT_TRUE(fs.Delete(moved));
}

TEST_F(FileSystemTest, RenameNeverReplacesAnExistingTarget) {
  WriteFile(path, "current");
  WriteFile(path + ".0", "older");
  EXPECT_FALSE(fs.Rename(path, path + ".0"));
  EXPECT_EQ(ReadFile(path), "current");
  EXPECT_EQ(ReadFile(path + ".0"), "older");
  EXPECT_FALSE(fs.Rename(dir / "missing", path + ".1"));
  EXPECT_TRUE(fs.Rename(path, path + ".1"));
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(ReadFile(path + ".1"), "current");
}

TEST_F(FileSystemTest, SizeAndDeleteOfMissingEntries) {
  EXPECT_EQ(fs.EntrySize(path), std::nullopt);
  EXPECT_FALSE(fs.Delete(path));
  WriteFile(path, std::string(1000, 'x'));
  EXPECT_EQ(fs.EntrySize(path), 1000u);
  EXPECT_TRUE(fs.Delete(path));
  EXPECT_EQ(fs.EntrySize(path), std::nullopt);
}

TEST_F(FileSystemTest, NestedFoldersWithCyrillicNames) {
  const std::string nested = dir / "Журнал/обмен с БС/2026";
  EXPECT_TRUE(fs.CreateDirectories(nested));
  EXPECT_TRUE(fs.CreateDirectories(nested));  // already there
  const std::string file = nested + "/лог.LOG";
  const OpenResult created = fs.Create(file);
  ASSERT_NE(created.file, nullptr) << created.error;
  EXPECT_TRUE(created.file->Write("x").ok);
  EXPECT_TRUE(Exists(file));
  EXPECT_EQ(ReadFile(file), "x");
  EXPECT_TRUE(fs.Rename(file, file + ".0"));
  EXPECT_EQ(fs.EntrySize(file + ".0"), 1u);
  // A file where a folder should go.
  EXPECT_FALSE(fs.CreateDirectories(file + ".0/sub"));
}

}  // namespace
}  // namespace os
