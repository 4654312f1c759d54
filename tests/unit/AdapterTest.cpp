// Real adapters without the hardware: the RS-485 request built over a fake ioctl, and the
// sysfs reader over trees laid out as the kernel lays them out.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <vector>

#include "device/PortInfo.h"
#include "device/Rs485Linux.h"

namespace {

namespace fs = std::filesystem;
using namespace trovel::device;

// A driver that reports `present` and takes (or refuses with an errno) what it is given.
struct FakeDriver {
    serial_rs485 present{};
    int getErrno = 0;
    int setErrno = 0;
    std::vector<serial_rs485> set;

    int operator()(unsigned long request, serial_rs485* value)
    {
        if (request == TIOCGRS485) {
            *value = present;
            errno = getErrno;
            return getErrno == 0 ? 0 : -1;
        }
        set.push_back(*value);
        errno = setErrno;
        return setErrno == 0 ? 0 : -1;
    }
};

constexpr std::uint32_t kOn = SER_RS485_ENABLED, kHigh = SER_RS485_RTS_ON_SEND, kLow = SER_RS485_RTS_AFTER_SEND,
                        kTerm = SER_RS485_TERMINATE_BUS, kRxTx = SER_RS485_RX_DURING_TX;

// Faults caught: flags overwritten instead of added to, no RTS level (refused by some
// drivers), both levels at once, delays lost or written when switching off.
TEST(Rs485Request, OurFlagsChangeAndTheDriversStay)
{
    struct Case {
        const char* what;
        std::uint32_t present;
        Rs485 asked;
        std::uint32_t flags;
        std::uint32_t before, after;
    };
    const Case cases[] = {
        {"high on a bare port", 0, {Rs485Mode::RtsHighOnSend, 0, 0}, kOn | kHigh, 0, 0},
        {"high keeps termination and receive-during-send", kTerm | kRxTx, {Rs485Mode::RtsHighOnSend, 2, 3},
         kTerm | kRxTx | kOn | kHigh, 2, 3},
        {"high replaces the low level", kOn | kLow | kTerm, {Rs485Mode::RtsHighOnSend, 0, 1}, kOn | kHigh | kTerm, 0, 1},
        {"low replaces the high level", kOn | kHigh, {Rs485Mode::RtsLowOnSend, 5, 0}, kOn | kLow, 5, 0},
        {"off clears only enabled", kOn | kHigh | kTerm, {Rs485Mode::Off, 9, 9}, kHigh | kTerm, 7, 8},
    };
    for (const auto& c : cases) {
        FakeDriver driver;
        driver.present.flags = c.present;
        driver.present.delay_rts_before_send = 7;
        driver.present.delay_rts_after_send = 8;
        EXPECT_EQ(ApplyRs485(driver, c.asked), SettingResult::Done) << c.what;
        ASSERT_EQ(driver.set.size(), 1u) << c.what;
        EXPECT_EQ(driver.set[0].flags, c.flags) << c.what;
        EXPECT_EQ(driver.set[0].delay_rts_before_send, c.before) << c.what;
        EXPECT_EQ(driver.set[0].delay_rts_after_send, c.after) << c.what;
    }
}

// Faults caught: ENOTTY/EINVAL reported as some other failure, or a request sent blind
// when the present settings could not be read.
TEST(Rs485Request, DriversWithoutItAreToldApart)
{
    struct Case {
        const char* what;
        int getErrno, setErrno;
        SettingResult result;
        std::size_t sets;
    };
    const Case cases[] = {
        {"no RS-485 ioctl at all (USB adapter, pty)", ENOTTY, 0, SettingResult::Unsupported, 0},
        {"port without RS-485", EINVAL, 0, SettingResult::Unsupported, 0},
        {"mode refused", 0, EINVAL, SettingResult::Unsupported, 1},
        {"other failure", 0, EIO, SettingResult::Refused, 1},
    };
    for (const auto& c : cases) {
        FakeDriver driver;
        driver.getErrno = c.getErrno;
        driver.setErrno = c.setErrno;
        EXPECT_EQ(ApplyRs485(driver, {Rs485Mode::RtsHighOnSend, 0, 0}), c.result) << c.what;
        EXPECT_EQ(driver.set.size(), c.sets) << c.what;
    }
}

// A sysfs tree of the test's own: directories, attribute files and relative links.
class SysfsTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("trovel-sysfs-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "class" / "tty");
    }
    void TearDown() override { fs::remove_all(root); }

