// The serial port layer against real pseudo-terminals.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/serialports.h"
#include "platform/sio.h"
#include "support/realpeers.h"

namespace {

// A scratch folder, removed with what it holds.
struct TScratchDir {
    TScratchDir() {
        char name[] = "/tmp/veltrace-sio-XXXXXX";
        path = mkdtemp(name);
    }
    ~TScratchDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    void touch(const std::string& name) const { std::ofstream(path + "/" + name).put('x'); }
    std::string path;
};

// Every test leaves the ports it opened closed.
class Sio : public ::testing::Test {
protected:
    void TearDown() override {
        for (int i = 0; i < 4; ++i) SioDone(i);
    }
};

}  // namespace

TEST_F(Sio, MachineDevicesComeByFamilyThenNumber) {
    TScratchDir dir;
    for (const char* n : {"ttyS10", "ttyS2", "ttyUSB1", "ttyUSB10", "ttyUSB0", "ttyACM3", "ttyS",
                          "ttySx", "ttyACM", "tty0", "ttyUSB1a", "console"})
        dir.touch(n);
    const std::string d = dir.path + "/";
    EXPECT_EQ(serialDevicesIn(dir.path),
              (std::vector<std::string>{d + "ttyUSB0", d + "ttyUSB1", d + "ttyUSB10", d + "ttyACM3",
                                        d + "ttyS2", d + "ttyS10"}));
    EXPECT_TRUE(serialDevicesIn(dir.path + "/missing").empty());
}

TEST_F(Sio, TheVariableReplacesTheMachineDevices) {
    {
        TSerialPortsSetting ports("/dev/a::/dev/b");
        EXPECT_EQ(serialPortList(), (std::vector<std::string>{"/dev/a", "", "/dev/b"}));
    }
    {
        TSerialPortsSetting empty("");
        EXPECT_EQ(serialPortList(), serialDevicesIn("/dev"));
    }
}

TEST_F(Sio, OpensRawEightNoneOneWithoutFlowControl) {
    TPty pty;
    TSerialPortsSetting ports("/nonexistent/tty:" + pty.path);
    ASSERT_EQ(SioReset(1, 1024, 1024), 0) << SioOpenError(1);
    EXPECT_EQ(SioOpenError(1), "");
    termios t = pty.settings();
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_FALSE(SioLowLatency(1));  // a pty has no low-latency setting: refused, and it opens all the same

    EXPECT_EQ(SioBaud(1, 115200), 0);
    EXPECT_EQ(pty.outputSpeed(), static_cast<speed_t>(B115200));
    EXPECT_EQ(SioBaud(1, 230400), 0);
    EXPECT_EQ(pty.outputSpeed(), static_cast<speed_t>(B230400));
    EXPECT_EQ(SioBaud(1, 12345), SioErrBadRate);
    EXPECT_EQ(pty.outputSpeed(), static_cast<speed_t>(B230400));

    EXPECT_EQ(SioFlow(1, 'H'), 0);
    EXPECT_TRUE(pty.settings().c_cflag & CRTSCTS);
    EXPECT_EQ(SioFlow(1, 'N'), 0);
    EXPECT_FALSE(pty.settings().c_cflag & CRTSCTS);
}

TEST_F(Sio, MovesEveryByteUnchangedBothWays) {
    TPty pty;
    TSerialPortsSetting ports(pty.path);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    char buf[64];
    EXPECT_EQ(SioGets(0, buf, sizeof buf), 0);  // nothing there: returns at once

    const std::string bytes("\r\n\0\xFF\x11\x13Man", 9);
    EXPECT_EQ(SioPuts(0, bytes.data(), static_cast<unsigned>(bytes.size())), 9);
    EXPECT_EQ(SioPutc(0, '\x03'), 1);
    EXPECT_EQ(pty.read(10, 1000), bytes + "\x03");

    pty.write(bytes);
    ASSERT_EQ(SioWaitInput(0, 1000), 1);
    EXPECT_EQ(std::string(buf, SioGets(0, buf, sizeof buf)), bytes);
}

