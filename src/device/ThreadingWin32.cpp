// The Win32 side of util::Mutex, util::ConditionVariable and util::ThreadSlot: an SRWLOCK, a
// CONDITION_VARIABLE and a TLS index of our own, none of which needs anything freed per thread.

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

static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*), "a CONDITION_VARIABLE is one pointer");

void ConditionVariable::notify_one() noexcept
{
    ::WakeConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&state_));
}

void ConditionVariable::notify_all() noexcept
{
    ::WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&state_));
}

// A time-out or a spurious wake-up both come back here; the caller's predicate decides.
void ConditionVariable::Sleep(Mutex& mutex, unsigned long ms) noexcept
{
    ::SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&state_), Lock(mutex.state_), ms, 0);
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

// ---- at unload: the C++ runtime's own state for the unloading thread ----------------------
//
// The statically linked runtime takes, at every load, things no unload gives back: libgcc's
// frame registration goes through winpthreads' pthread_once, which allocates a TLS index and,
// for the loading thread, a thread record with an event and a duplicated thread handle; and
// libstdc++ keeps an emergency pool for exceptions. winpthreads frees a thread's record only
// when the thread ends (its TLS callback, DLL_THREAD_DETACH) and never its index, so a host
// that loads and unloads the DLL in a loop would run out of the process's 1,088 TLS indexes.
// At unload, after every other destructor of the DLL, the unloading thread is treated as
// leaving: each TLS callback of this image runs its thread clean-up for it, exactly as the
// loader does when a thread ends; a TLS slot that clean-up emptied belongs to this image's
// runtime and is freed with it; then libstdc++'s pool is released.

extern "C" std::uint8_t __ImageBase[]; // the linker's name for this image's first byte

namespace __gnu_cxx {
void __freeres() noexcept; // libstdc++: frees the runtime's own lasting allocations
} // namespace __gnu_cxx

namespace trovel::util {
namespace {

constexpr DWORD kTlsSlots = 1088; // TLS_MINIMUM_AVAILABLE plus the expansion slots

const IMAGE_NT_HEADERS* OwnHeaders() noexcept
{
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(__ImageBase);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(__ImageBase + dos->e_lfanew);
}

const IMAGE_TLS_DIRECTORY* OwnTlsDirectory() noexcept
{
    const IMAGE_DATA_DIRECTORY& entry = OwnHeaders()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    if (entry.VirtualAddress == 0 || entry.Size == 0)
        return nullptr;
    return reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(__ImageBase + entry.VirtualAddress);
}

class RuntimeRelease {
public:
    ~RuntimeRelease()
    {
        // Only a DLL is unloaded while its process goes on; a program linking the core (its
        // tests) ends with its process, which frees everything.
        if ((OwnHeaders()->FileHeader.Characteristics & IMAGE_FILE_DLL) == 0)
            return;
        const DWORD savedError = ::GetLastError();
        if (const IMAGE_TLS_DIRECTORY* tls = OwnTlsDirectory(); tls != nullptr && tls->AddressOfCallBacks != 0) {
            // Which slots hold something for this thread now (no heap: this runs at unload).
            static std::uintptr_t before[kTlsSlots];
            for (DWORD i = 0; i < kTlsSlots; ++i)
                before[i] = reinterpret_cast<std::uintptr_t>(::TlsGetValue(i));
            auto* const* callback = reinterpret_cast<PIMAGE_TLS_CALLBACK const*>(tls->AddressOfCallBacks);
            for (; *callback != nullptr; ++callback)
                (*callback)(__ImageBase, DLL_THREAD_DETACH, nullptr);
            // Only this image's code ran on this thread in between: what it emptied is its own.
            for (DWORD i = 0; i < kTlsSlots; ++i)
                if (before[i] != 0 && ::TlsGetValue(i) == nullptr)
                    ::TlsFree(i);
        }
        __gnu_cxx::__freeres();
        ::SetLastError(savedError);
    }
};

// Constructed before every other static object of the DLL, so destroyed after all of them.
__attribute__((init_priority(101))) RuntimeRelease theRuntimeRelease;

} // namespace
} // namespace trovel::util
