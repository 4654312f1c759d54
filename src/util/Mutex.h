#pragma once
// The library's lock. On Windows an SRWLOCK: it needs no kernel object, no per-thread handle
// and no TLS index, so a DLL that is loaded and unloaded over and over leaves nothing behind
// (the C++ runtime's std::mutex there goes through winpthreads, which keeps both). Elsewhere
// std::mutex. BasicLockable either way, for std::lock_guard.

#include <mutex> // std::lock_guard

#if defined(_WIN32)
namespace trovel::util {

class Mutex {
public:
    constexpr Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() noexcept;
    void unlock() noexcept;

private:
    void* state_ = nullptr; // an SRWLOCK: one pointer, all bits clear when free
};

} // namespace trovel::util
#else
namespace trovel::util {
using Mutex = std::mutex;
} // namespace trovel::util
#endif
