// The simulator on a pseudo-terminal: the test opens the terminal end as a serial port and
// sets its bit rates the way a tool would.

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/simprocess.h"
#include "wire.h"

TEST(EcusimPty, GreetsAt9600AndLosesBytesSentAtAnotherRate) {
    TSimProcess sim(simPty({"--settings-gap", "150", "--settings-lines", "3"}));
    TWire wire = TWire::pty(sim.ptyPath(), 9600);
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(), "Hello>\r");

    wire.setRate(19200);  // the ECU still runs at 9600
    wire.readQuiet(100);  // bytes right after a change might still have gone out at the old rate
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(300), "");

    // Replies that go out while this end listens at another rate are lost too: the first
    // settings line arrives, then this end changes its rate before the paced second one.
    wire.setRate(9600);
    wire.send("mcd");
    EXPECT_EQ(wire.readUntil("\r\n"), "config10=00\r\n");
    wire.setRate(19200);
    EXPECT_EQ(wire.readQuiet(500), "");

    const auto log = sim.transcript();
    EXPECT_EQ(joinedBytes(log, "rx-lost"), "Man");
    EXPECT_EQ(joinedBytes(log, "tx-lost"), "config11=10\r\nconfig12=00\r\n");
}

TEST(EcusimPty, McbSwitchesTheEcuAndTheToolMustFollow) {
    TSimProcess sim(simPty());
    TWire wire = TWire::pty(sim.ptyPath(), 9600);
    wire.send("mcB10");  // 57600
    EXPECT_EQ(wire.readQuiet(250), "");
    // A tool that has not switched yet is not heard.
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(200), "");
    wire.setRate(57600);
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(), "Hello>\r");
    wire.send("mcd");
    const std::string table = wire.readQuiet();
    EXPECT_GT(std::count(table.begin(), table.end(), '\n'), 190);

    // Back to 9600 as a tool does before its goodbye.
    wire.send("mcB67");
    wire.readQuiet(250);  // as a tool must, give the ECU time to take the command first
    wire.setRate(9600);
    wire.send("bye");
    EXPECT_EQ(wire.readQuiet(), "Bye\r");
    const auto events = simEvents(sim.transcript());
    EXPECT_NE(std::find(events.begin(), events.end(), "rate 57600"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "rate 9600"), events.end());
}

TEST(EcusimPty, AnUnknownDivisorGivesARateNoToolUses) {
    TSimProcess sim(simPty());
    TWire wire = TWire::pty(sim.ptyPath(), 9600);
    wire.send("mcB00");
    for (int rate : {9600, 19200, 38400, 57600, 115200}) {
        wire.setRate(rate);
        wire.send("Man");
        EXPECT_EQ(wire.readQuiet(100), "") << rate;
    }
}

TEST(EcusimPty, BootloaderRunsAtItsDivisorsRateAndTheFirmwareRestartsAt9600) {
    TSimProcess sim(simPty({"--erase-ms", "0", "--boot-ms", "0"}));
    TWire wire = TWire::pty(sim.ptyPath(), 9600);
    wire.send("mcB10");
    wire.readQuiet(250);
    wire.setRate(57600);
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(), "Hello>\r");
    wire.send("Mancb10cb");
    EXPECT_EQ(wire.readQuiet(), "Hello>\r");
    wire.send("p");
    EXPECT_EQ(wire.readQuiet(), "S");
    // As the tool does after "E": switch to 9600 at once, greet 100 ms later.
    wire.send("E");
    wire.setRate(9600);
    wire.readQuiet(100);
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(), "Hello>\r") << "the E sent just before the switch was lost";
    wire.setRate(57600);
    wire.readQuiet(100);
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(200), "") << "after the reset the firmware runs at 9600";
}

TEST(EcusimPty, BytesSentRightAfterMcbAtTheOldRateAreLost) {
    TSimProcess sim(simPty());
    TWire wire = TWire::pty(sim.ptyPath(), 9600);
    wire.send("mcB10mdV");  // a tool that did not wait before its next command
    EXPECT_EQ(wire.readQuiet(200), "");
    const auto log = sim.transcript();
    EXPECT_EQ(joinedBytes(log, "rx"), "mcB10");
    EXPECT_EQ(joinedBytes(log, "rx-lost"), "mdV");
}

TEST(EcusimPty, TheLinkPointsAtTheTerminalAndGoesWithTheSimulator) {
    const std::string link = testing::TempDir() + "ecusim-link-" + std::to_string(::getpid());
    std::filesystem::remove(link);
    {
        TSimProcess sim(simPty({"--pty-link", link}));
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.ptyPath());
        TWire wire = TWire::pty(link, 9600);
        wire.send("Man");
        EXPECT_EQ(wire.readQuiet(), "Hello>\r");
        // The tool closing and opening its port is no hang-up.
        TWire again = TWire::pty(link, 9600);
        again.send("mdV");
        EXPECT_EQ(again.readQuiet(), "VIVU v3\n1.0.22\n");
        EXPECT_EQ(sim.stop(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(EcusimPty, DropAfterHangsTheTerminalUpAndOffersANewOne) {
    const std::string link = testing::TempDir() + "ecusim-droplink-" + std::to_string(::getpid());
    std::filesystem::remove(link);
    TSimProcess sim(simPty({"--drop-after", "6", "--pty-link", link}));
    {
        TWire wire = TWire::pty(link, 9600);
        wire.send("Man");
        EXPECT_EQ(wire.readUntil("Hello>\r"), "Hello>\r");
        wire.send("mdV");  // bytes 4 to 6: the line is cut, the reply with it
        EXPECT_TRUE(wire.closedWithin(1000)) << "the old terminal did not hang up";
    }
    const auto line = sim.readLine(2000);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->rfind("listening pty ", 0), 0u);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.ptyPath());
    TWire fresh = TWire::pty(link, 9600);
    fresh.send("Man");
    EXPECT_EQ(fresh.readUntil("Hello>\r"), "Hello>\r");
}

TEST(EcusimPty, AnotherFramingLosesEveryByteAsAnotherRateWould) {
    TSimProcess sim(simPty({"--framing", "7E1"}));
    TWire wire = TWire::pty(sim.ptyPath(), 9600);  // raw 8N1, as a tool opens its port
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(300), "");
    EXPECT_EQ(joinedBytes(sim.transcript(), "rx-lost"), "Man");
}
