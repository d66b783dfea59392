// The simulated ECU's bootloader and the firmware images of make-firmware, over loopback TCP.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "support/simprocess.h"
#include "wire.h"

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void enterBootloader(TWire& wire) {
    wire.send("Mancb67cb");
    ASSERT_EQ(wire.readUntil("Hello>\r"), "Hello>\r");
}

// make-firmware into the simulator's directory; returns the image read back from the HEX file.
std::vector<uint8_t> makeFirmware(const TSimProcess& sim, const std::vector<std::string>& extra) {
    std::vector<std::string> argv{ecusimProgram(), "make-firmware", "-o", sim.dir() + "/fw.hex"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const auto r = runProgram(argv);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return parseHex(readAll(sim.dir() + "/fw.hex"));
}

}  // namespace

TEST(EcusimBootloader, IsEnteredAfterTheGreetingAndIdentifiesItself) {
    TSimProcess sim(simTcp({"--erase-ms", "0"}));
    TWire wire = TWire::tcp(sim.port());
    wire.send("cb67cb");  // without the greeting just before it, this is noise
    wire.send("p");
    EXPECT_EQ(wire.readQuiet(), "");
    enterBootloader(wire);
    wire.send("p");
    EXPECT_EQ(wire.readQuiet(), "S");
    wire.send("S");
    EXPECT_EQ(wire.readQuiet(), "AVREFI1");
    wire.send("a");
    EXPECT_EQ(wire.readQuiet(), "Y");
    wire.send("x");
    EXPECT_EQ(wire.readQuiet(), "?");
    wire.send(addressCommand(0x1234));  // before the erase: 'A' and both its bytes refused
    EXPECT_EQ(wire.readQuiet(), "???");
    wire.send("e");
    EXPECT_EQ(wire.readQuiet(), "\r");
    wire.send(addressCommand(0x1234));
    EXPECT_EQ(wire.readQuiet(), "\r");
    const auto events = simEvents(sim.transcript());
    EXPECT_NE(std::find(events.begin(), events.end(), "bootloader divisor 103"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "address 4660"), events.end());
}

TEST(EcusimBootloader, ChecksBothSumsFromTheWordAddress) {
    TSimProcess sim(simTcp({"--erase-ms", "0", "--loose-order"}));
    TWire wire = TWire::tcp(sim.port());
    enterBootloader(wire);
        const std::string head = std::string("Dk") + '\0';

    // Block 0 of 0xFF ends with FF 80 00 00; block 1 of 0xFF with 00 00 00 80; block 3 of zeros
    // with 01 80 01 80.
    wire.send(addressCommand(0));
    wire.readQuiet(50);
    wire.send(head + std::string(256, '\xFF') + "\xFF\x80" + std::string(2, '\0'));
    EXPECT_EQ(wire.readQuiet(), "\r");
    wire.send(addressCommand(128));
    wire.readQuiet(50);
    wire.send(head + std::string(256, '\xFF') + std::string(3, '\0') + "\x80");
    EXPECT_EQ(wire.readQuiet(), "\r");
    wire.send(addressCommand(384));
    wire.readQuiet(50);
    wire.send(head + std::string(256, '\0') + "\x01\x80\x01\x80");
    EXPECT_EQ(wire.readQuiet(), "\r");

    // A wrong sum, a wrong XOR, sums that leave out the address, and the two sums swapped:
    // each refused without CR.
    std::vector<uint8_t> pattern(256);
    for (int i = 0; i < 256; ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 1);
    std::string good = blockCommand(256, pattern);
    std::vector<std::string> bad;
    bad.push_back(good);
    bad.back()[bad.back().size() - 3] ^= 1;  // sum low
    bad.push_back(good);
    bad.back()[bad.back().size() - 1] ^= 1;  // xor low
    bad.push_back(blockCommand(0, pattern));  // checksums for address 0, sent to address 256
    bad.push_back(good.substr(0, good.size() - 4) + good.substr(good.size() - 2) + good.substr(good.size() - 4, 2));
    bad.push_back(good);
    std::swap(bad.back()[3], bad.back()[4]);  // two data bytes of one word swapped changes both sums
    for (size_t i = 0; i < bad.size(); ++i) {
        wire.send(addressCommand(256));
        wire.readQuiet(50);
        wire.send(bad[i]);
        EXPECT_EQ(wire.readQuiet(), "?") << "bad block " << i;
    }
    wire.send(addressCommand(256));
    wire.readQuiet(50);
    wire.send(good);
    EXPECT_EQ(wire.readQuiet(), "\r");
}

TEST(EcusimBootloader, EraseAnswersAfterEraseMsAndTakesNothingInMeanwhile) {
    TSimProcess sim(simTcp({"--erase-ms", "150"}));
    TWire wire = TWire::tcp(sim.port());
    enterBootloader(wire);
    wire.send("pS");
    EXPECT_EQ(wire.readUntil("AVREFI1"), "SAVREFI1");
    const auto start = std::chrono::steady_clock::now();
    wire.send("e");
    wire.send("p");  // sent while erasing: lost, as on a busy chip
    EXPECT_EQ(wire.readUntil("\r", 2000), "\r");
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 150 - 1);  // the simulator keeps time in whole milliseconds
    EXPECT_LT(ms.count(), 1000);
    EXPECT_EQ(wire.readQuiet(), "");
    EXPECT_TRUE(sim.waitForLog([](const TSimLogLine& l) { return l.text == "ignored while erasing 70"; }));
}

