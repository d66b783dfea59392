// The simulated ECU's command mode, the state outside it, its state file and its process
// behaviour, spoken to over loopback TCP by the test itself.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "support/simprocess.h"
#include "support/skips.h"
#include "wire.h"

namespace {

bool upperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The settings download as name → value, in line order; fails on a malformed line.
std::vector<std::pair<std::string, int>> settingsLines(const std::string& reply) {
    std::vector<std::pair<std::string, int>> out;
    size_t at = 0;
    while (at < reply.size()) {
        const size_t end = reply.find("\r\n", at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "the download ends in the middle of a line: " << reply.substr(at);
            break;
        }
        const std::string line = reply.substr(at, end - at);
        at = end + 2;
        const size_t eq = line.find('=');
        const bool good = eq != std::string::npos && eq + 3 == line.size() && upperHex(line[eq + 1]) &&
                          upperHex(line[eq + 2]) && line.find_first_of("\r\n") == std::string::npos;
        EXPECT_TRUE(good) << "line " << out.size() << ": " << line;
        if (good) out.emplace_back(line.substr(0, eq), std::stoi(line.substr(eq + 1), nullptr, 16));
    }
    return out;
}

// Whether a transcript line has the documented shape: <ms> <mode> <kind> <payload>.
bool wellFormed(const std::string& line) {
    std::istringstream in(line);
    std::string ms, mode, kind, payload;
    if (!(in >> ms >> mode >> kind)) return false;
    std::getline(in, payload);
    if (ms.find_first_not_of("0123456789") != std::string::npos) return false;
    if (mode != "command" && mode != "outside" && mode != "bootloader") return false;
    if (kind == "ev") return payload.size() > 1 && payload[0] == ' ';
    if (kind != "rx" && kind != "tx" && kind != "rx-lost" && kind != "tx-lost") return false;
    const size_t space = payload.find(' ', 1);
    if (payload.empty() || payload[0] != ' ' || space == std::string::npos) return false;
    const std::string hex = payload.substr(1, space - 1);
    const std::string quoted = payload.substr(space + 1);
    return !hex.empty() && hex.size() % 2 == 0 && std::all_of(hex.begin(), hex.end(), upperHex) &&
           quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"';
}

int valueOf(const std::vector<std::pair<std::string, int>>& lines, const std::string& name) {
    for (const auto& [n, v] : lines)
        if (n == name) return v;
    return -1;
}

std::string download(TWire& wire) {
    wire.send("mcd");
    return wire.readQuiet(150);
}

}  // namespace

TEST(EcusimProtocol, GreetsReportsTheVersionAndDownloadsARealisticTable) {
    TSimProcess sim;
    TWire wire = TWire::tcp(sim.port());
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(), "Hello>\r");
    wire.send("mdV");
    EXPECT_EQ(wire.readQuiet(), "VIVU v3\n1.0.22\n");

    const auto lines = settingsLines(download(wire));
    EXPECT_GE(lines.size(), 190u);
    EXPECT_LE(lines.size(), 256u);
    // Every name the hardware configuration editor looks up is there, once.
    const char* editorNames[] = {
        "lcd_c0", "lcd_backlight", "lcd_delay", "lcd_default_view", "lcd_offs[0]", "lcd_offs[1]", "lcd_offs[2]",
        "lcd_offs[3]", "wbo2_nernstdc_target", "config13", "ego_conf", "wbo2_warmup_ramp", "wbo2_warmup_target",
        "wbo2_abs_limit", "wbo2_limit_maxt", "wbo2_fallback", "wbo2_retry_t", "wbo2_edgetime_corr",
        "wbo2_edgetime_min", "wbo2_ri_target", "wbo2_pump_pw_zero", "wbo2_calibration", "wbo2_heater_pid_kp",
        "wbo2_heater_pid_ki", "wbo2_heater_pid_kd", "wbo2_heater_pid_ilimit", "wbo2_pump_pid_kp",
        "wbo2_pump_pid_ki", "wbo2_pump_pid_kd", "wbo2_pump_pid_ilimit", "wbo2_ri_confidence_scale",
        "fan_channel", "fan_temp", "fan_hyst"};
    for (const char* name : editorNames) {
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.first == name; }), 1) << name;
    }
    // The fan sits on a real output code and the wide-band sensor starts switched off.
    EXPECT_EQ(valueOf(lines, "fan_channel"), 1);
    EXPECT_EQ(valueOf(lines, "config13") & 2, 0);
    // After the last line the ECU stays silent.
    EXPECT_EQ(wire.readQuiet(300), "");
}

