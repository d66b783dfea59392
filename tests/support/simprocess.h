#pragma once
// Runs the simulated ECU (veltrace-ecusim) as a separate process for tests: starts it on a free
// loopback TCP port or on a pseudo-terminal, learns the port or the terminal's path from the
// line it prints, reads its transcript, and stops it again. Also runs any program once and
// collects its output (make-firmware, the command-line front).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One line of the simulator's transcript (--log): "<ms> <mode> <kind> <payload>".
struct TSimLogLine {
    int64_t ms = 0;
    std::string mode;   // command, outside, bootloader
    std::string kind;   // rx, tx, rx-lost, tx-lost, ev
    std::string bytes;  // rx/tx kinds: the bytes, decoded from the hex payload
    std::string text;   // ev: the event's words ("set 5 26 config15")
};

// Reads a transcript file; lines that do not parse are skipped.
std::vector<TSimLogLine> readSimTranscript(const std::string& path);
// All bytes of one kind, joined in order ("rx": everything the simulator took in).
std::string joinedBytes(const std::vector<TSimLogLine>& lines, const std::string& kind);
// The texts of all events, in order.
std::vector<std::string> simEvents(const std::vector<TSimLogLine>& lines);

struct TSimConfig {
    std::vector<std::string> args;  // the simulator's options (fault switches, --state ...)
    bool pty = false;               // a pseudo-terminal instead of TCP on 127.0.0.1:0
    bool log = true;                // write a transcript to a temporary file
    std::string program;            // empty: the simulator built with these tests
    int startTimeoutMs = 5000;
};

// The usual configurations: on a free loopback TCP port, or on a pseudo-terminal.
inline TSimConfig simTcp(std::vector<std::string> args = {}) {
    TSimConfig c;
    c.args = std::move(args);
    return c;
}
inline TSimConfig simPty(std::vector<std::string> args = {}) {
    TSimConfig c = simTcp(std::move(args));
    c.pty = true;
    return c;
}

class TChildProcess;

class TSimProcess {
public:
    // Starts the simulator and waits for its "listening" line. Throws std::runtime_error
    // when it does not start (the message holds what it printed on standard error).
    explicit TSimProcess(TSimConfig config = {});
    ~TSimProcess();  // stops it (SIGTERM, then SIGKILL after 5 s) and removes its temporary files
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    long long pid() const;  // -1 once it ended
    // TCP: the address and port it listens on.
    const std::string& host() const { return host_; }
    int port() const { return port_; }
    // Pseudo-terminal: the path of the terminal end (the latest one after a hang-up).
    const std::string& ptyPath() const { return ptyPath_; }
    // A directory of its own for the test's files; removed with the process object.
    const std::string& dir() const { return dir_; }
    const std::string& logPath() const { return logPath_; }
    std::vector<TSimLogLine> transcript() const { return readSimTranscript(logPath_); }
    // Waits until the transcript holds a line for which `pred` is true; false on time-out.
    template <class Pred>
    bool waitForLog(Pred pred, int timeoutMs = 3000) const;

    // The next line the simulator prints on standard output ("listening pty /dev/pts/7" after
    // a hang-up; the helper also takes up the new path); nothing on time-out.
    std::optional<std::string> readLine(int timeoutMs);
    // What it wrote on standard error so far.
    std::string errorOutput() const;

    bool running();
    // Sends the signal (as childprocess.h has it on Windows) and waits for the end: the exit
    // status, 128+N for death by signal N, or -1 when it had to be killed after `timeoutMs`.
    int stop(int signal = 15, int timeoutMs = 5000);

private:
    bool pollLine(int timeoutMs, std::string& line);

    TSimConfig config;
    std::unique_ptr<TChildProcess> child;
    std::string outBuffer;
    std::string host_;
    int port_ = 0;
    std::string ptyPath_;
    std::string dir_;
    std::string logPath_;
    std::string errPath;
    int status = -1;
};

// A program run to its end.
struct TProgramResult {
    int exitCode = -1;  // 128+N for death by signal N; -1 when killed after the time-out
    std::string out;
    std::string err;
};
TProgramResult runProgram(const std::vector<std::string>& argv, int timeoutMs = 10000);
// The simulator program built with these tests.
std::string ecusimProgram();
// Makes a firmware for the simulator in `dir` with `version` and the settings layout
// `settingsText` (name=value lines); the path of its HEX file. Throws std::runtime_error when
// make-firmware fails.
std::string makeSimFirmware(const std::string& dir, const std::string& version, const std::string& settingsText);

// ---- template ----

#include <chrono>
#include <thread>

template <class Pred>
bool TSimProcess::waitForLog(Pred pred, int timeoutMs) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (const auto& line : transcript())
            if (pred(line)) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
