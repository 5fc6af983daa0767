#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace os {

// An open file; the destructor closes it.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  virtual ~File() = default;

  struct WriteResult {
    bool ok;
    std::size_t written;  // bytes that reached the file, all of them when ok
  };
  virtual WriteResult Write(std::string_view bytes) = 0;
  virtual std::optional<std::uint64_t> Size() = 0;
  virtual bool Truncate(std::uint64_t length) = 0;
};

struct OpenResult {
  std::unique_ptr<File> file;  // null on failure
  std::string error;           // the platform's text for the failure, 8-bit
};

// Every file-system call of the writer goes through here, so tests can make any of them fail.
class FileSystem {
 public:
  FileSystem() = default;
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;
  virtual ~FileSystem() = default;

  // Size of the directory entry at path, whatever kind it is; nullopt when there is none.
  virtual std::optional<std::uint64_t> EntrySize(const std::string& path) = 0;
  // Opens an existing file for writing at its end; fails when the file is missing.
  virtual OpenResult OpenAppend(const std::string& path) = 0;
  // Creates the file and opens it for writing at its end. A file that exists after all (made by
  // another program since the append-open failed) keeps its bytes: a log is never emptied.
  virtual OpenResult Create(const std::string& path) = 0;
  // Never replaces an existing target: a rotation chain that breaks midway must not overwrite.
  virtual bool Rename(const std::string& from, const std::string& to) = 0;
  virtual bool Delete(const std::string& path) = 0;
  // Creates dir and every missing parent; true when dir exists afterwards.
  virtual bool CreateDirectories(const std::string& dir) = 0;
};

FileSystem& RealFileSystem();

}  // namespace os
