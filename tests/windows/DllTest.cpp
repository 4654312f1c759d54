// TrovelSdk.dll as a host uses it: loaded at run time, its exports taken by name and by
// ordinal, driving the scripted peer of line.peer through wine's COM port.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "TrovelDll.h"
#include "TrovelSdk.h"
#include "WineLine.h"

namespace trovel::wintest {
namespace {

// The .def entries, "Name @ordinal".
std::vector<std::pair<std::string, unsigned>> DefinedExports()
{
    std::vector<std::pair<std::string, unsigned>> exports;
    std::ifstream def(TROVEL_DEF_FILE);
    const std::regex entry(R"(^\s*(\w+)\s+@(\d+)\s*$)");
    std::smatch match;
    for (std::string line; std::getline(def, line);)
        if (std::regex_match(line, match, entry))
            exports.emplace_back(match[1], static_cast<unsigned>(std::stoul(match[2])));
    return exports;
}

class Dll : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dll.Loaded()) << "TrovelSdk.dll next to the test program";
        openCom = TROVEL_EXPORT(dll, OpenCom, 4);
        closeCom = TROVEL_EXPORT(dll, CloseCom, 5);
        isComOpen = TROVEL_EXPORT(dll, IsComOpen, 3);
        ASSERT_NE(openCom, nullptr);
        ASSERT_NE(closeCom, nullptr);
        ASSERT_NE(isComOpen, nullptr);
    }

    TrovelDll dll;
    decltype(&::OpenCom) openCom = nullptr;
    decltype(&::CloseCom) closeCom = nullptr;
    decltype(&::IsComOpen) isComOpen = nullptr;
};

TEST_F(Dll, EveryDefinedExportResolvesByNameAndByOrdinalToOneAddress)
{
    const auto exports = DefinedExports();
    ASSERT_FALSE(exports.empty()) << "cannot read " << TROVEL_DEF_FILE;
    for (const auto& [name, ordinal] : exports) {
        EXPECT_NE(dll.ByName(name.c_str()), nullptr) << name;
        EXPECT_EQ(dll.ByName(name.c_str()), dll.ByOrdinal(ordinal)) << name << " @" << ordinal;
    }
    EXPECT_EQ(dll.ByName("OpenComDevice"), nullptr) << "the Linux-only export stays out of the DLL";
}

TEST_F(Dll, OpenComRefusesBadAndMissingPorts)
{
    EXPECT_EQ(isComOpen(), 0) << "no port is open after load";
    EXPECT_EQ(openCom(0), 0);
    EXPECT_EQ(openCom(1025), 0);
    EXPECT_EQ(openCom(AbsentPort()), 0);
    EXPECT_EQ(isComOpen(), 0);
}

TEST_F(Dll, AnOpenPortStaysTheOneOpenedFirst)
{
    ASSERT_EQ(openCom(TestPort()), 1);
    EXPECT_EQ(isComOpen(), 1);
    EXPECT_EQ(openCom(0), 1);
    EXPECT_EQ(openCom(AbsentPort()), 1);
    EXPECT_EQ(isComOpen(), 1);
    EXPECT_EQ(closeCom(), false);
}

// The peer counts how often the last handle to its line closed; asking it takes a port of
// its own, whose close it counts as well.
// The peer notices an open or a close within a few milliseconds, as long as the line stays
// in that state meanwhile.
void LetThePeerSeeIt() { ::Sleep(100); }

int ClosesSoFar()
{
    LetThePeerSeeIt();
    const int closes = QueryStatusOnFreshPort().closes;
    LetThePeerSeeIt(); // the question's own close
    return closes + 1;
}

TEST_F(Dll, CloseComClosesTheDeviceAndAnswersFalse)
{
    const int closesBefore = ClosesSoFar();
    ASSERT_GE(closesBefore, 1);

    ASSERT_EQ(openCom(TestPort()), 1);
    LetThePeerSeeIt();
    EXPECT_EQ(closeCom(), false);
    EXPECT_EQ(isComOpen(), 0);
    EXPECT_EQ(closeCom(), false) << "also on a closed port";
    EXPECT_EQ(ClosesSoFar(), closesBefore + 2);

    EXPECT_EQ(openCom(TestPort()), 1) << "the port opens again after a close";
    EXPECT_EQ(closeCom(), false);
}

TEST_F(Dll, UnloadingClosesAnOpenPort)
{
    const int closesBefore = ClosesSoFar();
    ASSERT_GE(closesBefore, 1);

    ASSERT_EQ(openCom(TestPort()), 1);
    LetThePeerSeeIt();
    dll.Unload();
    EXPECT_EQ(ClosesSoFar(), closesBefore + 2);
}

TEST_F(Dll, AControllerCallRunsOneExchange)
{
    const auto getMotorSpeed = TROVEL_EXPORT(dll, GetMotorSpeed, 27);
    ASSERT_NE(getMotorSpeed, nullptr);
    float speed = 0.0f;
    EXPECT_EQ(getMotorSpeed(1, &speed), 0) << "refused while the port is closed";

    ASSERT_EQ(openCom(TestPort()), 1);
    const Stopwatch watch;
    EXPECT_EQ(getMotorSpeed(1, &speed), 1);
    Report("GetMotorSpeed through the DLL (reply at 20 ms)", watch.Ms());
    EXPECT_EQ(speed, 1.5f);
    closeCom();
}

// Faults caught: the COM ports wine knows left out or misnamed, a host's element size not
// taken as the stride (an older, shorter struct overwritten past its end).
TEST_F(Dll, ListPortsInfoNamesTheComPortsWineKnows)
{
    const auto listPortsInfo = TROVEL_EXPORT(dll, TrovelListPortsInfo, 169);
    ASSERT_NE(listPortsInfo, nullptr);
    const int count = listPortsInfo(nullptr, 0);
    const std::string ours = "COM" + std::to_string(TestPort());
    ASSERT_GE(count, 1);
    std::vector<TrovelPortInfo> ports(static_cast<std::size_t>(count));
    ports[0].size = sizeof(TrovelPortInfo);
    ASSERT_EQ(listPortsInfo(ports.data(), count), count);
    bool found = false;
    std::string names;
    for (const auto& port : ports) {
        EXPECT_EQ(std::string(port.name).rfind("COM", 0), 0u) << port.name;
        found = found || ours == port.name;
        names += std::string(" ") + port.name;
    }
    EXPECT_TRUE(found) << ours << " among" << names;

    // A host of an older header: elements end before vendorId.
    constexpr std::size_t kOld = offsetof(TrovelPortInfo, vendorId);
    std::vector<unsigned char> old(kOld * static_cast<std::size_t>(count) + 1, 0xEE);
    unsigned int size = kOld;
    std::memcpy(old.data(), &size, sizeof size);
    ASSERT_EQ(listPortsInfo(reinterpret_cast<TrovelPortInfo*>(old.data()), count), count);
    EXPECT_EQ(old.back(), 0xEE) << "written past the host's array";
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(old.data()) + i * kOld + sizeof size).rfind("COM", 0), 0u);
}

TEST_F(Dll, Crc16MatchesAFrameOnTheLine)
{
    const auto crc16 = TROVEL_EXPORT(dll, CRC16, 1);
    ASSERT_NE(crc16, nullptr);
    const unsigned char frame[] = {0x01, 0x03, 0x00, 0x64, 0x00, 0x02};
    EXPECT_EQ(crc16(frame, 6), 0x85D4);
    EXPECT_EQ(crc16(frame, -1), 0);
    EXPECT_EQ(crc16(nullptr, 6), 0);
}

} // namespace
} // namespace trovel::wintest
