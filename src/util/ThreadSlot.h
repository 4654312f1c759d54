#pragma once
// One int per thread, owned by the library. On Windows a TLS index allocated at load and freed
// at unload: `thread_local` there goes through the runtime's emulated TLS and winpthreads, whose
// index and per-thread blocks outlive the DLL. A thread's value needs no clean-up, since it is
// stored in the slot itself. Elsewhere `thread_local`.

#if defined(_WIN32)
namespace trovel::util {

class ThreadSlot {
public:
    ThreadSlot() noexcept;
    ~ThreadSlot();
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    int Get() const noexcept;
    void Set(int value) noexcept;

private:
    unsigned long index_; // TLS_OUT_OF_INDEXES when none could be had: every thread reads 0
};

} // namespace trovel::util
#else
namespace trovel::util {

class ThreadSlot {
public:
    int Get() const noexcept { return value_; }
    void Set(int value) noexcept { value_ = value; }

private:
    static inline thread_local int value_ = 0;
};

} // namespace trovel::util
#endif
