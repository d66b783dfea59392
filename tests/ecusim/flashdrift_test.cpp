// A flash whose replies come late, twice or unasked, end to end against the simulated ECU over
// TCP and a pseudo-terminal: whenever the tool reports success the simulator's flash holds the
// image, every block of it; otherwise the tool says why and names the settings backup.

#include <cstdio>

#include "firmware.h"
#include "support/skips.h"
#include "toolonsim.h"

namespace {

// The flash as the simulator holds it after an erase and the image's blocks.
std::string expectedFlashCrc(const TIHexFile& hex) {
    std::vector<uint8_t> flash(ecusim::flashSize, 0xFF);
    const size_t blocks = (hex.imageSize + 255) / 256;
    for (size_t i = 0; i < blocks * 256; ++i) flash[i] = i < hex.imageSize ? hex.image[i] : 0xFF;
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(ecusim::crc32(flash.data(), flash.size())));
    return text;
}

struct FlashDrift : ToolOnSim {};

TEST_F(FlashDrift, EveryBlockLandsOrTheFlashStopsWithAMessage) {
    struct Row {
        const char* fault;
        bool pty;
        std::vector<std::string> args;
    };
    const Row rows[] = {
        {"an erase longer than the TCP wait, then a refused block", false, {"--erase-ms", "3000", "--refuse-block", "5:1"}},
        {"an erase longer than the serial wait, then a refused block", true, {"--erase-ms", "4500", "--refuse-block", "5:1"}},
        {"a block's reply past its wait, the next block refused", false, {"--late-ack", "7:1500", "--refuse-block", "8:1"}},
        {"a stray CR after a block, the next block refused", true, {"--stray-ack", "3", "--refuse-block", "4:1"}},
    };
    const std::string fw = makeFirmware("1.1.0", newLayout);
    for (const Row& row : rows) {
        if (row.pty && noPseudoTerminals) continue;
        SCOPED_TRACE(row.fault);
        TSimProcess sim(row.pty ? simPty(row.args) : simTcp(row.args));
        if (row.pty) overPty(sim, 9600);
        else overTcp(sim);
        ASSERT_TRUE(goOnline());
        const auto hex = readHex(fw);
        bool reportedSuccess = false;
        try {
            reportedSuccess = ecu->flashFirmware(*hex);
        } catch (const EFlashError& e) {
            EXPECT_NE(std::string(e.what()).find(ecu->lastCarryOver.backupFile), std::string::npos) << e.what();
        }
        ASSERT_TRUE(sim.waitForLog([](const TSimLogLine& l) { return l.text.rfind("flash crc32 ", 0) == 0; }, 5000));
        const auto log = sim.transcript();
        for (const auto& l : log) {
            if (l.text.rfind("flash crc32 ", 0) != 0 || !reportedSuccess) continue;
            EXPECT_EQ(l.text, "flash crc32 " + expectedFlashCrc(*hex));
        }
        // These faults are all survivable: the flash gets through.
        EXPECT_TRUE(reportedSuccess);
        ecu.reset();
    }
}

}  // namespace