TEST(EcusimProtocol, WritesChangeTheTableAndOnlyStoredValuesSurviveARestart) {
    const std::string statePath = testing::TempDir() + "ecusim-state-" + std::to_string(::getpid());
    std::filesystem::remove(statePath);
    {
        TSimProcess sim(simTcp({"--state", statePath, "--store-ms", "100"}));
        TWire wire = TWire::tcp(sim.port());
        wire.send("Man");
        wire.readQuiet();
        const auto before = settingsLines(download(wire));
        wire.send("mttg00c1Amttg01cFF");  // two writes in one chunk
        wire.send("mcs");
        wire.readQuiet(250);     // the store takes its time, deaf meanwhile
        wire.send("mttg02cAB");  // written, never stored
        const auto after = settingsLines(download(wire));
        EXPECT_EQ(after[0].second, 0x1A);
        EXPECT_EQ(after[1].second, 0xFF);
        EXPECT_EQ(after[2].second, 0xAB);
        EXPECT_EQ(after[3], before[3]);
        EXPECT_EQ(sim.stop(), 0);
        const auto events = simEvents(sim.transcript());
        EXPECT_NE(std::find(events.begin(), events.end(), "set 0 26 " + before[0].first), events.end());
        EXPECT_NE(std::find(events.begin(), events.end(), "store"), events.end());
    }
    {
        TSimProcess sim(simTcp({"--state", statePath}));
        TWire wire = TWire::tcp(sim.port());
        const auto lines = settingsLines(download(wire));
        EXPECT_EQ(lines[0].second, 0x1A);
        EXPECT_EQ(lines[1].second, 0xFF);
        EXPECT_NE(lines[2].second, 0xAB) << "a value that was never stored came back after the restart";
    }
    std::filesystem::remove(statePath);
}

TEST(EcusimProtocol, InputThatIsNoCommandIsIgnored) {
    TSimProcess sim;
    TWire wire = TWire::tcp(sim.port());
    const auto before = settingsLines(download(wire));
    // Noise, lower-case digits, a write to a slot the table lacks, a cut-off command.
    for (const char* noise : {"xyz", "mttg00c1a", "mttgFFc12", "mtt"}) {
        wire.send(noise);
        EXPECT_EQ(wire.readQuiet(50), "") << noise;
    }
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(), "Hello>\r") << "noise must not stop the next command";
    EXPECT_EQ(settingsLines(download(wire)), before);
    const auto events = simEvents(sim.transcript());
    EXPECT_NE(std::find(events.begin(), events.end(), "ignored 78797A"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "set 255 18 ignored: no such slot"), events.end());
}

TEST(EcusimProtocol, AfterByeTheBytesAreTakenAsAnImportUntilManGreets) {
    TSimProcess sim;
    TWire wire = TWire::tcp(sim.port());
    wire.send("bye");
    EXPECT_EQ(wire.readQuiet(), "Bye\r");
    // Commands are file content out here: no answer.
    wire.send("fan_temp=90");
    wire.readQuiet(30);
    wire.send("mdV");
    EXPECT_EQ(wire.readQuiet(), "");
    wire.send("Man");
    EXPECT_EQ(wire.readQuiet(), "Hello>\r");
    wire.send("mdV");
    EXPECT_EQ(wire.readQuiet(), "VIVU v3\n1.0.22\n");

    const auto log = sim.transcript();
    std::string outside;
    for (const auto& l : log)
        if (l.kind == "rx" && l.mode == "outside") outside += l.bytes;
    EXPECT_EQ(outside, "fan_temp=90mdVMan");
    const auto events = simEvents(log);
    EXPECT_NE(std::find(events.begin(), events.end(), "import 14 bytes"), events.end());
}

TEST(EcusimProtocol, OutputTestsAreLogged) {
    TSimProcess sim;
    TWire wire = TWire::tcp(sim.port());
    wire.send("mde02");
    wire.send("mdhB2");
    wire.send("mdh32");
    wire.send("mde00");
    wire.send("mde05");
    EXPECT_EQ(wire.readQuiet(), "") << "output commands take no reply";
    const auto events = simEvents(sim.transcript());
    const std::vector<std::string> want{"output-test on", "output 50 on", "output 50 off", "output-test off",
                                        "output-test 05 ignored"};
    std::vector<std::string> got;
    for (const auto& e : events)
        if (e.rfind("output", 0) == 0) got.push_back(e);
    EXPECT_EQ(got, want);
}

