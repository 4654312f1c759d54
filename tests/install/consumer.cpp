// A C++ host built against the installed SDK: the header-only interface finds the C header.
#include <cstdio>

#include <trovel/trovel.hpp>

int main()
{
    const auto result = trovel::Line().Controller(1).TryMotorSpeed();
    std::printf("version=%s cause=%d\n", trovel::Version().c_str(), result.Code());
    return trovel::Version() == TROVELSDK_VERSION_STRING && result.Cause() == trovel::Cause::BadLine ? 0 : 1;
}
