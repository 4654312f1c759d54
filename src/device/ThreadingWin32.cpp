// The Win32 side of util::Mutex and util::ThreadSlot: an SRWLOCK and a TLS index of our own,
// neither of which needs anything freed per thread.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>

#include "util/Mutex.h"
#include "util/ThreadSlot.h"

namespace trovel::util {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");

namespace {
PSRWLOCK Lock(void*& state) noexcept
{
    return reinterpret_cast<PSRWLOCK>(&state);
}
} // namespace

void Mutex::lock() noexcept
{
    ::AcquireSRWLockExclusive(Lock(state_));
}

void Mutex::unlock() noexcept
{
    ::ReleaseSRWLockExclusive(Lock(state_));
}

ThreadSlot::ThreadSlot() noexcept : index_(::TlsAlloc()) {}

ThreadSlot::~ThreadSlot()
{
    if (index_ != TLS_OUT_OF_INDEXES)
        ::TlsFree(index_);
}

int ThreadSlot::Get() const noexcept
{
    if (index_ == TLS_OUT_OF_INDEXES)
        return 0;
    // TlsGetValue sets the last error to 0 on success: the host's own error must survive it.
    const DWORD saved = ::GetLastError();
    const auto value = reinterpret_cast<std::intptr_t>(::TlsGetValue(index_));
    ::SetLastError(saved);
    return static_cast<int>(value);
}

void ThreadSlot::Set(int value) noexcept
{
    if (index_ != TLS_OUT_OF_INDEXES)
        ::TlsSetValue(index_, reinterpret_cast<void*>(static_cast<std::intptr_t>(value)));
}

} // namespace trovel::util
