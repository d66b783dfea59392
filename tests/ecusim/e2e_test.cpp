// End to end: the real TECU over the real links (a pseudo-terminal as a serial port, loopback
// TCP) against the simulated ECU running as a separate process. What the tool believes is
// checked against what the simulator's transcript and state file say crossed the wire.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "data/ihexfile.h"
#include "ecu/ecu.h"
#include "link/linkfactory.h"
#include "platform/convert.h"
#include "support/fakes.h"
#include "support/realpeers.h"
#include "support/simprocess.h"
#include "support/skips.h"
#include "support/tempdir.h"
#include "toolonsim.h"

TEST_F(ToolOnSim, OverTcpTheToolConnectsWritesStoresSwitchesOutputsAndImports) {
    TSimProcess sim(simTcp({"--state", dir.path + "/state"}));
    overTcp(sim);
    ASSERT_TRUE(goOnline());
    EXPECT_FALSE(ecu->needsFirmware);
    EXPECT_EQ(ecu->versionText, "1.0.22");
    EXPECT_EQ(fake.window.firmware, "Firmware v.1.0.22");
    // The tool's table is the simulator's, slot for slot.
    const auto defaults = runProgram({ecusimProgram(), "default-settings"});
    std::istringstream lines(defaults.out);
    std::string line;
    int slots = 0;
    while (std::getline(lines, line)) {
        const auto tab = line.find('\t'), tab2 = line.rfind('\t');
        EXPECT_EQ(ecu->settings->getName(static_cast<uint8_t>(slots)), line.substr(tab + 1, tab2 - tab - 1));
        EXPECT_EQ(ecu->settings->getValue(static_cast<uint8_t>(slots)), std::stoi(line.substr(tab2 + 1)));
        ++slots;
    }
    EXPECT_GT(slots, 190);

    set("fan_temp", 90);
    set("lcd_offs[2]", 0);
    ecu->setOutputTestMode(true);
    ecu->setOutput(50, true);
    ecu->setOutput(50, false);
    ecu->storeSettings();
    set("fan_hyst", 12);  // written, not stored

    const std::string mtt = dir.path + "/import.mtt";
    std::ofstream(mtt) << "line one\r\n\r\nline three\n";
    EXPECT_TRUE(ecu->importSettings(mtt));
    EXPECT_TRUE(fake.window.messages().empty());
    ecu->setOnline(false);
    EXPECT_TRUE(sim.waitForLog([](const TSimLogLine& l) { return l.text.rfind("disconnect", 0) == 0; }));

    const auto values = stateValues(dir.path + "/state");
    EXPECT_EQ(values.at("fan_temp"), 90);
    EXPECT_EQ(values.at("lcd_offs[2]"), 0);
    EXPECT_EQ(values.at("fan_hyst"), 5) << "a value that was never stored";
    const auto log = sim.transcript();
    const int fanSlot = ecu->settings->findName("fan_temp", 0);
    EXPECT_EQ(countEvents(log, "set " + std::to_string(fanSlot) + " 90 fan_temp"), 1);
    EXPECT_EQ(countEvents(log, "store"), 1);
    EXPECT_EQ(countEvents(log, "output-test on"), 1);
    EXPECT_EQ(countEvents(log, "output 50 on"), 1);
    EXPECT_EQ(countEvents(log, "output 50 off"), 1);
    EXPECT_EQ(rxIn(log, "outside"), "line oneline threeMan");
    EXPECT_EQ(countEvents(log, "import 18 bytes"), 1);
    EXPECT_EQ(joinedBytes(log, "rx").find("mcB"), std::string::npos) << "no bit rates on a network link";
    EXPECT_EQ(joinedBytes(log, "rx").find("Man"), 0u);
}

TEST_F(ToolOnSim, OverAPtyTheToolTakesUpItsStoredRateAndReturnsTo9600) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    TSimProcess sim(simPty());
    overPty(sim, 57600);
    ASSERT_TRUE(goOnline());
    EXPECT_EQ(ecu->versionText, "1.0.22");
    EXPECT_EQ(ecu->settings->getName(0), "config10");
    EXPECT_EQ(ecu->link->getBaudRate(), 57600);
    set("fan_temp", 91);
    ecu->storeSettings();
    ecu->setOnline(false);
    EXPECT_TRUE(sim.waitForLog([](const TSimLogLine& l) { return l.mode == "outside"; }));

    const auto log = sim.transcript();
    expectNothingLost(log);
    const std::string rx = joinedBytes(log, "rx");
    EXPECT_EQ(rx.substr(0, 14), "ManmdVmcB10mcd");
    EXPECT_NE(rx.find("mcsmcB67bye"), std::string::npos);
    EXPECT_EQ(countEvents(log, "rate 57600"), 1);
    EXPECT_EQ(countEvents(log, "rate 9600"), 1);
    EXPECT_EQ(countEvents(log, "store"), 1);
}

