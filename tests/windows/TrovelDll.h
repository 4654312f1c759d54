#pragma once
// TrovelSdk.dll as a host loads it: from the program's folder, exports taken by name or
// by ordinal.

#include <gtest/gtest.h>

#include <windows.h>

#include "TrovelSdk.h"

namespace trovel::wintest {

// Loads the DLL from the program's folder, as a host does, and unloads it at the end.
class TrovelDll {
public:
    TrovelDll() : module_(::LoadLibraryW(L"TrovelSdk.dll")) {}
    ~TrovelDll() { Unload(); }
    TrovelDll(const TrovelDll&) = delete;
    TrovelDll& operator=(const TrovelDll&) = delete;

    bool Loaded() const { return module_ != nullptr; }
    void Unload()
    {
        if (module_ != nullptr)
            ::FreeLibrary(module_);
        module_ = nullptr;
    }

    FARPROC ByName(const char* name) const { return ::GetProcAddress(module_, name); }
    FARPROC ByOrdinal(unsigned ordinal) const
    {
        return ::GetProcAddress(module_, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal)));
    }

    // The export as a typed pointer, taken by ordinal after checking that the name agrees.
    template <class Function>
    Function Export(const char* name, unsigned ordinal) const
    {
        const FARPROC byName = ByName(name);
        EXPECT_NE(byName, nullptr) << name;
        EXPECT_EQ(byName, ByOrdinal(ordinal)) << name << " @" << ordinal;
        // Through void(*)(), the type that stands for any function, as GetProcAddress is used.
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(ByOrdinal(ordinal)));
    }

private:
    HMODULE module_;
};

} // namespace trovel::wintest

// The export of a TrovelSdk.h function, typed from its declaration:
//   const auto getMotorSpeed = TROVEL_EXPORT(dll, GetMotorSpeed, 27);
#define TROVEL_EXPORT(dll, name, ordinal) (dll).Export<decltype(&::name)>(#name, ordinal)