TEST_F(Sio, ClosedPortsRefuseEveryOperation) {
    char c;
    EXPECT_EQ(SioGets(3, &c, 1), SioErrNotOpen);
    EXPECT_EQ(SioPuts(3, "x", 1), SioErrNotOpen);
    EXPECT_EQ(SioPutc(3, 'x'), SioErrNotOpen);
    EXPECT_EQ(SioTxQue(3), SioErrNotOpen);
    EXPECT_EQ(SioBaud(3, 9600), SioErrNotOpen);
    EXPECT_EQ(SioWaitInput(3, 10), SioErrNotOpen);
    EXPECT_EQ(SioDone(3), SioErrNotOpen);
}

TEST_F(Sio, AFailedOpenKeepsItsReasonForTheOperator) {
    TPty pty;
    TScratchDir dir;
    dir.touch("plainfile");
    TSerialPortsSetting ports("/nonexistent/ttyUSB7::" + dir.path + "/plainfile:" + pty.path + ":" +
                              pty.path);

    EXPECT_EQ(SioReset(0, 1024, 1024), SioErrOpenFailed);
    EXPECT_NE(SioOpenError(0).find("/nonexistent/ttyUSB7 does not exist"), std::string::npos)
        << SioOpenError(0);
    EXPECT_EQ(SioReset(1, 1024, 1024), SioErrNoSuchPort);  // an empty entry keeps its place
    EXPECT_EQ(SioOpenError(1), "Serial port 2 has no device: entry 2 of VELTRACE_SERIAL_PORTS is empty");
    EXPECT_EQ(SioReset(2, 1024, 1024), SioErrOpenFailed);
    EXPECT_NE(SioOpenError(2).find("is not a serial port"), std::string::npos) << SioOpenError(2);
    EXPECT_EQ(SioReset(9, 1024, 1024), SioErrNoSuchPort);
    EXPECT_NE(SioOpenError(9).find("has 5 entries"), std::string::npos) << SioOpenError(9);

    // The same device at two places of the list: the second user finds it busy.
    ASSERT_EQ(SioReset(3, 1024, 1024), 0);
    EXPECT_EQ(SioReset(4, 1024, 1024), SioErrOpenFailed);
    EXPECT_NE(SioOpenError(4).find("in use by another program"), std::string::npos) << SioOpenError(4);
    SioDone(3);
    EXPECT_EQ(SioReset(4, 1024, 1024), 0);  // free again once closed
    EXPECT_EQ(SioOpenError(4), "");
    SioDone(4);
}

// The dialout group is the remedy only for a device that belongs to it.
TEST_F(Sio, PermissionDeniedPointsToTheDialoutGroupWhereTheDeviceIsInIt) {
    const struct group* dialout = getgrnam("dialout");
    for (const bool inDialout : {false, true}) {
        TPty pty;
        ASSERT_EQ(chmod(pty.path.c_str(), 0660), 0);
        if (inDialout && (!dialout || chown(pty.path.c_str(), static_cast<uid_t>(-1), dialout->gr_gid) != 0))
            GTEST_SKIP() << "no dialout group to give the device to";
        struct stat st {};
        ASSERT_EQ(stat(pty.path.c_str(), &st), 0);
        const struct group* owner = getgrgid(st.st_gid);
        const std::string groupName = owner ? owner->gr_name : std::to_string(st.st_gid);
        TSerialPortsSetting ports(pty.path);
        // The open has to run as somebody who may not use the device: root may use any.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
            if (SioReset(0, 1024, 1024) != SioErrOpenFailed) _exit(1);
            const std::string reason = SioOpenError(0);
            const bool hint = reason.find("dialout group") != std::string::npos;
            const bool named = inDialout || reason.find("(group " + groupName + ")") != std::string::npos;
            // A check of the port, as the port list shows it, gives the same words.
            const bool same = checkSerialPort(1).reason == reason;
            _exit(reason.rfind("Permission denied on " + pty.path, 0) == 0 && hint == inDialout && named && same ? 0 : 2);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot drop privileges here";
        EXPECT_EQ(WEXITSTATUS(status), 0) << (inDialout ? "dialout" : groupName);
    }
}