TEST_F(ToolOnSim, OverAPtyAtThe9600DefaultNoRateIsSwitched) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    TSimProcess sim(simPty());
    overPty(sim, 9600);
    ASSERT_TRUE(goOnline());
    ecu->setOnline(false);
    EXPECT_TRUE(sim.waitForLog([](const TSimLogLine& l) { return l.mode == "outside"; }));
    const auto log = sim.transcript();
    expectNothingLost(log);
    EXPECT_EQ(joinedBytes(log, "rx"), "ManmdVmcdmcB67bye");
}

TEST_F(ToolOnSim, AnEcuLeftAtTheStoredRateIsFoundByTheResetRoad) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    TSimProcess sim(simPty());
    {
        // A tool that went away without its goodbye left the ECU at 57600.
        overPty(sim, 57600);
        ASSERT_TRUE(goOnline());
        ecu->link->setActive(false);
        ecu.reset();
    }
    overPty(sim, 57600);
    ASSERT_TRUE(goOnline());
    EXPECT_EQ(ecu->versionText, "1.0.22");
    const auto log = sim.transcript();
    // The greeting at 9600 goes unanswered: its bytes are lost, or, when the simulator still
    // gave them the benefit of the rate seen before the tool switched, the reply is. The
    // "bye" at 9600 is lost; the second "bye", at 57600, is heard.
    const std::string rxLost = joinedBytes(log, "rx-lost"), txLost = joinedBytes(log, "tx-lost");
    EXPECT_TRUE(rxLost.rfind("Man", 0) == 0 || txLost == "Hello>\r") << rxLost << " / " << txLost;
    EXPECT_NE(rxLost.find("bye"), std::string::npos);
    EXPECT_EQ(countEvents(log, "rate 57600"), 2) << "the first tool's and the second's";
    const auto progress = fake.progress.statuses();
    EXPECT_NE(std::find(progress.begin(), progress.end(), "Resetting ECU..."), progress.end());
}

TEST_F(ToolOnSim, AFlashOverAPtyChangesTheLayoutAndCarriesTheSettingsOverByName) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    TSimProcess sim(simPty({"--state", dir.path + "/state", "--erase-ms", "300", "--refuse-block", "1:1"}));
    overPty(sim, 38400);
    ASSERT_TRUE(goOnline());
    set("fan_temp", 77);
    set("fan_hyst", 3);
    set("lcd_c0", 50);
    ecu->storeSettings();

    const auto hex = readHex(makeFirmware("2.0.0", newLayout));
    ASSERT_TRUE(ecu->flashFirmware(*hex));
    EXPECT_EQ(ecu->versionText, "2.0.0");
    EXPECT_EQ(ecu->link->getBaudRate(), 38400);
    EXPECT_EQ(ecu->lastCarryOver.kept, 4);
    EXPECT_EQ(ecu->lastCarryOver.newNames, std::vector<std::string>{"brand_new"});
    EXPECT_EQ(ecu->lastCarryOver.droppedNames.size(), 219u - 4u);
    EXPECT_EQ(ecu->settings->getName(5), "") << "an old name stayed past the new firmware's table";
    EXPECT_TRUE(fake.window.messages().empty()) << fake.window.messages().front();
    const auto statuses = fake.progress.statuses();
    EXPECT_TRUE(std::any_of(statuses.begin(), statuses.end(),
                            [](auto& s) { return s.rfind("ECU Checksum Error!?", 0) == 0; }));
    ecu->setOnline(false);
    EXPECT_TRUE(sim.waitForLog([](const TSimLogLine& l) { return l.mode == "outside"; }));

    std::string version;
    const auto values = stateValues(dir.path + "/state", &version);
    EXPECT_EQ(version, "2.0.0");
    const std::map<std::string, int> want{
        {"fan_hyst", 3}, {"fan_temp", 77}, {"brand_new", 33}, {"lcd_c0", 50}, {"wbo2_calibration", 100}};
    EXPECT_EQ(values, want);

    const auto log = sim.transcript();
    expectNothingLost(log);
    EXPECT_EQ(countEvents(log, "bootloader divisor 25"), 1);
    EXPECT_EQ(countEvents(log, "block 1 at 128 refused: --refuse-block"), 1);
    EXPECT_EQ(countEvents(log, "firmware 2.0.0 5 slots"), 1);
    for (int j = 0; j < 32; ++j)
        EXPECT_EQ(countEvents(log, "block " + std::to_string(j) + " at " + std::to_string(j * 128) + " written"), 1) << j;
    // After the reset: the greeting at 9600 (again while the new firmware boots), then the
    // former rate again.
    EXPECT_TRUE(std::regex_search(joinedBytes(log, "rx"), std::regex("E(Man)+mcB19mdVmcdmttg")));
}

