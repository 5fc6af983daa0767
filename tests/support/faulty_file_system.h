#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/fs.h"

namespace testing_support {

// The real file system, asking a hook before each call whether to fail instead. Unset hooks
// never fail. Header-only and free of the test framework, so fuzzers use it too.
class FaultyFileSystem : public os::FileSystem {
 public:
  using PathHook = std::function<bool(const std::string& path)>;
  PathHook open_append_fails;
  PathHook create_fails;
  PathHook rename_fails;  // given the name being renamed
  PathHook delete_fails;
  // Asked before every write; true makes the write put half its bytes in and fail.
  std::function<bool()> write_fails;

  std::optional<std::uint64_t> EntrySize(const std::string& path) override {
    return real_.EntrySize(path);
  }
  os::OpenResult OpenAppend(const std::string& path) override {
    if (open_append_fails && open_append_fails(path))
      return {nullptr, "Permission denied"};
    return Wrap(real_.OpenAppend(path));
  }
  os::OpenResult Create(const std::string& path) override {
    if (create_fails && create_fails(path))
      return {nullptr, "Permission denied"};
    return Wrap(real_.Create(path));
  }
  bool Rename(const std::string& from, const std::string& to) override {
    return !(rename_fails && rename_fails(from)) && real_.Rename(from, to);
  }
  bool Delete(const std::string& path) override {
    return !(delete_fails && delete_fails(path)) && real_.Delete(path);
  }
  bool CreateDirectories(const std::string& dir) override { return real_.CreateDirectories(dir); }

 private:
  class File final : public os::File {
   public:
    File(FaultyFileSystem& fs, std::unique_ptr<os::File> real) : fs_(fs), real_(std::move(real)) {}
    WriteResult Write(std::string_view bytes) override {
      if (fs_.write_fails && fs_.write_fails())
        return {false, real_->Write(bytes.substr(0, bytes.size() / 2)).written};
      return real_->Write(bytes);
    }
    std::optional<std::uint64_t> Size() override { return real_->Size(); }
    bool Truncate(std::uint64_t length) override { return real_->Truncate(length); }

   private:
    FaultyFileSystem& fs_;
    std::unique_ptr<os::File> real_;
  };

  os::OpenResult Wrap(os::OpenResult r) {
    if (r.file)
      r.file = std::make_unique<File>(*this, std::move(r.file));
    return r;
  }

  os::FileSystem& real_ = os::RealFileSystem();
};

}  // namespace testing_support
