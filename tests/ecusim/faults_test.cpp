// The simulator's fault switches, each on its own, over loopback TCP.

#include <algorithm>

#include <gtest/gtest.h>

#include "support/simprocess.h"
#include "wire.h"

namespace {

bool hasEvent(const TSimProcess& sim, const std::string& text) {
    const auto events = simEvents(sim.transcript());
    return std::find(events.begin(), events.end(), text) != events.end();
}

int countLines(const std::string& reply) {
    return static_cast<int>(std::count(reply.begin(), reply.end(), '\n'));
}

}  // namespace

TEST(EcusimFaults, BootloaderOnlyAnswersManWithExactlyQuestionYQuestionUntilFlashed) {
    TSimProcess sim(simTcp({"--bootloader-only", "--erase-ms", "0", "--boot-ms", "0"}));
    TWire wire = TWire::tcp(sim.port());
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(300), "?Y?");
    wire.send("S");
    EXPECT_EQ(wire.readQuiet(), "AVREFI1");
    // The tool's entry text reaches a bootloader too; it answers each byte and stays itself.
    wire.send("Mancb67cb");
    EXPECT_EQ(wire.readQuiet(), "?Y???????");
    wire.send("p");
    EXPECT_EQ(wire.readQuiet(), "S");
    wire.send("E");  // an erased flash holds no descriptor: the configured firmware starts
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(), "Hello>\r");
    wire.send("mdV");
    EXPECT_EQ(wire.readQuiet(), "VIVU v3\n1.0.22\n");
}

TEST(EcusimFaults, NoSyncNeverAnswersP) {
    TSimProcess sim(simTcp({"--no-sync"}));
    TWire wire = TWire::tcp(sim.port());
    wire.send("Mancb67cb");
    wire.readUntil("Hello>\r");
    for (int i = 0; i < 3; ++i) wire.send("p");
    EXPECT_EQ(wire.readQuiet(300), "");
    wire.send("S");
    EXPECT_EQ(wire.readQuiet(), "AVREFI1");
    EXPECT_TRUE(hasEvent(sim, "sync ignored"));
}

TEST(EcusimFaults, RefuseBlockRefusesTheGivenTimesOrForever) {
    TSimProcess sim(simTcp({"--refuse-block", "1:2", "--refuse-block", "2", "--erase-ms", "0", "--loose-order"}));
    TWire wire = TWire::tcp(sim.port());
    wire.send("Mancb67cb");
    wire.readUntil("Hello>\r");
    const std::vector<uint8_t> data(256, 0x5A);
    auto program = [&](uint16_t address) {
        wire.send(addressCommand(address));
        wire.readUntil("\r");
        wire.send(blockCommand(address, data));
        return wire.readQuiet(100);
    };
    EXPECT_EQ(program(0), "\r");
    EXPECT_EQ(program(128), "?");
    EXPECT_EQ(program(128), "?");
    EXPECT_EQ(program(128), "\r");
    EXPECT_EQ(program(128), "\r");
    for (int i = 0; i < 6; ++i) EXPECT_EQ(program(256), "?") << "try " << i;
    EXPECT_TRUE(hasEvent(sim, "block 1 at 128 refused: --refuse-block"));
    EXPECT_TRUE(hasEvent(sim, "block 1 at 128 written"));
}

TEST(EcusimFaults, SilentAfterTakesNothingPastTheNthByte) {
    TSimProcess sim(simTcp({"--silent-after", "6"}));
    {
        TWire wire = TWire::tcp(sim.port());
        wire.send("Man");
        EXPECT_EQ(wire.readQuiet(), "Hello>\r");
        wire.send("mdVmdV");  // the first three bytes still count
        EXPECT_EQ(wire.readQuiet(), "VIVU v3\n1.0.22\n");
        wire.send("Man");
        EXPECT_EQ(wire.readQuiet(300), "");
    }
    const auto log = sim.transcript();
    EXPECT_EQ(joinedBytes(log, "rx"), "ManmdV");
    EXPECT_EQ(joinedBytes(log, "rx-lost"), "mdVMan");
    EXPECT_TRUE(hasEvent(sim, "silent"));
    // The count is per connection: the next client is answered again.
    TWire again = TWire::tcp(sim.port());
    again.send("Man");
    EXPECT_EQ(again.readUntil("Hello>\r"), "Hello>\r");
}

TEST(EcusimFaults, DropAfterCutsTheConnectionAndTheNextOneIsServed) {
    TSimProcess sim(simTcp({"--drop-after", "5"}));
    {
        TWire wire = TWire::tcp(sim.port());
        wire.send("Man");
        EXPECT_EQ(wire.readQuiet(), "Hello>\r");
        wire.send("mdV");
        EXPECT_TRUE(wire.closedWithin(1000));
    }
    EXPECT_TRUE(sim.waitForLog([](const TSimLogLine& l) { return l.kind == "ev" && l.text.rfind("disconnect", 0) == 0; }));
    TWire again = TWire::tcp(sim.port());
    again.send("Man");
    EXPECT_EQ(again.readQuiet(), "Hello>\r");
    const auto log = sim.transcript();
    EXPECT_EQ(joinedBytes(log, "rx-lost"), "V");
    EXPECT_TRUE(hasEvent(sim, "drop"));
    EXPECT_TRUE(hasEvent(sim, "disconnect dropped (--drop-after)"));
}

TEST(EcusimFaults, SettingsGapPacesTheDownload) {
    TSimProcess sim(simTcp({"--settings-gap", "120", "--settings-lines", "3"}));
    TWire wire = TWire::tcp(sim.port());
    wire.send("mcd");
    const std::string reply = wire.readQuiet(400);
    EXPECT_EQ(countLines(reply), 3);
    std::vector<int64_t> times;
    for (const auto& l : sim.transcript())
        if (l.kind == "tx") times.push_back(l.ms);
    ASSERT_EQ(times.size(), 3u) << "one chunk per line when they are paced";
    EXPECT_GE(times[1] - times[0], 115);
    EXPECT_GE(times[2] - times[1], 115);
}

TEST(EcusimFaults, SettingsLinesMayExceedTheTableAnd256) {
    TSimProcess sim(simTcp({"--settings-lines", "300"}));
    TWire wire = TWire::tcp(sim.port());
    wire.send("mcd");
    const std::string reply = wire.readQuiet(300);
    EXPECT_EQ(countLines(reply), 300);
    EXPECT_EQ(reply.substr(reply.size() - 14), "spare_299=00\r\n");

    TSimProcess few(simTcp({"--settings-lines", "2"}));
    TWire w2 = TWire::tcp(few.port());
    w2.send("mcd");
    EXPECT_EQ(w2.readQuiet(), "config10=00\r\nconfig11=10\r\n");
}

TEST(EcusimFaults, VersionMayBeAnyText) {
    for (const std::string version : {"beta", "1.0", "10.12.3", ""}) {
        TSimProcess sim(simTcp({"--version", version}));
        TWire wire = TWire::tcp(sim.port());
        wire.send("mdV");
        EXPECT_EQ(wire.readQuiet(), "VIVU v3\n" + version + "\n");
    }
}

TEST(EcusimFaults, NoByeIgnoresTheGoodbye) {
    TSimProcess sim(simTcp({"--no-bye"}));
    TWire wire = TWire::tcp(sim.port());
    wire.send("bye");
    EXPECT_EQ(wire.readQuiet(300), "");
    wire.send("mdV");
    EXPECT_EQ(wire.readQuiet(), "VIVU v3\n1.0.22\n") << "the ECU must stay in command mode";
    EXPECT_TRUE(hasEvent(sim, "bye ignored"));
}
