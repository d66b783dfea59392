#include "link/linkname.h"

#include <cstdlib>
#include <vector>

#include "link/socketcommunicator.h"
#include "platform/sio.h"

std::string linkDisplayName(TCommunicator& link, const std::string& device) {
    if (link.isSerialKind()) {
        std::string port = device;
        if (port.empty()) {
            // A port number: name the device it stands for in the serial port list.
            const std::string number = link.getPort();
            port = "serial port " + number;
            const std::vector<std::string> devices = serialPortList();
            const int n = std::atoi(number.c_str());
            if (n >= 1 && n <= static_cast<int>(devices.size()) && !devices[n - 1].empty())
                port += " (" + devices[n - 1] + ")";
        }
        return port + " at " + std::to_string(link.getBaudRate()) + " bit/s";
    }
    std::string host = link.getPort();
    if (host.empty()) host = socket_link::defaultHost;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return host + ":" + std::to_string(link.getBaudRate());
}