// A port left raw at another rate broke the next program that used the terminal.
TEST_F(Sio, ClosingPutsBackTheTerminalSettingsItFound) {
    TPty pty;
    termios before = pty.settings();
    before.c_lflag |= ICANON | ECHO;
    cfsetispeed(&before, B38400);
    cfsetospeed(&before, B38400);
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
    TSerialPortsSetting ports(pty.path);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    ASSERT_EQ(SioBaud(0, 115200), 0);
    EXPECT_FALSE(pty.settings().c_lflag & ICANON);
    EXPECT_EQ(SioPuts(0, "bye", 3), 3);
    EXPECT_EQ(SioDone(0), 0);
    EXPECT_EQ(pty.read(3, 1000), "bye");  // what was queued still went out
    const termios after = pty.settings();
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B38400));
}

TEST_F(Sio, WaitingForInputSleepsUntilABytesComesOrTheTimeIsUp) {
    TPty pty;
    TSerialPortsSetting ports(pty.path);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);

    long long t0 = steadyMs();
    EXPECT_EQ(SioWaitInput(0, 80), 0);
    EXPECT_GE(steadyMs() - t0, 80);

    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.write("x");
    });
    t0 = steadyMs();
    EXPECT_EQ(SioWaitInput(0, 5000), 1);
    EXPECT_LT(steadyMs() - t0, 1000);
    writer.join();

    char buf[8];
    EXPECT_EQ(SioGets(0, buf, sizeof buf), 1);

    // The far end vanishes: the port has hung up and waiting ends at once.
    pty.closeMaster();
    t0 = steadyMs();
    EXPECT_LT(SioWaitInput(0, 1000), 0);
    EXPECT_LT(steadyMs() - t0, 500);
}

TEST_F(Sio, TheTransmitQueueHoldsWhatTheDriverCannotTakeAndLosesNothing) {
    TPty pty;
    TSerialPortsSetting ports(pty.path);
    ASSERT_EQ(SioReset(0, 1024, 256), 0);
    EXPECT_EQ(SioTxQue(0), 0);

    // Nobody reads the far end: the driver fills up, then the layer's 256-byte queue. The pty
    // moves data on behind the driver's first refusal, so keep going until nothing moves.
    std::string sent;
    int block = 0;
    for (int round = 0; round < 100; ++round) {
        int n;
        do {
            const std::string bytes(512, static_cast<char>('a' + block++ % 26));
            n = SioPuts(0, bytes.data(), static_cast<unsigned>(bytes.size()));
            ASSERT_GE(n, 0);
            sent.append(bytes, 0, static_cast<size_t>(n));
        } while (n > 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (SioTxQue(0) == 256) break;
    }
    EXPECT_EQ(SioTxQue(0), 256);
    EXPECT_EQ(SioPuts(0, "z", 1), 0);  // full
    EXPECT_EQ(SioWaitOutput(0, 50), 0);

    // Reading the far end drains the driver; the layer's queue follows, in order.
    std::string got = pty.read(sent.size() - 256, 2000);
    EXPECT_EQ(SioWaitOutput(0, 1000), 1);
    for (int i = 0; i < 100 && SioTxQue(0) > 0; ++i) got += pty.read(65536, 10);
    got += pty.readUntilQuiet(50);
    EXPECT_EQ(SioTxQue(0), 0);
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
}

TEST_F(Sio, ResettingAnOpenPortReopensItWithoutLeakingTheOldDescriptor) {
    TPty pty;
    TSerialPortsSetting ports(pty.path);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    const int probe = dup(0);  // the lowest free descriptor number
    ::close(probe);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    const int again = dup(0);
    ::close(again);
    EXPECT_EQ(again, probe);
    EXPECT_EQ(SioDone(0), 0);
    EXPECT_EQ(SioDone(0), SioErrNotOpen);
}
