// The serial ports of a Windows machine with their descriptions: the names come from the DOS
// device list (as ListPorts gives them; under Wine that is all there is), the rest from
// SetupAPI's Ports class and each port's device parameters in the registry.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

#include "device/Device.h"
#include "device/PortInfo.h"

namespace trovel::device {

namespace {

// GUID_DEVCLASS_PORTS, spelled out so that no GUID definitions need be linked in.
constexpr GUID kPortsClass{0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string Utf8(const std::wstring& wide)
{
    if (wide.empty())
        return {};
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr, nullptr);
    return text;
}

std::wstring Upper(std::wstring text)
{
    for (auto& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// "\\.\COM7" and "com7" name the same port as "COM7".
std::wstring PortKey(const std::string& name)
{
    std::wstring wide(name.begin(), name.end());
    if (wide.rfind(L"\\\\.\\", 0) == 0)
        wide = wide.substr(4);
    return Upper(wide);
}

std::wstring RegistryText(HKEY key, const wchar_t* value)
{
    wchar_t text[256] = {};
    DWORD type = 0;
    DWORD size = sizeof text - sizeof(wchar_t);
    if (::RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return text;
}

int RegistryNumber(HKEY key, const wchar_t* value)
{
    DWORD number = 0;
    DWORD type = 0;
    DWORD size = sizeof number;
    if (::RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || number > 255)
        return -1;
    return static_cast<int>(number);
}

std::wstring Property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property)
{
    wchar_t text[256] = {};
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, reinterpret_cast<BYTE*>(text),
                                             sizeof text - sizeof(wchar_t), nullptr) ||
        (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    return text;
}

// "VID_0403" in "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000" or "USB\VID_10C4&PID_EA60\0001".
int HexAfter(const std::wstring& id, const wchar_t* tag)
{
    const auto at = id.find(tag);
    if (at == std::wstring::npos || at + 8 > id.size())
        return -1;
    const std::wstring digits = id.substr(at + 4, 4);
    if (!std::all_of(digits.begin(), digits.end(), [](wchar_t c) { return std::iswxdigit(c) != 0; }))
        return -1;
    return static_cast<int>(std::wcstol(digits.c_str(), nullptr, 16));
}

// The USB serial number within an instance id: FTDI's driver puts it third in its own
// enumerator's id; a USB id carries it last unless Windows made one up (with '&' in it).
std::wstring SerialFromId(const std::wstring& id)
{
    const auto first = id.find(L'\\');
    const auto last = id.rfind(L'\\');
    if (first == std::wstring::npos || last == first)
        return {};
    if (id.rfind(L"FTDIBUS\\", 0) == 0) {
        const std::wstring middle = id.substr(first + 1, last - first - 1);
        const auto plus = middle.rfind(L'+');
        return plus == std::wstring::npos ? std::wstring() : middle.substr(plus + 1);
    }
    if (id.rfind(L"USB\\", 0) == 0) {
        const std::wstring tail = id.substr(last + 1);
        return tail.find(L'&') == std::wstring::npos ? tail : std::wstring();
    }
    return {};
}

struct Described {
    std::wstring key; // "COM7"
    PortInfo info;
};

std::vector<Described> DescribedPorts()
{
    std::vector<Described> ports;
    const HDEVINFO set = ::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return ports;
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!::SetupDiEnumDeviceInfo(set, i, &device))
            break;
        const HKEY parameters = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (parameters == INVALID_HANDLE_VALUE)
            continue;
        Described port;
        port.key = Upper(RegistryText(parameters, L"PortName"));
        port.info.latencyTimerMs = RegistryNumber(parameters, L"LatencyTimer");
        ::RegCloseKey(parameters);
        if (port.key.empty())
            continue;
        std::wstring description = Property(set, device, SPDRP_FRIENDLYNAME);
        port.info.description = Utf8(description.empty() ? Property(set, device, SPDRP_DEVICEDESC) : description);
        port.info.manufacturer = Utf8(Property(set, device, SPDRP_MFG));
        port.info.location = Utf8(Property(set, device, SPDRP_LOCATION_INFORMATION));
        wchar_t id[512] = {};
        if (::SetupDiGetDeviceInstanceIdW(set, &device, id, static_cast<DWORD>(std::size(id)), nullptr)) {
            const std::wstring instance = Upper(id);
            port.info.vendorId = HexAfter(instance, L"VID_");
            port.info.productId = HexAfter(instance, L"PID_");
            port.info.serialNumber = Utf8(SerialFromId(std::wstring(id)));
        }
        ports.push_back(std::move(port));
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return ports;
}

// A COM port opens for one program at a time: another one's hold answers "access denied".
int InUse(const std::string& name)
{
    const std::wstring device = L"\\\\.\\" + PortKey(name);
    const HANDLE h = ::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return 0;
    }
    return ::GetLastError() == ERROR_ACCESS_DENIED ? 1 : -1;
}

} // namespace

std::vector<PortInfo> ListPortsInfo()
{
    const auto described = DescribedPorts();
    std::vector<PortInfo> all;
    for (const auto& name : ListPorts()) {
        const std::wstring key = PortKey(name);
        const auto found = std::find_if(described.begin(), described.end(), [&](const Described& d) { return d.key == key; });
        PortInfo info = found == described.end() ? PortInfo{} : found->info;
        info.name = name;
        info.inUse = InUse(name);
        all.push_back(std::move(info));
    }
    return all;
}

int RegistryLatencyTimer(const std::string& portName)
{
    const std::wstring key = PortKey(portName);
    for (const auto& port : DescribedPorts())
        if (port.key == key)
            return port.info.latencyTimerMs;
    return -1;
}

} // namespace trovel::device
