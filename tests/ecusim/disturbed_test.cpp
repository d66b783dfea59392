// Settings downloads disturbed as a timing-fault run found them (an extra version line, a
// greeting in the wrong place, a late version, a line ended by LF or CR alone, a pause inside
// the download), over TCP and a pseudo-terminal against the simulated ECU: the table the tool
// ends up with is the ECU's, or the tool says it is not; never a shifted or short table
// taken for the ECU's.

#include "identity.h"
#include "support/skips.h"
#include "toolonsim.h"

namespace {

struct Disturbed : ToolOnSim {
    // Online, the table read back as every verified write does, and offline again; empty
    // when the tool took the table for the ECU's, else why not.
    std::string roundTrip() {
        try {
            if (!goOnline()) return "not online";
            const auto differences = ecu->checkSettings();
            if (!differences.empty()) return "read back differs: " + differences.front();
            ecu->setOnline(false);
        } catch (const std::exception& e) {
            return std::string("error: ") + e.what();
        }
        return ecu->tableDisturbed ? "disturbed" : "";
    }
};

TEST_F(Disturbed, TheTableIsTheEcusOrRefused) {
    const ecusim::TFirmwareIdentity truth = ecusim::defaultIdentity();
    const std::string last = std::to_string(truth.slots.size() - 1);
    struct Row {
        const char* fault;
        std::vector<std::string> args;
        std::vector<std::string> ptyArgs;  // where a pseudo-terminal needs other numbers
    };
    const Row rows[] = {
        {"a version reply with an extra line", {"--version-reply", "VIVU v3\\n1.0.22\\nbuild 7\\n"}, {}},
        {"a greeting ended by CR LF", {"--greeting", "Hello>\\r\\n"}, {}},
        {"a stray greeting between version and table", {"--version-reply", "VIVU v3\\n1.0.22\\nHello>\\r"}, {}},
        {"a late version", {"--version-delay", "3000"}, {"--version-delay", "150"}},
        {"a line ended by LF alone", {"--line-end", "5:\\n"}, {}},
        {"a line ended by CR alone", {"--line-end", "5:\\r"}, {}},
        {"the last line ended by CR alone", {"--line-end", last + ":\\r"}, {}},
        {"a pause inside the download", {"--settings-pause", "100:3000"}, {"--settings-pause", "100:300"}},
    };
    for (const Row& row : rows) {
        for (const bool pty : {false, true}) {
            if (pty && noPseudoTerminals) continue;
            SCOPED_TRACE(std::string(row.fault) + (pty ? " (pty)" : " (tcp)"));
            const auto& args = pty && !row.ptyArgs.empty() ? row.ptyArgs : row.args;
            TSimProcess sim(pty ? simPty(args) : simTcp(args));
            if (pty) overPty(sim, 9600);
            else overTcp(sim);
            const std::string outcome = roundTrip();
            if (!outcome.empty()) continue;  // refused, with its reason
            ASSERT_EQ(ecu->settingsLines, static_cast<int>(truth.slots.size()));
            for (size_t i = 0; i < truth.slots.size(); ++i) {
                const auto slot = static_cast<uint8_t>(i);
                ASSERT_EQ(ecu->settings->getName(slot), truth.slots[i].name) << "slot " << i;
                ASSERT_EQ(ecu->settings->getValue(slot), truth.slots[i].value) << "slot " << i;
            }
            EXPECT_EQ(ecu->versionText, "1.0.22");
            ecu.reset();
        }
    }
}

TEST_F(Disturbed, AReadBackEndsSoonAfterItsLinesYetReadsALineHeldBack) {
    TSimProcess sim(simTcp({"--settings-pause", "100:1000"}));
    overTcp(sim);
    ASSERT_TRUE(goOnline());
    EXPECT_TRUE(ecu->checkSettings().empty());
}

TEST_F(Disturbed, ANewFirmwareSlowToBootIsWaitedFor) {
    VELTRACE_SKIP_ON_WINDOWS("the simulator on a pseudo-terminal as the serial port");
    TSimProcess sim(simPty({"--boot-ms", "1200"}));
    overPty(sim, 9600);
    ASSERT_TRUE(goOnline());
    set("fan_temp", 77);
    const auto hex = readHex(makeFirmware("1.1.0", newLayout));
    ASSERT_TRUE(ecu->flashFirmware(*hex));
    EXPECT_EQ(ecu->settings->getValue(static_cast<uint8_t>(ecu->settings->findName("fan_temp", 0))), 77);
}

}  // namespace
