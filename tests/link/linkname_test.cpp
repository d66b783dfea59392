#include "link/linkname.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "link/serialcommunicator.h"
#include "link/socketcommunicator.h"
#include "support/fakes.h"
#include "platform/console.h"
#include "platform/sio.h"

namespace {

// The serial port list for one test; an empty value is no list.
struct TPortList {
    explicit TPortList(const std::string& value) {
        if (const char* v = std::getenv(serialPortsVariable)) old = v;
        setEnvironment(serialPortsVariable, value);
    }
    ~TPortList() { setEnvironment(serialPortsVariable, old); }
    std::string old;
};

}  // namespace

// Both fronts name the link alike: the serial port with the device it stands for and its rate,
// the host and port on the network.
TEST(LinkName, SerialAndNetworkLinksAsTheMessagesNameThem) {
    TPortList ports("/dev/ttyUSB0::/dev/ttyS1");
    TFakeOperator<TFastClock> fake;
    TSerialCommunicator serial(fake.op);
    serial.setBaudRate(19200);
    const struct {
        std::string port, device, name;
    } serialCases[] = {{"1", "", "serial port 1 (/dev/ttyUSB0) at 19200 bit/s"},
                       {"2", "", "serial port 2 at 19200 bit/s"},  // an empty entry names no device
                       {"4", "", "serial port 4 at 19200 bit/s"},  // past the list
                       {"1", "/dev/pts/7", "/dev/pts/7 at 19200 bit/s"}};
    for (const auto& c : serialCases) {
        serial.setPort(c.port);
        EXPECT_EQ(linkDisplayName(serial, c.device), c.name) << c.port;
    }

    TSocketCommunicator network(fake.op);
    network.setBaudRate(8080);
    for (const auto& [host, name] : {std::pair<std::string, std::string>{"", "127.0.0.1:8080"},
                                     {"ecu.local", "ecu.local:8080"},
                                     {"::1", "[::1]:8080"}}) {
        network.setPort(host);
        EXPECT_EQ(linkDisplayName(network), name) << host;
    }
}
