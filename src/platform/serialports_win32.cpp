#include "platform/serialports.h"

#include <windows.h>

#include <cctype>

#include "platform/serialdevice_win32.h"
#include "platform/serialsystem.h"
#include "platform/sio.h"
#include "platform/winsystem.h"

namespace {

// "COM5" for "\\.\COM5" or "com5"; empty for anything that is not a COM port name.
std::string comName(const std::string& device) {
    std::string name = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    if (name.size() < 4) return {};
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (i < 3 ? std::toupper(c) != "COM"[i] : !std::isdigit(c)) return {};
        name[i] = static_cast<char>(std::toupper(c));
    }
    return name;
}

// Wine serves a COM port that is a link in the prefix's dosdevices folder (dosdevices/com5 to a
// serial device or a pseudo-terminal) without putting it among the system's DOS device names,
// where QueryDosDevice looks. Wine's own mapping of the name to its Unix file finds such a port
// (a look at the link, no open); on Windows the function is not there and this is false.
bool wineMapsToUnixFile(const std::string& com) {
    using TGetUnixFileName = char*(__cdecl*)(const wchar_t*);
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const auto getUnixFileName =
        kernel ? reinterpret_cast<TGetUnixFileName>(
                     reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")))
               : nullptr;
    if (!getUnixFileName) return false;
    const std::wstring device = L"\\\\.\\" + std::wstring(com.begin(), com.end());
    char* unixName = getUnixFileName(device.c_str());
    if (!unixName) return false;
    HeapFree(GetProcessHeap(), 0, unixName);
    return true;
}

// Whether the COM port `com` ("COM5") is there, without opening it.
bool comPortExists(const std::string& com) {
    char target[1024];
    return QueryDosDeviceA(com.c_str(), target, sizeof target) != 0 || wineMapsToUnixFile(com);
}

// Whether an entry that is no COM name ("\\.\CNCA0" of a virtual port driver) is a DOS device
// name the system knows.
bool otherDeviceExists(const std::string& device) {
    const std::string name = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    if (name.empty() || name.find_first_of("\\/:;, ") != std::string::npos) return false;
    char target[1024];
    return QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
}

// An entry of the serial port list that names no port: a path, a typo, two names joined by
// another separator than the list's colon.
std::string noPortName(const std::string& device) {
    std::string text = device + " is no serial port name (COM1, COM2, ...)";
    if (device.find_first_of(";, ") != std::string::npos)
        text += std::string("; the entries of ") + serialPortsVariable + " are separated by colons";
    return text;
}

}  // namespace

std::string win32DeviceName(const std::string& device) {
    const std::string com = comName(device);
    if (!com.empty()) return "\\\\.\\" + com;
    return device;
}

HANDLE openSerialDevice(const std::string& device, DWORD& err) {
    const HANDLE h = CreateFileA(win32DeviceName(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) err = GetLastError();
    return h;
}

std::vector<std::string> machineSerialPorts() {
    // As the settings dialog names them: Com1 is COM1, ..., Com8 is COM8.
    std::vector<std::string> ports;
    for (int n = 1; n <= 8; ++n) ports.push_back("COM" + std::to_string(n));
    return ports;
}

std::string serialOpenProblem(const std::string& device, int err) {
    switch (static_cast<DWORD>(err)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
        return device + " does not exist (" + systemText(static_cast<DWORD>(err)) + ")";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        // A COM port opens for one program at a time: a second one is refused this way.
        return device + " is in use by another program";
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return device + " is not a serial port";
    default:
        return device + ": " + systemText(static_cast<DWORD>(err));
    }
}

TSerialPortStatus checkListedPort(int number, const std::vector<std::string>& list, TPortCheck how,
                                  const TSerialRoots& roots) {
    TSerialPortStatus s;
    s.number = number;
    s.reason = serialPortListProblem(number, list);
    if (!s.reason.empty()) return s;
    s.device = list[number - 1];
    s.identity = serialIdentity(s.device, roots);
    if (SioIsOpen(number - 1)) {
        s.openHere = true;
        return s;
    }
    if (how == TPortCheck::Look) {
        // Looking opens nothing: the DOS device name of the port tells whether it is there.
        const std::string com = comName(s.device);
        if (com.empty()) {
            if (!otherDeviceExists(s.device)) s.reason = noPortName(s.device);
        } else if (!comPortExists(com)) {
            s.reason = serialOpenProblem(s.device, static_cast<int>(ERROR_FILE_NOT_FOUND));
        }
        return s;
    }
    DWORD err = 0;
    const HANDLE h = openSerialDevice(s.device, err);
    if (h == INVALID_HANDLE_VALUE) {
        s.reason = serialOpenProblem(s.device, static_cast<int>(err));
        return s;
    }
    CloseHandle(h);
    s.openable = true;
    return s;
}