TEST(EcusimFirmware, AFlashedImageBringsItsVersionAndLayoutAndTheStateKeepsIt) {
    const std::string state = testing::TempDir() + "ecusim-flash-state-" + std::to_string(::getpid());
    std::filesystem::remove(state);
    {
        TSimProcess sim(simTcp({"--erase-ms", "0", "--boot-ms", "0", "--state", state}));
        std::ofstream(sim.dir() + "/layout.txt") << "# a smaller firmware\nfan_temp=90\nnew_thing=7\n"
                                                 << "5\tlcd_c0\t33\n";
        const auto image = makeFirmware(sim, {"--version", "2.1.0", "--settings", sim.dir() + "/layout.txt"});
        EXPECT_EQ(image.size(), 8192u);
        TWire wire = TWire::tcp(sim.port());
        flashOverWire(wire, image);
        // The new firmware runs in command mode at once.
        wire.send("mdV");
        EXPECT_EQ(wire.readQuiet(), "VIVU v3\n2.1.0\n");
        wire.send("mcd");
        EXPECT_EQ(wire.readQuiet(), "fan_temp=5A\r\nnew_thing=07\r\n=00\r\n=00\r\n=00\r\nlcd_c0=21\r\n");
        const auto events = simEvents(sim.transcript());
        EXPECT_NE(std::find(events.begin(), events.end(), "firmware 2.1.0 6 slots"), events.end());
    }
    {
        TSimProcess sim(simTcp({"--state", state}));
        TWire wire = TWire::tcp(sim.port());
        wire.send("mdV");
        EXPECT_EQ(wire.readQuiet(), "VIVU v3\n2.1.0\n") << "the flashed firmware did not survive a restart";
    }
    std::filesystem::remove(state);
}

TEST(EcusimFirmware, AnImageWithoutDescriptorKeepsTheIdentityAndABrokenOneLeavesTheBootloader) {
    TSimProcess sim(simTcp({"--erase-ms", "0", "--boot-ms", "0", "--version", "1.2.3"}));
    TWire wire = TWire::tcp(sim.port());
    wire.send("mcd");
    const std::string table = wire.readQuiet();

    const auto plain = makeFirmware(sim, {"--version", "9.9.9", "--no-descriptor", "--size", "2048"});
    flashOverWire(wire, plain);
    wire.send("mdV");
    EXPECT_EQ(wire.readQuiet(), "VIVU v3\n1.2.3\n");
    wire.send("mcd");
    EXPECT_EQ(wire.readQuiet(), table);

    // One byte of the descriptor's text changed: the flash holds a broken firmware.
    auto broken = makeFirmware(sim, {"--version", "9.9.9"});
    const std::string text(broken.begin(), broken.end());
    const size_t at = text.find("version\t9.9.9");
    ASSERT_NE(at, std::string::npos);
    broken[at + 8] = '8';
    flashOverWire(wire, broken);
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(), "?Y?") << "a broken firmware must leave only the bootloader";
}

TEST(EcusimFirmware, ProgrammingWithoutEraseSpoilsTheImage) {
    TSimProcess sim(simTcp({"--erase-ms", "0", "--loose-order"}));
    TWire wire = TWire::tcp(sim.port());
    const auto image = makeFirmware(sim, {"--version", "3.0.0"});
    enterBootloader(wire);
    for (size_t j = 0; j < image.size() / 256; ++j) {
        const uint16_t address = static_cast<uint16_t>(j * 128);
        wire.send(addressCommand(address));
        ASSERT_EQ(wire.readUntil("\r"), "\r");
        wire.send(blockCommand(address, std::vector<uint8_t>(image.begin() + j * 256, image.begin() + j * 256 + 256)));
        ASSERT_EQ(wire.readUntil("\r"), "\r");
    }
    wire.send("E");
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(), "?Y?");
}

TEST(EcusimFirmware, MakeFirmwareWritesPlainIntelHexAndRefusesBadSettings) {
    TSimProcess sim;
    const auto big = makeFirmware(sim, {"--version", "4.0.0", "--size", "70000"});
    EXPECT_EQ(big.size(), 70144u);  // whole blocks
    const std::string hex = readAll(sim.dir() + "/fw.hex");
    EXPECT_NE(hex.find(":020000021000EC\r\n"), std::string::npos) << "addresses above 64 KiB need a segment record";
    EXPECT_EQ(hex.substr(hex.size() - 13), ":00000001FF\r\n");

    const auto defaults = runProgram({ecusimProgram(), "default-settings"});
    EXPECT_EQ(defaults.exitCode, 0);
    EXPECT_EQ(defaults.out.substr(0, 11), "0\tconfig10\t");

    const std::string bad = sim.dir() + "/bad.txt";
    for (const char* text : {"fan_temp=256\n", "fan_temp\n", "3\tx\t1\n3\ty\t2\n", "256\tx\t1\n", "a=b=1\n"}) {
        std::ofstream(bad) << text;
        const auto r = runProgram({ecusimProgram(), "make-firmware", "--version", "1", "--settings", bad, "-o",
                                   sim.dir() + "/bad.hex"});
        EXPECT_EQ(r.exitCode, 1) << text;
        EXPECT_NE(r.err.find(bad + ":"), std::string::npos) << r.err;
    }
}