TEST(EcusimProtocol, ServesOneClientAtATimeAndKeepsItsStateBetweenThem) {
    TSimProcess sim;
    auto first = std::make_unique<TWire>(TWire::tcp(sim.port()));
    first->send("mttg03c42");
    first->send("Man");
    EXPECT_EQ(first->readQuiet(), "Hello>\r");

    TWire second = TWire::tcp(sim.port());  // waits in the queue
    second.send("Man");
    EXPECT_EQ(second.readQuiet(200), "") << "a second client was served while the first was connected";
    first.reset();
    EXPECT_EQ(second.readUntil("Hello>\r"), "Hello>\r");
    const auto lines = settingsLines(download(second));
    EXPECT_EQ(lines[3].second, 0x42) << "the ECU forgot a value between two clients";
}

TEST(EcusimProtocol, StopsCleanlyOnSigtermAndSigint) {
    for (int sig : {SIGTERM, SIGINT}) {
        TSimProcess sim;
        TWire wire = TWire::tcp(sim.port());  // also while a client is connected
        wire.send("Man");
        wire.readQuiet(50);
        EXPECT_EQ(sim.stop(sig, 3000), 0) << "signal " << sig;
        EXPECT_TRUE(wire.closedWithin(1000));
    }
}

TEST(EcusimProtocol, TranscriptHasOneParsableLinePerChunk) {
    TSimProcess sim;
    TWire wire = TWire::tcp(sim.port());
    wire.send("Man");
    wire.readQuiet();
    wire.send("bye");
    wire.readQuiet();
    std::ifstream in(sim.logPath());
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(in, line)) lines.push_back(line);
    for (const auto& l : lines) EXPECT_TRUE(wellFormed(l)) << l;
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find(" command rx 4D616E \"Man\"") == l.find(' ');
    }));
    const auto log = sim.transcript();
    ASSERT_GE(log.size(), 5u);
    for (size_t i = 1; i < log.size(); ++i) EXPECT_GE(log[i].ms, log[i - 1].ms);
    EXPECT_EQ(joinedBytes(log, "rx"), "Manbye");
    EXPECT_EQ(joinedBytes(log, "tx"), "Hello>\rBye\r");
    // The goodbye's reply goes out once the ECU has left command mode.
    EXPECT_EQ(log.back().mode, "outside");
}

TEST(EcusimProcess, HelpExplainsEveryOptionAndBadUsageFails) {
    const auto help = runProgram({ecusimProgram(), "--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--listen", "--pty", "--pty-link", "--log", "--state", "--bootloader-only",
                               "--no-sync", "--refuse-block", "--silent-after", "--drop-after", "--settings-gap",
                               "--erase-ms", "--version", "--settings-lines", "--no-bye", "--pace", "make-firmware",
                               "--settings", "--size", "--no-descriptor", "default-settings"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    for (std::vector<std::string> bad : {std::vector<std::string>{"--bogus"}, {"--silent-after", "x"},
                                         {"--refuse-block", "3:0"}, {"--pty", "--listen", "127.0.0.1:0"},
                                         {"--listen", "127.0.0.1"}, {"--pace=1"}, {"make-firmware", "-o", "x.hex"}}) {
        bad.insert(bad.begin(), ecusimProgram());
        const auto r = runProgram(bad);
        EXPECT_EQ(r.exitCode, 2) << bad[1];
        EXPECT_NE(r.err.find("veltrace-ecusim:"), std::string::npos);
    }
}

TEST(EcusimProcess, WithoutPseudoTerminalsPtyIsAUsageError) {
#ifndef _WIN32
    GTEST_SKIP() << "this system has pseudo-terminals";
#endif
    const auto r = runProgram({ecusimProgram(), "--pty"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--listen HOST:PORT"), std::string::npos) << r.err;
}

TEST(EcusimProcess, APortInUseIsReportedAndTheStateFileIsChecked) {
    TSimProcess first;
    const auto r = runProgram({ecusimProgram(), "--listen", "127.0.0.1:" + std::to_string(first.port())}, 3000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot listen"), std::string::npos) << r.err;

    const std::string bad = first.dir() + "/bad-state";
    std::ofstream(bad) << "not a state file\n";
    const auto s = runProgram({ecusimProgram(), "--listen", "127.0.0.1:0", "--state", bad}, 3000);
    EXPECT_EQ(s.exitCode, 1);
    EXPECT_NE(s.err.find(bad), std::string::npos) << s.err;
}
