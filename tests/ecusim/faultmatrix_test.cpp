// Faults met end to end against the simulated ECU: each ends in its message within its bound,
// the link can be closed and used again, and nothing is lost: the settings backup was on disk
// before the first bootloader byte, and a restore from it puts every value back. (The cases
// the other end-to-end tests cover already are listed in the README's troubleshooting table.)

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "platform/convert.h"
#include "toolonsim.h"

namespace {

// The settings the operator set and stored before the flash.
const std::map<std::string, int> operatorValues{{"fan_temp", 77}, {"lcd_c0", 50}};

// Bytes the tool sends at 9600 bit/s before the settings writes of a flash of the default
// 8192-byte firmware (32 blocks): going online ("Man", "mdV", "mcd"), the two settings and
// "mcs", the bootloader's entry, sync, identification and erase, 32 blocks of 266 bytes, "E",
// the greeting of the new firmware, and its "mdV" and "mcd".
constexpr long bytesBeforeWriteBack = 9 + 2 * 9 + 3 + 9 + 3 + 32 * 266 + 1 + 3 + 6;

// Notes whether the backup file was complete on disk when the flash announced it, right
// before the bootloader's entry text.
class TBackupWatch : public TRecordingLog {
public:
    void appendText(const std::string& text, TColor color) override {
        const std::string mark = "\rSettings backed up to ";
        if (text.rfind(mark, 0) == 0) {
            const std::string path = text.substr(mark.size(), text.size() - mark.size() - 1);
            std::ifstream in(path);
            std::string all((std::istreambuf_iterator<char>(in)), {});
            backupOnDisk = all.find("\tfan_temp\t77\n") != std::string::npos;
        }
        TRecordingLog::appendText(text, color);
    }
    bool backupOnDisk = false;
};

struct FaultMatrix : ToolOnSim {
    TBackupWatch watch;
    TOperator watched{fake.progress, watch, fake.window, fake.prefs, fake.clock};