    void Write(const fs::path& file, const std::string& text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
    // class/tty/NAME -> the tty node under `device`, whose device link points back up.
    void Tty(const std::string& name, const fs::path& device)
    {
        const fs::path node = root / device / "tty" / name;
        fs::create_directories(node);
        fs::create_directory_symlink(fs::relative(root / device, node), node / "device");
        fs::create_directory_symlink(fs::relative(node, root / "class" / "tty"), root / "class" / "tty" / name);
    }

    fs::path root;
};

// Faults caught: attributes read from the wrong level (interface vs device), hex ids read as
// decimal, serial number or latency timer missing, a UART or pty given USB fields.
TEST_F(SysfsTree, EachKindOfPortGivesItsFields)
{
    const fs::path ftdiUsb = "devices/pci0000:00/0000:00:14.0/usb1/1-2";
    Write(root / ftdiUsb / "idVendor", "0403");
    Write(root / ftdiUsb / "idProduct", "6001");
    Write(root / ftdiUsb / "manufacturer", "FTDI");
    Write(root / ftdiUsb / "product", "FT232R USB UART");
    Write(root / ftdiUsb / "serial", "A50285BI");
    Write(root / ftdiUsb / "1-2:1.0" / "bInterfaceNumber", "00");
    Write(root / ftdiUsb / "1-2:1.0" / "ttyUSB0" / "latency_timer", "16");
    Tty("ttyUSB0", ftdiUsb / "1-2:1.0" / "ttyUSB0");

    const fs::path cpUsb = "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4";
    Write(root / cpUsb / "idVendor", "10c4");
    Write(root / cpUsb / "idProduct", "ea60");
    Write(root / cpUsb / "manufacturer", "Silicon Labs");
    Write(root / cpUsb / "product", "CP2102 USB to UART Bridge Controller");
    Write(root / cpUsb / "1-1.4:1.0" / "bInterfaceNumber", "00");
    Write(root / cpUsb / "1-1.4:1.0" / "interface", "Port 1");
    fs::create_directories(root / cpUsb / "1-1.4:1.0" / "ttyUSB1");
    Tty("ttyUSB1", cpUsb / "1-1.4:1.0" / "ttyUSB1");

    const fs::path uart = "devices/pnp0/00:05";
    fs::create_directories(root / "bus/pnp/drivers/serial");
    fs::create_directories(root / uart);
    fs::create_directory_symlink(fs::relative(root / "bus/pnp/drivers/serial", root / uart), root / uart / "driver");
    Tty("ttyS0", uart);

    // A pseudo-terminal has a class entry but no device behind it.
    fs::create_directories(root / "devices/virtual/tty/ptmx");
    fs::create_directory_symlink("../../devices/virtual/tty/ptmx", root / "class" / "tty" / "ptmx");

    struct Case {
        const char* tty;
        const char *description, *manufacturer, *serial, *location;
        int vid, pid, latency;
    };
    const Case cases[] = {
        {"ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI", "1-2:1.0", 0x0403, 0x6001, 16},
        {"ttyUSB1", "CP2102 USB to UART Bridge Controller - Port 1", "Silicon Labs", "", "1-1.4:1.0", 0x10C4, 0xEA60, -1},
        {"ttyS0", "serial", "", "", "00:05", -1, -1, -1},
        {"ptmx", "", "", "", "", -1, -1, -1},
        {"ttyUSB9", "", "", "", "", -1, -1, -1}, // gone between listing and reading
    };
    for (const auto& c : cases) {
        const PortInfo info = ReadSysfsPort(root, c.tty);
        EXPECT_EQ(info.description, c.description) << c.tty;
        EXPECT_EQ(info.manufacturer, c.manufacturer) << c.tty;
        EXPECT_EQ(info.serialNumber, c.serial) << c.tty;
        EXPECT_EQ(info.location, c.location) << c.tty;
        EXPECT_EQ(info.vendorId, c.vid) << c.tty;
        EXPECT_EQ(info.productId, c.pid) << c.tty;
        EXPECT_EQ(info.latencyTimerMs, c.latency) << c.tty;
    }
    EXPECT_EQ(LatencyTimerFile(root, "ttyUSB0"), fs::canonical(root / ftdiUsb / "1-2:1.0" / "ttyUSB0" / "latency_timer"));
    EXPECT_TRUE(LatencyTimerFile(root, "ttyS0").empty());
}

} // namespace
