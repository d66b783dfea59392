// The real veltrace-cli as a process, for what needs no ECU or is refused before one is
// reached: help, usage, the hex command, unreadable files, the reflash question and links
// that do not open.

#include <gtest/gtest.h>
#include <unistd.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cliprocess.h"
#include "support/hextext.h"
#include "support/realpeers.h"
#include "support/simprocess.h"
#include "support/skips.h"
#include "support/tempdir.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string writeFile(const TTempDir& dir, const std::string& name, const std::string& bytes) {
    const std::string path = dir.path + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// A TCP port on the loopback address where nothing listens.
int closedPort() { return unusedLoopbackPort(); }

int makeFifo(const std::string& path) {
#ifdef _WIN32
    static_cast<void>(path);
    return -1;
#else
    return ::mkfifo(path.c_str(), 0600);
#endif
}

class CliFiles : public ::testing::Test {
protected:
    TCliRun cli(const std::vector<std::string>& args, const TCliProcessOptions& o = {}) {
        return runCliProcess(args, home.path, o);
    }
    TTempDir home;
    TTempDir files;
};

TEST_F(CliFiles, HelpAndBadUsage) {
    auto r = cli({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("COMMANDS"), std::string::npos);
    r = cli({"restore", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: veltrace-cli [LINK] restore FILE"), std::string::npos);

    r = cli({"set", "fan_temp", "300"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("between 0 and 255, not 300"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos);
    r = cli({});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
}

TEST_F(CliFiles, HexPrintsTheImageSizeAndWritesExactlyTheImage) {
    // Two bytes at 0x2000 grow the 8192-byte image once, to 9216 bytes.
    const std::string hex = writeFile(files, "fw.hex", hexLine(0, 0, {1, 2}) + "\r\n" + hexLine(0, 0x2000, {0x41, 0x42}) +
                                                      "\r\n" + hexLine(1, 0, {}) + "\r\n");
    const std::string bin = files.path + "/fw.bin";
    auto r = cli({"hex", hex, "-o", bin});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "image 9216 bytes\n");
    const std::string image = readFile(bin);
    ASSERT_EQ(image.size(), 9216u);
    EXPECT_EQ(image.substr(0, 3), std::string("\x01\x02\x00", 3));
    EXPECT_EQ(image.substr(8192, 3), std::string("AB\0", 3));

    r = cli({"hex", hex, "-o", files.path + "/no-such-folder/x.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no-such-folder/x.bin"), std::string::npos) << r.err;
}

TEST_F(CliFiles, AFileThatCannotBeReadIsExitThreeAndNamed) {
    const std::string bad = writeFile(files, "bad.hex", hexLine(0, 0, {1, 2}) + "\r\n:020000000102FC\r\n");
    auto r = cli({"hex", bad});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("Unable to read firmware image! " + bad + ": line 2: checksum error"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());

    const std::string missing = files.path + "/missing.hex";
    r = cli({"hex", missing});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(missing), std::string::npos) << r.err;

    // Refused before any link is opened: the network link named here does not exist.
    const std::string net = "127.0.0.1:" + std::to_string(closedPort());
    r = cli({"--network", net, "flash", bad, "--yes"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err.find("Unable to open"), std::string::npos) << r.err;
    r = cli({"--network", net, "import", missing});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("Cannot read settings file " + missing), std::string::npos) << r.err;

    const std::string backup = writeFile(files, "backup.txt", "0\tlcd_c0\t12\n1\tlcd_c1\t999\n");
    r = cli({"--network", net, "restore", backup});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(backup + " line 2: the value \"999\" of lcd_c1 is not a number from 0 to 255"),
              std::string::npos)
        << r.err;
}

// Only regular files of at most 16 MiB are read: a device never ends, a FIFO would block.
TEST_F(CliFiles, FilesThatAreNotRegularOrTooLargeAreRefused) {
    VELTRACE_SKIP_ON_WINDOWS("a FIFO and /dev/zero as the files");
    const std::string fifo = files.path + "/fifo", large = writeFile(files, "large", "");
    ASSERT_EQ(makeFifo(fifo), 0);
    std::filesystem::resize_file(large, (16u << 20) + 1);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"restore", "/dev/zero"}, "Cannot read backup file /dev/zero: not a regular file but a character device"},
        {{"import", fifo}, "Cannot read settings file " + fifo + ": not a regular file but a FIFO"},
        {{"import", large}, "Cannot read settings file " + large + ": larger than 16 MiB"},
        {{"flash", fifo, "--yes"}, "Cannot open file '" + fifo + "': not a regular file but a FIFO"},
    };
    for (const auto& [args, says] : cases) {
        std::vector<std::string> all{"--network", "127.0.0.1:" + std::to_string(closedPort())};
        all.insert(all.end(), args.begin(), args.end());
        const TCliRun r = cli(all);
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    }
}

