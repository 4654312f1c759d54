#pragma once
// The library's lock and condition variable. On Windows an SRWLOCK and a CONDITION_VARIABLE:
// they need no kernel object, no per-thread handle and no TLS index, so a DLL that is loaded
// and unloaded over and over leaves nothing behind (the C++ runtime's std::mutex and
// std::condition_variable there go through winpthreads, which keeps both). Elsewhere
// std::mutex and std::condition_variable. The mutex is BasicLockable either way, for
// std::lock_guard and std::unique_lock.

#include <chrono>
#include <mutex> // std::lock_guard, std::unique_lock

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
    friend class ConditionVariable;
    void* state_ = nullptr; // an SRWLOCK: one pointer, all bits clear when free
};

// The subset of std::condition_variable the library uses, over Mutex.
class ConditionVariable {
public:
    constexpr ConditionVariable() noexcept = default;
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    void notify_one() noexcept;
    void notify_all() noexcept;

    template <class Predicate>
    void wait(std::unique_lock<Mutex>& lock, Predicate ready)
    {
        while (!ready())
            Sleep(*lock.mutex(), kForever);
    }

    // True when `ready` holds, false when `until` came first.
    template <class Clock, class Duration, class Predicate>
    bool wait_until(std::unique_lock<Mutex>& lock, const std::chrono::time_point<Clock, Duration>& until,
                    Predicate ready)
    {
        while (!ready()) {
            const auto left = until - Clock::now();
            if (left <= Duration::zero())
                return ready();
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            Sleep(*lock.mutex(), ms >= kForever ? kForever - 1 : static_cast<unsigned long>(ms));
        }
        return true;
    }

private:
    static constexpr unsigned long kForever = 0xFFFFFFFFul; // INFINITE
    void Sleep(Mutex& mutex, unsigned long ms) noexcept;

    void* state_ = nullptr; // a CONDITION_VARIABLE: one pointer, all bits clear when new
};

} // namespace trovel::util
#else
#include <condition_variable>
namespace trovel::util {
using Mutex = std::mutex;
using ConditionVariable = std::condition_variable;
} // namespace trovel::util
#endif
