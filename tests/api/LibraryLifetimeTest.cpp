// Load and unload of the shared library: nothing opens at load, unload closes an open port.
// This program does not link the library; it loads it like a host does.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include "line/Line.h"
#include "support/PtyPeer.h"

namespace {

using trovel::test::PtyPeer;

template <class F>
F Resolve(void* library, const char* name)
{
    return reinterpret_cast<F>(::dlsym(library, name));
}

TEST(LibraryLifetime, LoadOpensNothingAndUnloadClosesAnOpenPort)
{
    PtyPeer peer;
    void* library = ::dlopen(TROVEL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    auto isOpen = Resolve<int (*)()>(library, "IsComOpen");
    auto openDevice = Resolve<int (*)(const char*)>(library, "OpenComDevice");
    ASSERT_NE(isOpen, nullptr);
    ASSERT_NE(openDevice, nullptr);
    EXPECT_EQ(isOpen(), 0);

    ASSERT_EQ(openDevice(peer.DevicePath().c_str()), 1);
    trovel::line::Line probe;
    EXPECT_EQ(probe.Open(peer.DevicePath()), trovel::line::Cause::Busy) << "the library holds the device";

    ASSERT_EQ(::dlclose(library), 0);
    EXPECT_EQ(probe.Open(peer.DevicePath()), trovel::line::Cause::Ok) << "unload must close the port";
}

} // namespace