// On a line that takes its time, the 256 settings writes after a flash (0.2 s at 115200 bit/s)
// were still crossing when the read-back of the table gave up after 100 ms: every flash over a
// real serial line ended "the ECU sent no settings back".
TEST_F(ToolOnSim, AFlashOverAPacedLineReadsTheSettingsBack) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    TSimProcess sim(simPty({"--pace", "--erase-ms", "0"}));
    overPty(sim, 115200);
    ASSERT_TRUE(goOnline());
    const auto hex = readHex(makeFirmware("2.0.6", newLayout));
    ASSERT_NO_THROW(ecu->flashFirmware(*hex));
    EXPECT_EQ(ecu->versionText, "2.0.6");
    EXPECT_EQ(ecu->lastCarryOver.kept, 4);
}

TEST_F(ToolOnSim, AFlashOverTcpChangesTheLayout) {
    TSimProcess sim(simTcp({"--state", dir.path + "/state", "--erase-ms", "0"}));
    overTcp(sim);
    ASSERT_TRUE(goOnline());
    set("fan_temp", 66);
    ecu->storeSettings();
    const auto hex = readHex(makeFirmware("2.0.1", newLayout));
    ASSERT_TRUE(ecu->flashFirmware(*hex));
    EXPECT_EQ(ecu->versionText, "2.0.1");
    ecu->setOnline(false);
    EXPECT_TRUE(sim.waitForLog([](const TSimLogLine& l) { return l.mode == "outside"; }));
    const auto values = stateValues(dir.path + "/state");
    EXPECT_EQ(values.at("fan_temp"), 66);
    EXPECT_EQ(values.at("brand_new"), 33);
    const std::string rx = joinedBytes(sim.transcript(), "rx");
    EXPECT_TRUE(std::regex_search(rx, std::regex("E(mdV)+mcd"))) << "no greeting and no rate change on the network link";
}

TEST_F(ToolOnSim, ABootloaderOnlyEcuIsFlashedIntoLife) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    TSimProcess sim(simPty({"--bootloader-only", "--erase-ms", "0"}));
    overPty(sim, 9600);
    ASSERT_TRUE(goOnline());
    EXPECT_TRUE(ecu->needsFirmware);
    EXPECT_EQ(ecu->versionText, "0.0.0");
    const auto hex = readHex(makeFirmware("1.5.0", newLayout));
    ASSERT_TRUE(ecu->flashFirmware(*hex));
    EXPECT_EQ(ecu->versionText, "1.5.0");
    EXPECT_EQ(ecu->settings->getName(2), "brand_new");
    EXPECT_EQ(ecu->settings->getValue(2), 33);
    const auto log = sim.transcript();
    expectNothingLost(log);
    EXPECT_EQ(joinedBytes(log, "tx").substr(0, 3), "?Y?");
}

TEST_F(ToolOnSim, AnEcuThatNeverSynchronisesEndsTheFlash) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    TSimProcess sim(simPty({"--no-sync"}));
    overPty(sim, 9600);
    ASSERT_TRUE(goOnline());
    const auto hex = readHex(makeFirmware("2.0.2", newLayout));
    try {
        ecu->flashFirmware(*hex);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_EQ(std::string(e.what()), "Error syncing ECU. Your settings are saved in " + ecu->lastCarryOver.backupFile);
    }
    ecu.reset();
    // Seven tries, and no goodbye into the listening bootloader: its "e" would erase the flash.
    sim.waitForLog([&](const TSimLogLine&) { return rxIn(sim.transcript(), "bootloader").size() >= 7; });
    EXPECT_EQ(rxIn(sim.transcript(), "bootloader"), "ppppppp");
    for (const auto& line : sim.transcript()) EXPECT_NE(line.text.rfind("erase", 0), 0u) << line.text;
}

TEST_F(ToolOnSim, ABlockRefusedForEverEndsTheFlash) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    {
        TSimProcess sim(simPty({"--refuse-block", "1", "--erase-ms", "0"}));
        overPty(sim, 9600);
        ASSERT_TRUE(goOnline());
        const auto hex = readHex(makeFirmware("2.0.3", newLayout));
        try {
            ecu->flashFirmware(*hex);
            ADD_FAILURE() << "no error";
        } catch (const EFlashError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("ECU did not accept block 2 of 32. Your settings are saved in ", 0), 0u)
                << e.what();
        }
        EXPECT_EQ(countEvents(sim.transcript(), "block 1 at 128 refused: --refuse-block"), 5);
        EXPECT_EQ(fake.progress.calls().back(), "close");
        ecu.reset();
    }
}

