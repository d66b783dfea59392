// --pace: bytes take their time on the line, ten bit times each at the rate in force.

#include <chrono>

#include <gtest/gtest.h>

#include "linetimer.h"
#include "support/simprocess.h"
#include "support/skips.h"
#include "wire.h"

using ecusim::lineTimeNs;
using ecusim::TLineTimer;

TEST(EcusimPace, LineTimerRunsBytesBackToBackAndRebasesOnARateChange) {
    EXPECT_EQ(lineTimeNs(96, 9600), 100000000);  // 96 bytes at 9600 bit/s: 100 ms
    EXPECT_EQ(lineTimeNs(1, 115200), 86806);     // rounded up: a byte has crossed at that time

    TLineTimer t;
    t.start(1000, 9600);
    EXPECT_EQ(t.crossed(1000 + lineTimeNs(1, 9600) - 1), 0u);
    EXPECT_EQ(t.crossed(t.crossesAtNs(0)), 1u);
    EXPECT_EQ(t.crossed(1000 + lineTimeNs(3, 9600)), 3u);
    t.take(3);
    EXPECT_EQ(t.crossed(1000 + lineTimeNs(3, 9600)), 0u);
    // More bytes while the run is under way follow it; the start time is not moved.
    t.start(5000000000, 9600);
    EXPECT_EQ(t.crossesAtNs(0), 1000 + lineTimeNs(4, 9600));
    // At a new rate the bytes after those taken cross at that rate.
    t.setRate(115200);
    EXPECT_EQ(t.crossesAtNs(1), 1000 + lineTimeNs(3, 9600) + lineTimeNs(2, 115200));
    // The line is free once the bytes taken have crossed: an early start waits for that.
    t.stop();
    t.start(0, 115200);
    EXPECT_EQ(t.crossesAtNs(0), 1000 + lineTimeNs(3, 9600) + lineTimeNs(1, 115200));
    t.stop();
    t.start(9000000000, 115200);  // later than that: the run starts when the bytes came
    EXPECT_EQ(t.crossesAtNs(0), 9000000000 + lineTimeNs(1, 115200));
}

TEST(EcusimPace, AnExchangeOverThePtyTakesItsLineTimeOnlyWhenPaced) {
    VELTRACE_SKIP_ON_WINDOWS("pseudo-terminals");
    struct Row {
        bool pace;
        int rate;
        std::string send, until;
    };
    const std::string tableEnd = "spare_299=00\r\n";  // --settings-lines 300: about 4 KB
    const Row rows[] = {
        {true, 9600, std::string(200, 'x') + "mdV", "1.0.22\n"},  // mostly received bytes
        {true, 115200, "mcd", tableEnd},                           // mostly sent bytes
        {false, 9600, "mcd", tableEnd},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args{"--settings-lines", "300"};
        if (row.pace) args.push_back("--pace");
        TSimProcess sim(simPty(args));
        TWire wire = TWire::pty(sim.ptyPath(), 9600);
        if (row.rate == 115200) {
            wire.send("mcB08");
            wire.readQuiet(250);
            wire.setRate(115200);
        }
        const auto start = std::chrono::steady_clock::now();
        wire.send(row.send);
        const std::string got = wire.readUntil(row.until, 10000);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        ASSERT_TRUE(got.ends_with(row.until)) << row.rate << (row.pace ? " paced" : "");
        const double lineMs = lineTimeNs(row.send.size() + got.size(), row.rate) / 1e6;
        if (row.pace) {
            EXPECT_GE(ms, lineMs) << row.rate;
            EXPECT_LT(ms, lineMs * 1.5 + 300) << row.rate << ": paced at a lower rate than in force";
        } else {
            EXPECT_LT(ms, lineMs / 4) << "without --pace the line is as fast as the machine";
        }
    }
}
