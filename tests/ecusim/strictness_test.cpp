// The simulated ECU is as strict as a real one: a scripted tool, wrong in one way at a time,
// must not get through. Each row's fault would pass a lenient simulator unnoticed.

#include <algorithm>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "support/simprocess.h"
#include "wire.h"

namespace {

enum class TFault { None, SkipBlock, SkipLastBlock, ByteAddresses, HighAndNoBlockZero, BlocksBeforeErase, NoWaitForErase };

// The scripted tool: into the bootloader, sync, identify, erase, the blocks, "E"; wrong as told.
void scriptedFlash(TWire& wire, const std::vector<uint8_t>& image, TFault fault) {
    wire.send("Man");
    wire.readUntil("Hello>\r");
    wire.send("Mancb67cb");
    wire.readUntil("Hello>\r");
    wire.send("pS");
    wire.readUntil("SAVREFI1");
    if (fault != TFault::BlocksBeforeErase) wire.send("e");
    if (fault != TFault::NoWaitForErase && fault != TFault::BlocksBeforeErase) wire.readUntil("\r");
    const size_t blocks = image.size() / 256;
    for (size_t j = 0; j < blocks; ++j) {
        if ((fault == TFault::SkipBlock && j == 28) || (fault == TFault::SkipLastBlock && j + 1 == blocks) ||
            (fault == TFault::HighAndNoBlockZero && j == 0))
            continue;
        const uint16_t address = static_cast<uint16_t>(fault == TFault::ByteAddresses ? j * 256
                                                        : fault == TFault::HighAndNoBlockZero ? j * 128 + 0x1000
                                                                                              : j * 128);
        wire.send(addressCommand(address));
        wire.readQuiet(5, 200);
        wire.send(blockCommand(address, std::vector<uint8_t>(image.begin() + static_cast<long>(j * 256),
                                                             image.begin() + static_cast<long>(j * 256 + 256))));
        wire.readQuiet(5, 200);
    }
    wire.send("E");
}

std::vector<uint8_t> firmwareImage(const TSimProcess& sim) {
    const std::string out = sim.dir() + "/fw.hex";
    const auto r = runProgram({ecusimProgram(), "make-firmware", "--version", "7.0.0", "-o", out});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::ifstream in(out, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return parseHex(text.str());
}

}  // namespace

TEST(EcusimStrictness, AnImageThatDidNotArriveWholeAtItsPlaceDoesNotStart) {
    const struct {
        TFault fault;
        const char* why;  // the start of the simulator's reason
    } rows[] = {
        {TFault::None, nullptr},
        {TFault::SkipBlock, "firmware broken: image CRC mismatch"},
        {TFault::SkipLastBlock, "firmware broken: image CRC mismatch"},
        {TFault::ByteAddresses, "firmware broken: "},
        {TFault::HighAndNoBlockZero, "firmware broken: descriptor at byte 8448"},
        {TFault::BlocksBeforeErase, "'A' refused: out of order"},
        {TFault::NoWaitForErase, "ignored while erasing"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.fault));
        TSimProcess sim(simTcp({"--erase-ms", "100", "--boot-ms", "100"}));
        TWire wire = TWire::tcp(sim.port());
        scriptedFlash(wire, firmwareImage(sim), row.fault);
        wire.readQuiet(300);
        wire.send("mdV");
        const std::string reply = wire.readQuiet();
        const auto events = simEvents(sim.transcript());
        if (!row.why) {
            EXPECT_EQ(reply, "VIVU v3\n7.0.0\n");
            continue;
        }
        EXPECT_EQ(reply.find("7.0.0"), std::string::npos) << "the new firmware started";
        EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const std::string& e) { return e.rfind(row.why, 0) == 0; }))
            << ::testing::PrintToString(events);
    }
}

// The firmware's slow moments: a command sent during the store, right after "E", or a greeting
// read too soon finds nothing.
TEST(EcusimStrictness, TheStoreTheBootAndALateGreetingTakeTheirTime) {
    TSimProcess sim(simTcp({"--store-ms", "300", "--greeting-delay", "200"}));
    TWire wire = TWire::tcp(sim.port());
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(50, 150), "") << "answered before its delay";
    EXPECT_EQ(wire.readUntil("Hello>\r"), "Hello>\r");
    wire.send("mcs");
    wire.send("mcd");  // read back at once: the ECU is still writing its EEPROM
    EXPECT_EQ(wire.readQuiet(), "");
    wire.readQuiet(300);
    wire.send("mcd");
    EXPECT_NE(wire.readQuiet().find("=", 0), std::string::npos);

    wire.send("Mancb67cb");
    wire.readUntil("Hello>\r");
    wire.send("E");
    wire.send("mdV");  // during the default boot time
    EXPECT_EQ(wire.readQuiet(), "");
    wire.readQuiet(400);
    wire.send("mdV");
    EXPECT_EQ(wire.readQuiet(), "VIVU v3\n1.0.22\n");
    const auto events = simEvents(sim.transcript());
    for (const char* e : {"ignored while storing", "ignored while booting"})
        EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const std::string& x) { return x.rfind(e, 0) == 0; })) << e;
}

// The switches for the tool's own reading and writing rules.
TEST(EcusimStrictness, WildWritesOddNamesAndADumpWithAGap) {
    TSimProcess sim(simTcp({"--wild-writes", "--odd-name", "1:a=b\\tc", "--dump-gap", "2"}));
    TWire wire = TWire::tcp(sim.port());
    wire.send("mttgFFc07mcd");
    const std::string dump = wire.readQuiet();
    EXPECT_EQ(dump.substr(0, 36), "config10=00\r\na=b\tc=10\r\nconfig13=00\r\n");
    const auto events = simEvents(sim.transcript());
    EXPECT_TRUE(std::any_of(events.begin(), events.end(),
                            [](const std::string& e) { return e.rfind("set 255 7 past the table: landed on slot ", 0) == 0; }));
}