TEST_F(ToolOnSim, ALineCutDuringAFlashEndsIt) {
    // Connect: "Man", "mdV", "mcd" (9 bytes); the entry and sync, erase (12); then block 0
    // (266) and into block 1.
    TSimProcess sim(simTcp({"--drop-after", "300", "--erase-ms", "0"}));
    overTcp(sim);
    ASSERT_TRUE(goOnline());
    const auto hex = readHex(makeFirmware("2.0.4", newLayout));
    try {
        ecu->flashFirmware(*hex);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_NE(std::string(e.what()).find("block 2 of 32"), std::string::npos) << e.what();
    }
    EXPECT_EQ(fake.progress.calls().back(), "close");
}

// A serial port that vanishes mid-flash (a USB adapter pulled) went unnoticed: 12.5 s of retries,
// then "ECU did not accept block ...". The hang-up ends the flash at once.
TEST_F(ToolOnSim, APtyHungUpDuringAFlashEndsItAtOnce) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    TSimProcess sim(simPty({"--drop-after", "3000", "--erase-ms", "0"}));
    overPty(sim, 9600);
    ASSERT_TRUE(goOnline());
    const auto hex = readHex(makeFirmware("2.0.5", newLayout));
    const long long t0 = steadyMs();
    try {
        ecu->flashFirmware(*hex);
        ADD_FAILURE() << "no error";
    } catch (const EFlashError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Lost connection with ECU at block ", 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find("hung up"), std::string::npos) << e.what();
    }
    EXPECT_LT(steadyMs() - t0, 2500);
    EXPECT_TRUE(ecu->link->isLost());
}

TEST_F(ToolOnSim, DownloadFaultsMeetTheToolsHandling) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    {  // A pause longer than the tool's 100 ms ends the download there.
        TSimProcess sim(simPty({"--settings-gap", "250", "--settings-lines", "3"}));
        overPty(sim, 9600);
        ASSERT_TRUE(goOnline());
        EXPECT_EQ(ecu->settings->getName(0), "config10");
        EXPECT_EQ(ecu->settings->getName(1), "");
        ecu.reset();
    }
    {  // More than 256 lines: the rest is read and dropped, slot 0 keeps the first line.
        TSimProcess sim(simPty({"--settings-lines", "300"}));
        overPty(sim, 9600);
        ASSERT_TRUE(goOnline());
        EXPECT_EQ(ecu->settings->getName(0), "config10");
        EXPECT_EQ(ecu->settings->getName(255), "spare_255");
        ecu.reset();
    }
    {  // A version that is not three numbers is shown as it came; nothing is decided on it.
        TSimProcess sim(simPty({"--version", "1.2.0-rc1"}));
        overPty(sim, 57600);
        ASSERT_TRUE(goOnline());
        EXPECT_EQ(fake.window.firmware, "Firmware v.1.2.0-rc1");
        EXPECT_EQ(ecu->settings->getName(0), "config10");
        EXPECT_EQ(joinedBytes(sim.transcript(), "rx").find("mcB"), std::string::npos);
        ecu.reset();
    }
    {  // An ECU that stops answering after the greeting: version unknown, no settings.
        TSimProcess sim(simPty({"--silent-after", "3"}));
        overPty(sim, 57600);
        ASSERT_TRUE(goOnline());
        EXPECT_EQ(fake.window.firmware, "Firmware v.Unknown");
        EXPECT_EQ(ecu->settings->getName(0), "");
        EXPECT_EQ(joinedBytes(sim.transcript(), "rx").find("mcB"), std::string::npos)
            << "no rate change after an unknown version";
        ecu.reset();
    }
}

TEST_F(ToolOnSim, AnEcuThatIgnoresByeGetsNoImport) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    TSimProcess sim(simPty({"--no-bye"}));
    overPty(sim, 9600);
    ASSERT_TRUE(goOnline());
    const std::string mtt = dir.path + "/import.mtt";
    std::ofstream(mtt) << "a=1\nb=2\n";
    EXPECT_EQ(ecu->importSettings(mtt).failure, "Lost connection with ECU!");
    const std::string rx = joinedBytes(sim.transcript(), "rx");
    EXPECT_EQ(rx.substr(rx.size() - 3), "bye") << "nothing of the file may follow";
}
