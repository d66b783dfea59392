// The real veltrace-cli against the simulated ECU, over TCP and over a pseudo-terminal: the wire
// as the simulator's transcript shows it, and what the process printed and its exit status.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "cliprocess.h"
#include "platform/files.h"
#include "support/simprocess.h"
#include "support/skips.h"
#include "support/tempdir.h"

namespace {

enum class TLinkKind2 { Tcp, Pty };

// The serial line, a pseudo-terminal, where the system has one; Windows has none, and the tests
// of what the CLI makes of any line take TCP there.
#ifdef _WIN32
constexpr TLinkKind2 lineKind = TLinkKind2::Tcp;
#else
constexpr TLinkKind2 lineKind = TLinkKind2::Pty;
#endif

TSimConfig simLine(std::vector<std::string> args = {}) {
    return lineKind == TLinkKind2::Pty ? simPty(std::move(args)) : simTcp(std::move(args));
}

// The folder of the backups under the test's home, as the CLI names it (on Windows below
// LOCALAPPDATA, which the test sets to the home's .local/share); a file in it follows a '/'.
#ifdef _WIN32
constexpr const char* backupsBelowHome = "/.local/share\\Harnwick\\Veltrace\\backups";
#else
constexpr const char* backupsBelowHome = "/.local/share/Harnwick/Veltrace/backups";
#endif

// The CLI's options for the simulator's line, followed by `args`.
std::vector<std::string> onLine(const TSimProcess& sim, const std::vector<std::string>& args) {
    std::vector<std::string> all;
    if (sim.ptyPath().empty()) all = {"--network", sim.host() + ":" + std::to_string(sim.port())};
    else all = {"--serial", sim.ptyPath()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The rest of the line that starts with `prefix`; empty when there is none.
std::string lineAfter(const std::string& text, const std::string& prefix) {
    const size_t at = text.find(prefix);
    if (at == std::string::npos) return {};
    const size_t from = at + prefix.size();
    return text.substr(from, text.find('\n', from) - from);
}

bool hasEvent(const std::vector<std::string>& events, const std::string& prefix) {
    return std::any_of(events.begin(), events.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
}

size_t countEvents(const std::vector<std::string>& events, const std::string& prefix) {
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
}

// The settings table as `settings` prints it, by name.
std::map<std::string, std::pair<int, int>> parseTable(const std::string& text) {
    std::map<std::string, std::pair<int, int>> table;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
        if (t1 == std::string::npos || t2 == std::string::npos) continue;
        table[line.substr(t1 + 1, t2 - t1 - 1)] = {std::stoi(line.substr(0, t1)), std::stoi(line.substr(t2 + 1))};
    }
    return table;
}

class CliEcu : public ::testing::Test {
protected:
    // Starts the simulated ECU on a link of this kind, with these extra options.
    void startSim(TLinkKind2 linkKind, std::vector<std::string> args = {}) {
        kind = linkKind;
        sim.reset();
        sim = std::make_unique<TSimProcess>(kind == TLinkKind2::Pty ? simPty(std::move(args)) : simTcp(std::move(args)));
    }
    std::vector<std::string> link() const {
        if (kind == TLinkKind2::Pty) return {"--serial", sim->ptyPath()};
        return {"--network", sim->host() + ":" + std::to_string(sim->port())};
    }
    TCliRun cli(std::vector<std::string> args, const TCliProcessOptions& o = {}) {
        std::vector<std::string> all = link();
        all.insert(all.end(), args.begin(), args.end());
        return runCliProcess(all, home.path, o);
    }
    std::vector<std::string> events() const { return simEvents(sim->transcript()); }
    std::string received() const { return joinedBytes(sim->transcript(), "rx"); }
    // A firmware image that runs VERSION with the settings layout TABLE (backup format).
    std::string makeFirmware(const std::string& version, const std::string& table) {
        const std::string settings = writeFile(files.path + "/layout-" + version + ".txt", table);
        const std::string out = files.path + "/fw-" + version + ".hex";
        const TProgramResult r = runProgram({ecusimProgram(), "make-firmware", "--version", version, "--settings",
                                             settings, "-o", out});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return out;
    }
    std::string defaultTable() {
        const TProgramResult r = runProgram({ecusimProgram(), "default-settings"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }

    // info, settings, set --store and restore, each checked on the wire. `readBack`: read the
    // table again after each change and restore it (more runs: quick on the pty only).
    void infoSettingsSetRestore(bool readBack);
    void importFile();
    // A layout change: lcd_delay dropped, vvt_target new, fan_temp moved to slot 250. Then the
    // backup written before the flash is restored. Returns the flash run.
    TCliRun flashAndRestoreBackup(bool readBack);

    TLinkKind2 kind = TLinkKind2::Tcp;
    TTempDir home;
    TTempDir files;
    std::unique_ptr<TSimProcess> sim;
};

void CliEcu::infoSettingsSetRestore(bool readBack) {
    auto r = cli({"info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Firmware v.1.0.22\n");
    std::string wire = received();
    EXPECT_EQ(wire.substr(0, 3), "Man");
    EXPECT_TRUE(contains(wire, "mdVmcd")) << wire;
    EXPECT_EQ(wire.substr(wire.size() - 3), "bye");  // the goodbye ends the session
    EXPECT_TRUE(contains(r.err, "Connected...")) << r.err;

    r = cli({"settings"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto before = parseTable(r.out);
    ASSERT_TRUE(before.count("fan_temp"));
    EXPECT_EQ(before.at("fan_temp").second, 95);
    EXPECT_GT(before.size(), 100u);
    const std::string backup = writeFile(files.path + "/backup.txt", r.out + "255\tgone_setting\t7\n");

    r = cli({"set", "fan_temp", "101", "--store"});
    ASSERT_EQ(r.status, 0) << r.err;
    const int slot = before.at("fan_temp").first;
    char command[16];
    std::snprintf(command, sizeof command, "mttg%02Xc65mcs", slot);
    EXPECT_TRUE(contains(received(), command)) << command;
    EXPECT_TRUE(hasEvent(events(), "set " + std::to_string(slot) + " 101 fan_temp"));
    if (readBack) {
        r = cli({"settings"});
        EXPECT_EQ(parseTable(r.out).at("fan_temp").second, 101);  // stored in the ECU, read back
        r = cli({"set", "no_such_setting", "1"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, "has no setting named no_such_setting")) << r.err;
    }

    if (!readBack) return;  // restore over TCP: after the flash
    const size_t storesBefore = countEvents(events(), "store");
    r = cli({"restore", backup});
    ASSERT_EQ(r.status, 0) << r.err;
    // Only fan_temp differs from the backup now: the rest is not written again.
    EXPECT_EQ(r.out, "Restored " + std::to_string(before.size()) + " settings from " + backup + " (" +
                         std::to_string(before.size() - 1) +
                         " already held the file's value)\nNot in this ECU's table: gone_setting\n");
    EXPECT_TRUE(hasEvent(events(), "set " + std::to_string(slot) + " 95 fan_temp"));
    EXPECT_EQ(countEvents(events(), "store"), storesBefore + 1);
    r = cli({"settings"});
    EXPECT_EQ(parseTable(r.out), before);
}

void CliEcu::importFile() {
    const std::string mtt = writeFile(files.path + "/table.mtt", "t 1 2 3\r\nt 4 5 6\r\n\r\nend\r\n");
    auto r = cli({"import", mtt});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Imported " + mtt + "\n");
    std::string outside;
    for (const auto& line : sim->transcript())
        if (line.mode == "outside" && line.kind == "rx") outside += line.bytes;
    // The lines without their ends, then the greeting that brings the ECU back.
    EXPECT_EQ(outside.substr(0, 17), "t 1 2 3t 4 5 6end");
    EXPECT_TRUE(hasEvent(events(), "import ")) << ::testing::PrintToString(events());
}

TCliRun CliEcu::flashAndRestoreBackup(bool readBack) {
    std::string table;
    std::istringstream in(defaultTable());
    std::string line;
    while (std::getline(in, line))
        if (!contains(line, "\tlcd_delay\t") && !contains(line, "\tfan_temp\t")) table += line + "\n";
    table += "240\tvvt_target\t77\n250\tfan_temp\t80\n";
    const std::string fw = makeFirmware("1.1.0", table);
    if (readBack) {
        EXPECT_EQ(cli({"set", "lcd_delay", "33"}).status, 0);
        EXPECT_EQ(cli({"set", "fan_temp", "99"}).status, 0);
    }

    // A malformed image is refused before the ECU is touched.
    const std::string bad = writeFile(files.path + "/bad.hex", readFile(fw).substr(0, 40));
    const size_t connects = countEvents(events(), "connect");
    auto r = cli({"flash", bad, "--yes"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "Unable to read firmware image! " + bad)) << r.err;
    EXPECT_EQ(countEvents(events(), "connect"), connects);

    const TCliRun flashed = cli({"flash", fw, "--yes"});
    r = flashed;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Firmware updated: Firmware v.1.1.0\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "New in this firmware (firmware's value kept): vvt_target\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "No longer in this firmware: lcd_delay\n")) << r.out;
    EXPECT_TRUE(contains(r.out, " settings; 1 new, 1 no longer")) << r.out;
    const std::string backup = lineAfter(r.out, "Settings backed up to ");
    EXPECT_EQ(backup.rfind(home.path + backupsBelowHome + folderSeparator, 0), 0u) << backup;
    EXPECT_TRUE(contains(readFile(backup), readBack ? "\tlcd_delay\t33\n" : "\tlcd_delay\t10\n"));
    EXPECT_TRUE(contains(r.out, "Report written to ")) << r.out;
    // Standard error is no terminal here: the progress shows its milestones only, one
    // "Programming block" line for the 32 (and one more after a refused block).
    EXPECT_TRUE(contains(r.err, "Programming block 1 of 32\n")) << r.err;
    size_t runs = 0;
    for (size_t at = r.err.find("Programming block"); at != std::string::npos; at = r.err.find("Programming block", at + 1))
        ++runs;
    EXPECT_LE(runs, 2u) << r.err;
    EXPECT_FALSE(contains(r.err, "%")) << r.err;
    EXPECT_TRUE(hasEvent(events(), "firmware 1.1.0"));

    if (readBack) {
        r = cli({"settings"});
        const auto after = parseTable(r.out);
        EXPECT_EQ(after.at("fan_temp"), std::make_pair(250, 99));  // moved, with the operator's value
        EXPECT_EQ(after.at("vvt_target"), std::make_pair(240, 77));
        EXPECT_FALSE(after.count("lcd_delay"));
        EXPECT_EQ(cli({"set", "fan_temp", "10"}).status, 0);
    }
    // The backup written before the flash goes back into the new firmware by name.
    r = cli({"restore", backup});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Not in this ECU's table: lcd_delay\n")) << r.out;
    EXPECT_TRUE(hasEvent(events(), std::string("set 250 ") + (readBack ? "99" : "95") + " fan_temp"));
    if (readBack) {
        EXPECT_EQ(cli({"info"}).out, "Firmware v.1.1.0\n");
    }
    return flashed;
}

// Over TCP every connect waits out the network link's 2.5 s read time-out at the end of the
// settings download, so the TCP tests run each command once (restore after the flash) and read
// nothing back.
// Downloads disturbed as a timing-fault run found them: each command either gets the ECU's
// own table (the listing, the slot it writes, what it restores) or fails with exit 1 and a
// message; never success with other data.
TEST_F(CliEcu, DisturbedDownloadsNeverPassForTheTable) {
    const auto truth = parseTable(defaultTable());
    struct Row {
        const char* fault;
        TLinkKind2 link;
        std::vector<std::string> args;
    };
    const Row rows[] = {
        {"a pause inside the download", TLinkKind2::Pty, {"--settings-pause", "100:300"}},
        {"a pause inside the download", TLinkKind2::Tcp, {"--settings-pause", "100:3000"}},
        {"a line ended by LF alone", TLinkKind2::Pty, {"--line-end", "5:\\n"}},
        {"an extra version line", TLinkKind2::Tcp, {"--version-reply", "VIVU v3\\n1.0.22\\nbuild 7\\n"}},
    };
    const std::string backup = writeFile(files.path + "/one.txt", "200\tfan_temp\t101\n");
    for (const Row& row : rows) {
        if (row.link == TLinkKind2::Pty && lineKind != TLinkKind2::Pty) continue;
        SCOPED_TRACE(std::string(row.fault) + (row.link == TLinkKind2::Pty ? " (pty)" : " (tcp)"));
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"settings"}, {"set", "fan_temp", "99", "--store"}, {"restore", backup}}) {
            startSim(row.link, row.args);
            const auto r = cli(command);
            const auto written = events();
            if (r.status != 0) {
                EXPECT_EQ(r.status, 1) << r.err;
                continue;
            }
            if (command[0] == "settings") {
                EXPECT_EQ(parseTable(r.out), truth);
            }
            // A write that reported success went to the slot of that name.
            const std::string expected = "set " + std::to_string(truth.at("fan_temp").first) + " " +
                                         (command[0] == "set" ? "99" : "101") + " fan_temp";
            for (const auto& e : written) {
                if (e.rfind("set ", 0) == 0) {
                    EXPECT_EQ(e, expected);
                }
            }
        }
    }
}

// Settings files compared with each other and with the ECU; a dry run writes nothing and a
// restore writes only what differs.
TEST_F(CliEcu, DiffDryRunAndARestoreOfOnlyWhatDiffers) {
    const std::string table = defaultTable();
    const auto fanSlot = parseTable(table).at("fan_temp").first;
    std::string changed = table;
    changed.replace(changed.find("\tfan_temp\t95\n"), 13, "\tfan_temp\t90\n");
    changed.erase(changed.find(std::to_string(parseTable(table).at("lcd_c0").first) + "\tlcd_c0\t40\n"),
                  std::to_string(parseTable(table).at("lcd_c0").first).size() + 11);
    changed += "250\textra\t7\n";
    const std::string same = writeFile(files.path + "/same.txt", table);
    const std::string other = writeFile(files.path + "/changed.txt", changed);
    const std::string damaged = writeFile(files.path + "/damaged.txt", "1\tname\n");
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Row files2[] = {
        {{"diff", same, same}, 0, ""},
        {{"diff", same, other}, 4, "extra\t-\t7\nfan_temp\t95\t90\nlcd_c0\t40\t-\n"},
        {{"--quiet", "diff", same, other}, 4, ""},
        {{"diff", same, damaged}, 3, ""},
    };
    for (const Row& row : files2) {
        const auto r = runCliProcess(row.args, home.path);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.out, row.out);
    }
    startSim(lineKind);
    const Row online[] = {
        {{"diff", other}, 4, "extra\t7\t-\nfan_temp\t90\t95\nlcd_c0\t-\t40\n"},
        {{"restore", other, "--dry-run"}, 4, "fan_temp\t90\t95\n"},
    };
    for (const Row& row : online) {
        const auto r = cli(row.args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.out, row.out);
    }
    EXPECT_FALSE(hasEvent(events(), "set ")) << "a dry run wrote";
    EXPECT_FALSE(hasEvent(events(), "store"));
    const auto r = cli({"restore", other});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countEvents(events(), "set "), 1u);
    EXPECT_TRUE(hasEvent(events(), "set " + std::to_string(fanSlot) + " 90 fan_temp"));
}

TEST_F(CliEcu, TcpInfoSettingsSetAndRestore) {
    startSim(TLinkKind2::Tcp);
    infoSettingsSetRestore(false);
}

TEST_F(CliEcu, TcpImportFlashAndRestoreTheBackup) {
    startSim(TLinkKind2::Tcp);
    importFile();
    flashAndRestoreBackup(false);
}

TEST_F(CliEcu, PtyInfoSettingsSetAndRestore) {
    VELTRACE_SKIP_ON_WINDOWS("pseudo-terminals (the TCP twin runs)");
    startSim(TLinkKind2::Pty);
    infoSettingsSetRestore(true);
}

TEST_F(CliEcu, PtyImport) {
    VELTRACE_SKIP_ON_WINDOWS("pseudo-terminals (the TCP twin runs)");
    startSim(TLinkKind2::Pty);
    importFile();
}

// The values of a simulator state file by slot.
std::map<int, int> stateBySlot(const std::string& path) {
    std::map<int, int> values;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        const size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
        if (line.empty() || line[0] == '#' || line.rfind("version", 0) == 0 || t2 == std::string::npos) continue;
        values[std::stoi(line.substr(0, t1))] = std::stoi(line.substr(t2 + 1));
    }
    return values;
}

// A name held twice moves with the layout by its order; a slot without a name is backed up and
// its change reported; a name held twice cannot be set by name.
TEST_F(CliEcu, RepeatedAndMissingNamesThroughAFlashAndARestore) {
    const std::string state = writeFile(files.path + "/state", "version\t1.0.0\n0\ta\t1\n1\tTrim\t10\n2\tb\t2\n"
                                                               "3\tTrim\t20\n4\t\t7\n");
    startSim(lineKind, {"--state", state});
    const std::string fw = makeFirmware("2.0.0", "a=0\nnew=5\nTrim=0\nb=0\nTrim=0\n");
    auto r = cli({"flash", fw, "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Carried over 4 settings; 1 new, 0 no longer")) << r.out;
    EXPECT_TRUE(contains(r.out, "Unnamed slots the flash changed: slot 4: 7 -> 20\n")) << r.out;
    EXPECT_EQ(stateBySlot(state), (std::map<int, int>{{0, 1}, {1, 5}, {2, 10}, {3, 2}, {4, 20}}));
    const std::string backup = lineAfter(r.out, "Settings backed up to ");
    EXPECT_TRUE(contains(readFile(backup), "3\tTrim\t20\n4\t\t7\n"));

    r = cli({"set", "Trim", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "holds Trim in 2 slots (2 and 4): give the slot with --slot")) << r.err;
    ASSERT_EQ(cli({"set", "--slot", "2", "50"}).status, 0);
    ASSERT_EQ(cli({"set", "--slot", "4", "60", "--store"}).status, 0);
    r = cli({"restore", backup});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Restored 4 settings from " + backup + " (2 already held the file's value)\nNot in this ECU's table: unnamed slot 4\n");
    EXPECT_EQ(stateBySlot(state)[2], 10);
    EXPECT_EQ(stateBySlot(state)[4], 20);
}

// Lines past the table's 256 slots are counted where they are dropped.
TEST_F(CliEcu, LinesPastTheTableAreCounted) {
    startSim(lineKind, {"--settings-lines", "300"});
    auto r = cli({"settings"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "The ECU sent 300 settings lines; the table holds 256: 44 lines were dropped")) << r.err;
    r = cli({"flash", makeFirmware("2.0.0", "a=1\n"), "--yes"});
    EXPECT_TRUE(contains(r.err, "the last 44 are neither backed up nor carried over by this flash")) << r.err;
    EXPECT_TRUE(contains(r.out, "The old firmware sent 44 settings lines past the table's 256 slots")) << r.out;
}

// With a block refused once on the way: it is sent again from its address after the pause.
TEST_F(CliEcu, PtyFlashWithARefusedBlockAndRestoreTheBackup) {
    VELTRACE_SKIP_ON_WINDOWS("pseudo-terminals");
    startSim(TLinkKind2::Pty, {"--refuse-block", "1:1"});
    const TCliRun r = flashAndRestoreBackup(true);
    EXPECT_TRUE(contains(r.err, "ECU Checksum Error!?")) << r.err;
    const auto ev = events();
    EXPECT_TRUE(hasEvent(ev, "block 1 at 128 refused"));
    EXPECT_TRUE(hasEvent(ev, "block 1 at 128 written"));
    EXPECT_EQ(std::count(ev.begin(), ev.end(), "address 128"), 2);
    EXPECT_EQ(std::count(ev.begin(), ev.end(), "address 256"), 1);
}

TEST_F(CliEcu, ABootloaderOnlyEcuIsFlashedAllTheSame) {
    startSim(lineKind, {"--bootloader-only"});
    auto r = cli({"info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Bootloader only\n");
    r = cli({"settings"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "answered only through its bootloader")) << r.err;
    // Nothing but the handshake went to the bootloader: no goodbye, whose "e" would erase.
    EXPECT_FALSE(hasEvent(events(), "erase"));

    const std::string fw = makeFirmware("2.0.1", "0\tconfig10\t3\n1\tfan_temp\t90\n");
    r = cli({"flash", fw, "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Firmware updated: Firmware v.2.0.1\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "Carried over 0 settings; 2 new, 0 no longer")) << r.out;
    // Nothing was read, so nothing was backed up: an empty backup would be the newest one.
    EXPECT_TRUE(contains(r.out, "No settings backup: the ECU answered only through its bootloader")) << r.out;
    EXPECT_FALSE(std::filesystem::exists(home.path + backupsBelowHome));
    r = cli({"settings"});
    EXPECT_EQ(r.out, "0\tconfig10\t3\n1\tfan_temp\t90\n");
}

// Faults and link choices, on the pseudo-terminal, where the serial link's short time-outs
// keep them quick (over TCP on Windows).
class CliEcuFaults : public ::testing::Test {
protected:
    TCliRun cli(TSimProcess& sim, std::vector<std::string> args) {
        return runCliProcess(onLine(sim, args), home.path);
    }
    void storePreferences(const std::string& text) {
        std::filesystem::create_directories(home.path + "/.config/Harnwick");
        writeFile(home.path + "/.config/Harnwick/Veltrace.conf", text);
    }
    std::string firmware() {
        const std::string out = files.path + "/fw.hex";
        const TProgramResult r =
            runProgram({ecusimProgram(), "make-firmware", "--version", "1.0.23", "-o", out});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return out;
    }
    TTempDir home;
    TTempDir files;
};

// Ctrl-C while the flash is erased would leave the ECU without a firmware: two are answered
// with a warning that counts down, and the flash goes on to its end.
TEST_F(CliEcuFaults, InterruptsDuringAFlashAreCountedDownAndTheFlashEnds) {
    TSimProcess sim(simLine({"--erase-ms", "1000"}));
    TCliProcessOptions options;
    options.interruptAfter = "Erasing flash";
    options.interruptAnswer = "to stop all the same.";
    options.interrupts = 2;
    const TCliRun r = runCliProcess(onLine(sim, {"flash", firmware(), "--yes"}), home.path, options);
    EXPECT_EQ(r.status, 0) << r.err;
    const size_t twice = r.err.find("Interrupt twice more to stop all the same.\n");
    const size_t once = r.err.find("Interrupt once more to stop all the same.\n");
    EXPECT_NE(twice, std::string::npos) << r.err;
    EXPECT_NE(once, std::string::npos) << r.err;
    EXPECT_LT(twice, once) << r.err;
    EXPECT_TRUE(contains(r.out, "Firmware updated: Firmware v.1.0.23\n")) << r.out;
}

// Ctrl-\ is held as Ctrl-C is, and the terminal closing mid-flash (an ssh session that ends)
// stops nothing: the flash runs to its end, and its outcome lies next to the backup, as it does
// when the flash fails after it.
TEST_F(CliEcuFaults, AFlashOutlivesItsTerminalAndLeavesItsOutcomeNextToTheBackup) {
#ifdef _WIN32
    GTEST_SKIP() << "not on Windows: a terminal to hang up, Ctrl-\\";
#else
    for (const bool fails : {false, true}) {
        TTempDir caseHome;
        TSimProcess sim(simPty(fails ? std::vector<std::string>{"--erase-ms", "1000", "--drop-after", "3000"}
                                     : std::vector<std::string>{"--erase-ms", "1000"}));
        TCliProcessOptions options;
        options.hangUpAfter = options.interruptAfter = "Erasing flash";
        options.interrupts = 1;
        options.interruptSignal = SIGQUIT;
        const TCliRun r = runCliProcess({"--serial", sim.ptyPath(), "flash", firmware(), "--yes"}, caseHome.path, options);
        EXPECT_EQ(r.status, fails ? 1 : 0) << r.err;
        std::string backup, outcome;  // the folder holds these two
        for (const auto& entry : std::filesystem::directory_iterator(caseHome.path + "/.local/share/Harnwick/Veltrace/backups"))
            if (entry.path().string().ends_with(fails ? "-failed.txt" : "-carryover.txt")) outcome = readFile(entry.path());
            else backup = entry.path().string();
        EXPECT_TRUE(contains(outcome, fails ? "Firmware update failed: " : "Carried over ")) << outcome;
        EXPECT_TRUE(contains(outcome, "Backup of the settings before the flash: " + backup + "\n")) << outcome;
    }
#endif
}

// A carry-over report that cannot be written is said, with the reason; the flash went through.
TEST_F(CliEcuFaults, AReportThatCannotBeWrittenIsSaid) {
    TSimProcess sim(simLine());
    const std::string folder = home.path + backupsBelowHome;
    TCliProcessOptions options;
    options.actAfter = "Erasing flash";
    options.act = [&] { std::filesystem::rename(folder, folder + ".moved"); };
    const TCliRun r = runCliProcess(onLine(sim, {"flash", firmware(), "--yes"}), home.path, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "veltrace-cli: the firmware and the settings are in place, but the carry-over report "
                                "could not be written to " + folder + folderSeparator + "settings-"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "-carryover.txt: No such file or directory\n")) << r.err;
}

TEST_F(CliEcuFaults, AnEcuThatNeverSynchronises) {
    TSimProcess sim(simLine({"--no-sync"}));
    const auto r = cli(sim, {"flash", firmware(), "--yes"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Error syncing ECU")) << r.err;
    // The tool ends right after its last "p", without a reply to wait for: give the simulator
    // a moment to log it.
    std::string wire;
    for (int tries = 0; tries < 100; ++tries) {
        wire = joinedBytes(sim.transcript(), "rx");
        if (std::count(wire.begin(), wire.end(), 'p') >= 7) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    wire = joinedBytes(sim.transcript(), "rx");
    const size_t entry = wire.find("Mancb67cb");
    ASSERT_NE(entry, std::string::npos) << wire;
    // Seven "p", and then nothing more: no goodbye into the bootloader, whose erase command
    // is the "e" of "bye".
    EXPECT_EQ(wire.substr(entry + 9), "ppppppp") << readFile(sim.logPath());
    EXPECT_FALSE(hasEvent(simEvents(sim.transcript()), "erase"));
}

TEST_F(CliEcuFaults, AnEcuThatDoesNotAnswerOrAnswersNonsense) {
    VELTRACE_SKIP_ON_WINDOWS("the serial link's words for a silent ECU name the pseudo-terminal");
    {
        TSimProcess sim(simPty({"--silent-after", "0"}));
        const auto r = cli(sim, {"info"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, "Unable to establish communications with ECU. (" + sim.ptyPath())) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    {
        // A version that is not three numbers no longer locks the ECU out: it shows as it came.
        TSimProcess sim(simPty({"--version", "v1-beta"}));
        auto r = cli(sim, {"info"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Firmware v.v1-beta\n");
        r = cli(sim, {"flash", firmware(), "--yes"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(contains(r.out, "Firmware updated: Firmware v.1.0.23\n")) << r.out;
    }
    {
        // A download that brings nothing is no empty table: `settings > backup.txt` would
        // write an empty backup.
        TSimProcess sim(simPty({"--settings-lines", "0"}));
        const auto r = cli(sim, {"settings"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.empty());
        EXPECT_TRUE(contains(r.err, "veltrace-cli: The ECU at " + sim.ptyPath() + " at 9600 bit/s sent no settings"))
            << r.err;
    }
    {
        // The link gone during the download: nothing printed, no exit 0.
        TSimProcess sim(simPty({"--drop-after", "9"}));
        const auto r = cli(sim, {"settings"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.empty());
        EXPECT_TRUE(contains(r.err, "Lost connection with ECU during the settings download")) << r.err;
    }
}

// Writes await no reply: a link cut under them made "the ECU stored its settings" and "Restored
// 219 settings" while the ECU got a fraction. The table is read back, a gone link reported.
TEST_F(CliEcuFaults, WritesOntoALinkThatWentFailTheCommand) {
    TTempDir dir;
    const std::string backup = writeFile(dir.path + "/b.txt", "# kept for the track day\n0\tconfig10\t3\n3\tconfig13\t1\n");
    // The line is cut after "Man", "mdV", "mcd" and the first write (9 bytes each); whether the
    // tool finds that at its next write or when it reads the table back depends on timing.
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case& c : std::vector<Case>{
             {{"set", "fan_temp", "101", "--store"}, "veltrace-cli: Lost connection with ECU "},
             {{"restore", backup}, "veltrace-cli: Restoring " + backup + " failed: Lost connection with ECU "},
         }) {
        TSimProcess sim(simLine({"--drop-after", "18"}));
        const auto r = cli(sim, c.args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_TRUE(contains(r.err, c.says)) << r.err;
        EXPECT_FALSE(hasEvent(simEvents(sim.transcript()), "store"));
    }
    TSimProcess sim(simLine());
    const auto r = cli(sim, {"restore", backup});  // the comment is passed over
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Restored 2 settings from " + backup + "\n");
}

TEST_F(CliEcuFaults, TheEchoShowsTheTrafficAsTheDebugLogWould) {
    TSimProcess sim(simLine());
    const auto r = cli(sim, {"--echo", "info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Firmware v.1.0.22\n");
    // Sent and received marked, each on lines of their own; the output starts on its own line.
    EXPECT_TRUE(contains(r.err, "> Man\nExpect: Hello>\n< Hello>\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "\n< fan_temp=5F\n")) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
}

TEST_F(CliEcuFaults, WithoutALinkOptionTheStoredPreferencesChoose) {
    VELTRACE_SKIP_ON_WINDOWS("the preference store and the serial port list's pseudo-terminal");
    TSimProcess sim(simPty());
    // A serial link stored at 57600 bit/s: the handshake runs at 9600, then "mcB" + 10 takes
    // the ECU and the link to the stored rate, as in the app.
    storePreferences("[General]\ncom.Type=serial\ncomm.comport=1\ncomm.baudrate=57600\n");
    TCliProcessOptions o;
    o.env["VELTRACE_SERIAL_PORTS"] = sim.ptyPath();
    auto r = runCliProcess({"info"}, home.path, o);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Firmware v.1.0.22\n");
    const std::string wire = joinedBytes(sim.transcript(), "rx");
    EXPECT_TRUE(contains(wire, "mdVmcB10mcd")) << wire;
    EXPECT_TRUE(hasEvent(simEvents(sim.transcript()), "rate 57600"));

    // --baud alone changes the stored serial link's rate; for a stored network link it is bad usage.
    r = runCliProcess({"--baud", "9600", "info"}, home.path, o);
    ASSERT_EQ(r.status, 0) << r.err;
    // A stored rate the ECU does not know is warned of only when no option replaces it.
    storePreferences("[General]\ncom.Type=serial\ncomm.comport=1\ncomm.baudrate=12345\n");
    for (const auto& [args, warned] : std::vector<std::pair<std::vector<std::string>, bool>>{
             {{"info"}, true}, {{"--baud", "9600", "info"}, false}, {{"--serial", "1", "info"}, false}}) {
        r = runCliProcess(args, home.path, o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(contains(r.err, "The stored bit rate 12345"), warned) << args[0] << ": " << r.err;
    }
    storePreferences("[General]\ncom.Type=network\n");
    r = runCliProcess({"--baud", "9600", "info"}, home.path, o);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "--baud applies to the serial link only")) << r.err;
}

}  // namespace
