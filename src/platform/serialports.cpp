#include "platform/serialports.h"

#include "platform/serialsystem.h"
#include <cstdlib>

#include "platform/sio.h"

// The serial port list and its words, the same on every system; what a port's device is and
// why it cannot be opened come from serialports_posix.cpp or serialports_win32.cpp.

std::vector<std::string> serialPortList() {
    const char* listed = std::getenv(serialPortsVariable);
    if (!listed || !*listed) return machineSerialPorts();
    std::vector<std::string> paths;
    std::string rest = listed;
    for (;;) {
        const size_t colon = rest.find(':');
        paths.push_back(rest.substr(0, colon));
        if (colon == std::string::npos) break;
        rest.erase(0, colon + 1);
    }
    return paths;
}

std::string serialPortListProblem(int number, const std::vector<std::string>& list) {
    const std::string port = "Serial port " + std::to_string(number);
    if (number >= 1 && static_cast<size_t>(number) <= list.size()) {
        if (!list[number - 1].empty()) return {};
        return port + " has no device: entry " + std::to_string(number) + " of " + serialPortsVariable +
               " is empty";
    }
    std::string text = port + " does not exist: ";
    text += list.empty() ? std::string("no serial device was found")
                         : "the serial port list has " + std::to_string(list.size()) +
                               (list.size() == 1 ? " entry" : " entries");
    return text + " (set " + serialPortsVariable + " to choose the devices)";
}

TSerialPortStatus checkSerialPort(int number, TPortCheck how, const TSerialRoots& roots) {
    return checkListedPort(number, serialPortList(), how, roots);
}

std::vector<TSerialPortStatus> checkSerialPorts(TPortCheck how, const TSerialRoots& roots) {
    const std::vector<std::string> list = serialPortList();
    std::vector<TSerialPortStatus> ports;
    for (size_t i = 0; i < list.size(); ++i) ports.push_back(checkListedPort(static_cast<int>(i) + 1, list, how, roots));
    return ports;
}

std::string serialPortStateText(const TSerialPortStatus& status) {
    if (status.openHere) return "open in this program";
    if (status.openable) return "can be opened";
    if (status.reason.empty() && !status.device.empty()) return "looks usable (not opened)";
    return status.reason;
}
