// Checking the ports of the serial port list, against real pseudo-terminals.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/serialports.h"
#include "platform/sio.h"
#include "support/realpeers.h"
#include "support/tempdir.h"

namespace {

TEST(SerialPorts, EachEntryIsCheckedWithoutDisturbingIt) {
    TPty free, ours, locked, settingsKept;
    TTempDir dir;
    const std::string plainFile = dir.path + "/plainfile";
    std::ofstream(plainFile) << "x";
    // A by-id name: a link that survives re-plugging.
    const std::string byId = dir.path + "/usb-Maker_Adapter_0001-if00-port0";
    std::filesystem::create_symlink(free.path, byId);
    // Another program holds this one (with the lock the serial link takes too); /proc shows it.
    const int other = ::open(locked.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    TSerialRoots roots;
    roots.proc = dir.path + "/proc";
    std::filesystem::create_directories(roots.proc + "/777/fd");
    std::ofstream(roots.proc + "/777/comm") << "minicom\n";
    std::filesystem::create_symlink(locked.path, roots.proc + "/777/fd/3");
    // A terminal left cooked at 38400 bit/s stays so after the check.
    termios cooked = settingsKept.settings();
    cooked.c_lflag |= ICANON | ECHO;
    cfsetospeed(&cooked, B38400);
    ASSERT_EQ(tcsetattr(settingsKept.slave, TCSANOW, &cooked), 0);

    TSerialPortsSetting ports(free.path + "::/nonexistent/ttyUSB7:" + plainFile + ":" + locked.path + ":" +
                              ours.path + ":" + settingsKept.path + ":" + byId);
    ASSERT_EQ(SioReset(5, 1024, 1024), 0) << SioOpenError(5);

    struct Expected {
        std::string device;
        std::string looked, opened;  // the state without and with opening the device
    };
    const std::string usable = "looks usable (not opened)";
    const std::vector<Expected> expected{
        {free.path, usable, "can be opened"},
        {"", "Serial port 2 has no device: entry 2 of VELTRACE_SERIAL_PORTS is empty", ""},
        {"/nonexistent/ttyUSB7", "/nonexistent/ttyUSB7 does not exist (No such file or directory)", ""},
        {plainFile, plainFile + " is not a serial port", ""},
        {locked.path, locked.path + " is in use by another program: minicom (PID 777)",
         locked.path + " is in use by another program"},
        {ours.path, "open in this program", ""},
        {settingsKept.path, usable, "can be opened"},
        {byId, usable, "can be opened"},
    };
    for (const TPortCheck how : {TPortCheck::Look, TPortCheck::Open}) {
        const std::vector<TSerialPortStatus> found = checkSerialPorts(how, roots);
        ASSERT_EQ(found.size(), expected.size());
        for (size_t i = 0; i < found.size(); ++i) {
            SCOPED_TRACE(i + 1);
            const std::string state = how == TPortCheck::Open && !expected[i].opened.empty() ? expected[i].opened
                                                                                              : expected[i].looked;
            EXPECT_EQ(found[i].number, static_cast<int>(i) + 1);
            EXPECT_EQ(found[i].device, expected[i].device);
            EXPECT_EQ(serialPortStateText(found[i]), state);
            EXPECT_EQ(found[i].openable, state == "can be opened");
        }
    }
    EXPECT_EQ(checkSerialPorts().back().identity.node, free.path);
    // The check leaves the terminal as it was and our own open port working.
    const termios after = settingsKept.settings();
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B38400));
    EXPECT_EQ(SioPuts(5, "ok", 2), 2);
    EXPECT_EQ(ours.read(2, 1000), "ok");
    SioDone(5);
    ::close(other);

    // The link's open failures read the same.
    EXPECT_EQ(SioReset(3, 1024, 1024), SioErrOpenFailed);
    EXPECT_EQ(SioOpenError(3), plainFile + " is not a serial port");
    EXPECT_EQ(checkSerialPort(9).reason,
              "Serial port 9 does not exist: the serial port list has 8 entries (set VELTRACE_SERIAL_PORTS to "
              "choose the devices)");
    EXPECT_EQ(serialPortListProblem(1, {}),
              "Serial port 1 does not exist: no serial device was found (set VELTRACE_SERIAL_PORTS to choose "
              "the devices)");
}

}  // namespace
