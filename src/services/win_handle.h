#pragma once
// Windows back ends only: owners of Win32 handles, so that every handle is closed on every path.
#include <windows.h>

template <typename Traits>
class UniqueWinHandle {
 public:
  using Handle = typename Traits::Handle;
  UniqueWinHandle() = default;
  explicit UniqueWinHandle(Handle handle) : handle_(handle) {}
  ~UniqueWinHandle() { reset(); }
  UniqueWinHandle(const UniqueWinHandle&) = delete;
  UniqueWinHandle& operator=(const UniqueWinHandle&) = delete;
  UniqueWinHandle(UniqueWinHandle&& other) noexcept : handle_(other.release()) {}
  UniqueWinHandle& operator=(UniqueWinHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  bool valid() const { return handle_ != Traits::Invalid(); }
  Handle get() const { return handle_; }
  Handle release() {
    Handle h = handle_;
    handle_ = Traits::Invalid();
    return h;
  }
  void reset(Handle handle = Traits::Invalid()) {
    if (valid()) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { CloseHandle(h); }
};

struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { CloseHandle(h); }
};

struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { FindClose(h); }
};

using UniqueFile = UniqueWinHandle<FileHandleTraits>;
using UniqueKernelHandle = UniqueWinHandle<KernelHandleTraits>;
using UniqueFind = UniqueWinHandle<FindHandleTraits>;
