#include "link/linkname.h"

#include <gtest/gtest.h>

#include "link/serialcommunicator.h"
#include "link/socketcommunicator.h"
#include "platform/sio.h"
#include "support/envsetting.h"
#include "support/fakes.h"

// Both fronts name the link alike: the serial port with the device it stands for and its rate,
// the host and port on the network.
TEST(LinkName, SerialAndNetworkLinksAsTheMessagesNameThem) {
    TEnvSetting ports(serialPortsVariable, "/dev/ttyUSB0::/dev/ttyS1");
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
