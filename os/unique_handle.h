#pragma once

#include <utility>

namespace os {

// Owns one handle of the platform's and releases it once; moved, never copied. Traits gives
// the Handle type, its kInvalid value and a Close that does not throw.
template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  explicit UniqueHandle(Handle handle = Traits::kInvalid) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != Traits::kInvalid; }
  Handle release() { return std::exchange(handle_, Traits::kInvalid); }
  void reset(Handle handle = Traits::kInvalid) {
    if (valid())
      Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_;
};

}  // namespace os