    // Over a pseudo-terminal at 9600 bit/s, where time-outs are short.
    void buildWatched(const TSimProcess& sim) {
        overPty(sim, 9600);
        ecu = std::make_unique<TECU>(watched, realLinkFactory());
        ecu->backupFolder = dir.path + "/backups";
    }
    // Online, the operator's values set and stored.
    void prepare() {
        ASSERT_TRUE(goOnline());
        for (const auto& [name, value] : operatorValues) set(name, static_cast<uint8_t>(value));
        ecu->storeSettings();
    }
    // A fresh simulator on the same state file takes the backup back through veltrace-cli.
    void restore(const std::string& backup) {
        TSimProcess sim(simPty({"--state", dir.path + "/state"}));
        const TProgramResult r = runProgram({"/usr/bin/env", "HOME=" + dir.path, "XDG_CONFIG_HOME=" + dir.path + "/cfg",
                                             VELTRACE_CLI_PATH, "--serial", sim.ptyPath(), "restore", backup});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        sim.stop();
        const auto values = stateValues(dir.path + "/state");
        for (const auto& [name, value] : operatorValues) {
            ASSERT_TRUE(values.count(name)) << name;
            EXPECT_EQ(values.at(name), value) << name;
        }
    }
};

TEST_F(FaultMatrix, AFlashThatFailsSaysWhyInTimeAndLosesNothing) {
    struct Row {
        const char* fault;
        std::vector<std::string> args;
        std::string says;     // in the message
        int boundMs;          // from the start of the flash to its end
        bool sentNothing;     // the flash refused to start: no bootloader byte went out
        std::function<void(FaultMatrix&)> before;
    };
    const auto blockedFolder = [](FaultMatrix& t) {
        std::ofstream(t.dir.path + "/file") << "a file where the folder should be";
        t.ecu->backupFolder = t.dir.path + "/file/backups";
    };
    // Going online and flashing up to the erase takes 9 + 21 + 12 bytes; the "e" is the last.
    const std::vector<Row> rows{
        {"the line cut during the erase", {"--drop-after", "42", "--erase-ms", "1000"},
         "Lost connection with ECU while erasing the flash", 1500, false, nullptr},
        {"the line cut between blocks", {"--drop-after", "400"}, "Lost connection with ECU at block 2 of 32", 1500,
         false, nullptr},
        {"the line cut during the settings write-back", {"--drop-after", std::to_string(bytesBeforeWriteBack + 10 * 9)},
         "Lost connection with ECU ", 3000, false, nullptr},
        {"a backup folder that cannot be made", {}, "Cannot write the settings backup to ", 1000, true, blockedFolder},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        TTempDir folder;
        dir.path.swap(folder.path);  // every row its own state file and backups
        {
            std::vector<std::string> args{"--state", dir.path + "/state", "--erase-ms", "0"};
            args.insert(args.end(), row.args.begin(), row.args.end());
            TSimProcess sim(simPty(args));
            buildWatched(sim);
            prepare();
            if (row.before) row.before(*this);
            const auto hex = readHex(makeFirmware("3.0.0", newLayout));
            watch.backupOnDisk = false;
            const long long t0 = steadyMs();
            std::string said;
            try {
                ecu->flashFirmware(*hex);
            } catch (const EFlashError& e) {
                said = e.what();
            }
            EXPECT_LT(steadyMs() - t0, row.boundMs);
            EXPECT_NE(said.find(row.says), std::string::npos) << said;
            EXPECT_EQ(fake.progress.calls().back(), "close");
            ecu->setOnline(false);  // the link closes, and opens again
            EXPECT_FALSE(ecu->isOnline());
            const std::string rx = joinedBytes(sim.transcript(), "rx");
            if (row.sentNothing) {
                EXPECT_NE(said.find("nothing was sent to the ECU"), std::string::npos) << said;
                EXPECT_EQ(rx.find("Mancb"), std::string::npos) << "a bootloader byte went out";
                continue;
            }
            EXPECT_TRUE(watch.backupOnDisk) << "the backup was not on disk before the bootloader's entry";
            const std::string backup = ecu->lastCarryOver.backupFile;
            EXPECT_NE(said.find("Your settings are saved in " + backup), std::string::npos) << said;
            ecu.reset();
            sim.stop();
            restore(backup);
        }
        dir.path.swap(folder.path);
    }
}

// A disk that takes no more: the backup cannot be written whole, is not left behind half
// written, and not a byte goes to the ECU.
TEST_F(FaultMatrix, ADiskThatTakesNoMoreStopsTheFlashBeforeAnythingIsSent) {
    TSimProcess sim(simPty({"--erase-ms", "0"}));
    buildWatched(sim);
    prepare();
    const auto hex = readHex(makeFirmware("3.0.1", newLayout));
    rlimit was{};
    getrlimit(RLIMIT_FSIZE, &was);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = was;
    tiny.rlim_cur = 16;  // a write past 16 bytes fails, as on a full disk
    setrlimit(RLIMIT_FSIZE, &tiny);
    std::string said;
    try {
        ecu->flashFirmware(*hex);
    } catch (const EFlashError& e) {
        said = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &was);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(said.rfind("Cannot write the settings backup ", 0), 0u) << said;
    EXPECT_NE(said.find("nothing was sent to the ECU"), std::string::npos) << said;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path + "/backups"));
    EXPECT_EQ(joinedBytes(sim.transcript(), "rx").find("Mancb"), std::string::npos);
}

// Going online against a line that answers with noise ends within its bound with "no ECU", the
// link closed and the ECU untouched.
TEST_F(FaultMatrix, GoingOnlineAgainstNoiseEndsInTime) {
    TSimProcess sim(simPty({"--noise"}));
    buildWatched(sim);
    const long long t0 = steadyMs();
    EXPECT_FALSE(goOnline());
    EXPECT_LT(steadyMs() - t0, 1500);  // five unanswered waits of 100 ms, and the pauses
    ecu->setOnline(false);
    EXPECT_FALSE(ecu->isOnline());
    EXPECT_EQ(joinedBytes(sim.transcript(), "rx"), "") << "the ECU took something in";
}

}  // namespace