TEST_F(CliFiles, TheReflashQuestionNeedsATerminalOrYes) {
    const std::string hex = writeFile(files, "fw.hex", hexLine(0, 0, {1, 2}) + "\r\n" + hexLine(1, 0, {}) + "\r\n");
    const std::string net = "127.0.0.1:" + std::to_string(closedPort());
    auto r = cli({"--network", net, "flash", hex});  // standard input is /dev/null
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--yes"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Unable to open"), std::string::npos);

    VELTRACE_SKIP_ON_WINDOWS("an answer typed on a terminal");
    TCliProcessOptions typed;
    typed.terminalInput = "abort\n";
    r = cli({"--network", net, "flash", hex}, typed);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("You are about to reflash the firmware in your ECU. It is very important that you do "
                         "not power off your ECU during the flash process! Are you sure you want to do this?"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("aborted"), std::string::npos);
    EXPECT_EQ(r.err.find("Unable to open"), std::string::npos);

    typed.terminalInput = "yes\n";  // answered: the link is tried (and here does not open)
    r = cli({"--network", net, "flash", hex}, typed);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Unable to open connection to ECU! (127.0.0.1:" + net.substr(10)), std::string::npos) << r.err;
}

// Firmware files that once went to the ECU: cut short (the rest flashed as zeros), data placed
// by a linear address record over address 0, records of no data, images past 131072 bytes. Each
// is exit 3, for `hex` and for `flash` before any link is opened.
TEST_F(CliFiles, FirmwareTheEcuCannotTakeIsExitThreeBeforeGoingOnline) {
    const std::string end = hexLine(1, 0, {}) + "\r\n";
    const std::string net = "127.0.0.1:" + std::to_string(closedPort());
    struct Case {
        std::string name, text, says;
    };
    for (const Case& c : std::vector<Case>{
             {"cut.hex", hexLine(0, 0, {1, 2}) + "\r\n" + hexLine(0, 2, {3}) + "\r\n",
              "has no end-of-file record: the file may be cut short"},
             {"empty.hex", "", " is empty"},
             {"lf.hex", hexLine(0, 0, {1, 2}) + "\n" + hexLine(0, 2, {3}) + "\n", "has no end-of-file record"},
             {"nodata.hex", ":0070000090\r\n" + end, "holds no data"},
             {"large.hex", linearLine(2) + "\r\n" + hexLine(0, 0, {1}) + "\r\n" + end,
              "firmware image too large: 132096 bytes (the ECU takes at most 131072)"},
         }) {
        const std::string file = writeFile(files, c.name, c.text);
        for (const std::vector<std::string>& args : {std::vector<std::string>{"hex", file},
                                                     std::vector<std::string>{"--network", net, "flash", file, "--yes"}}) {
            const auto r = cli(args);
            EXPECT_EQ(r.status, 3) << c.name << ": " << r.err;
            EXPECT_EQ(r.err.rfind("veltrace-cli: ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("Unable to open"), std::string::npos) << r.err;
            EXPECT_TRUE(r.out.empty());
        }
    }
    // Data at 0x10000 by a linear address record lands there, not over address 0.
    const std::string high = writeFile(files, "high.hex", linearLine(1) + "\r\n" + hexLine(0, 0, {0xAB}) + "\r\n" + end);
    const auto r = cli({"hex", high, "-o", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "image 66560 bytes\n");  // the size goes to standard error when the image is the output
    ASSERT_EQ(r.out.size(), 66560u);
    EXPECT_EQ(static_cast<uint8_t>(r.out[0x10000]), 0xAB);
    EXPECT_EQ(r.out[0], '\0');
}

TEST_F(CliFiles, VersionsAndABackupWithoutSettings) {
    auto r = cli({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("veltrace-cli ", 0), 0u) << r.out;
    const TProgramResult sim = runProgram({ecusimProgram(), "--version"});
    EXPECT_EQ(sim.exitCode, 0) << sim.err;
    EXPECT_EQ(sim.out.rfind("veltrace-ecusim ", 0), 0u) << sim.out;
    EXPECT_EQ(r.out.substr(r.out.find(' ')), sim.out.substr(sim.out.find(' ')));

    // A backup without a single setting restores nothing: exit 3 before any link.
    const std::string empty = writeFile(files, "empty.txt", "# nothing here\n\n");
    r = cli({"--network", "127.0.0.1:" + std::to_string(closedPort()), "restore", empty});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("veltrace-cli: " + empty + " holds no settings"), std::string::npos) << r.err;
}

TEST_F(CliFiles, OutputThatCannotBeWrittenIsAFailure) {
    VELTRACE_SKIP_ON_WINDOWS("/dev/full and a shell's pipe as the output");
    // A full disk is a failure with its reason, not a success that wrote nothing.
    const TProgramResult full =
        runProgram({"/bin/sh", "-c", "exec \"$0\" \"$@\" > /dev/full", VELTRACE_CLI_PATH, "--help"});
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_NE(full.err.find("veltrace-cli: Cannot write the output: No space left on device"), std::string::npos)
        << full.err;

    // So is a pipe whose reader has gone (the reader leaves before the program writes).
    const TProgramResult closed = runProgram({"/bin/bash", "-c", "set -o pipefail; { sleep 0.3; exec \"$0\" \"$@\"; } | true",
                                              VELTRACE_CLI_PATH, "--help"});
    EXPECT_EQ(closed.exitCode, 1);
    EXPECT_NE(closed.err.find("veltrace-cli: Cannot write the output: Broken pipe"), std::string::npos)
        << closed.err;
}

TEST_F(CliFiles, ALinkThatDoesNotOpenIsNamed) {
    const int port = closedPort();
    auto r = cli({"--network", "127.0.0.1:" + std::to_string(port), "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("veltrace-cli: Unable to open connection to ECU! (127.0.0.1:" + std::to_string(port) +
                         ": connection refused"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("veltrace-ecusim --listen 127.0.0.1:" + std::to_string(port)), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());

#ifdef _WIN32
    const std::string device = "COM199";  // a path there starts with a drive and its colon
#else
    const std::string device = files.path + "/no-such-tty";
#endif
    r = cli({"--serial", device, "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Unable to open connection to ECU! (" + device), std::string::npos) << r.err;

    // With no link option the stored preferences choose: here a serial port list without it.
    VELTRACE_SKIP_ON_WINDOWS("no preference store in the Windows build");
    TCliProcessOptions o;
    o.env["VELTRACE_SERIAL_PORTS"] = device;
    std::filesystem::create_directories(home.path + "/.config/Harnwick");
    std::ofstream(home.path + "/.config/Harnwick/Veltrace.conf")
        << "[General]\ncom.Type=serial\ncomm.comport=1\ncomm.baudrate=19200\n";
    r = cli({"info"}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("serial port 1 (" + device + ") at 19200 bit/s: " + device), std::string::npos) << r.err;
}

// The words are the link's own; here each entry of the list gets its line. Only --open opens
// the devices (opening raises DTR and RTS, which resets some adapters).
TEST_F(CliFiles, PortsListsEachPortWithWhetherItCanBeOpened) {
    VELTRACE_SKIP_ON_WINDOWS("a pseudo-terminal as the port and /proc for the program holding it");
    TPty pty;
    const std::string missing = files.path + "/no-such-tty";
    const std::string byId = files.path + "/usb-Maker_Adapter_0001-if00-port0";
    std::filesystem::create_symlink(pty.path, byId);
    TCliProcessOptions o;
    o.env["VELTRACE_SERIAL_PORTS"] = pty.path + "::" + missing + ":" + byId;
    // This test keeps the terminal open: /proc shows it to the looking command.
    std::string self;
    std::getline(std::ifstream("/proc/self/comm"), self);
    const std::string held = " is in use by another program: " + self + " (PID " + std::to_string(getpid()) + ")";
    for (const bool open : {false, true}) {
        const auto r = cli(open ? std::vector<std::string>{"ports", "--open"} : std::vector<std::string>{"ports"}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "1\t" + pty.path + "\t" + (open ? "can be opened" : pty.path + held) + "\n" +
                             "2\t\tSerial port 2 has no device: entry 2 of VELTRACE_SERIAL_PORTS is empty\n" +
                             "3\t" + missing + "\t" + missing + " does not exist (No such file or directory)\n" +
                             "4\t" + byId + "\t" + (open ? "can be opened" : byId + held) + "\n\tdevice " + pty.path + "\n");
        EXPECT_TRUE(r.err.empty()) << r.err;
    }
}

}  // namespace
