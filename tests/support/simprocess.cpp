#include "support/simprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string makeTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/veltrace-sim-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    return pattern;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Starts argv with standard input from /dev/null, standard output into a pipe (its read end
// returned in `outFd`) and standard error into `errPath`.
pid_t spawn(const std::vector<std::string>& argv, int& outFd, const std::string& errPath) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    outFd = pipeFds[0];
    return pid;
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Waits for the child's end; true when it ended within the time.
bool waitFor(pid_t pid, int timeoutMs, int& status) {
    const int64_t end = nowMs() + timeoutMs;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;
        if (nowMs() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

std::vector<TSimLogLine> readSimTranscript(const std::string& path) {
    std::vector<TSimLogLine> out;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        TSimLogLine l;
        std::string payload;
        if (!(fields >> l.ms >> l.mode >> l.kind)) continue;
        std::getline(fields, payload);
        if (!payload.empty() && payload[0] == ' ') payload.erase(0, 1);
        if (l.kind == "ev") {
            l.text = payload;
        } else {
            const std::string hex = payload.substr(0, payload.find(' '));
            if (hex.size() % 2) continue;
            for (size_t i = 0; i < hex.size(); i += 2)
                l.bytes += static_cast<char>(hexValue(hex[i]) * 16 + hexValue(hex[i + 1]));
        }
        out.push_back(std::move(l));
    }
    return out;
}

std::string joinedBytes(const std::vector<TSimLogLine>& lines, const std::string& kind) {
    std::string out;
    for (const auto& l : lines)
        if (l.kind == kind) out += l.bytes;
    return out;
}

std::vector<std::string> simEvents(const std::vector<TSimLogLine>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.kind == "ev") out.push_back(l.text);
    return out;
}

std::string ecusimProgram() { return VELTRACE_ECUSIM_PATH; }

std::string makeSimFirmware(const std::string& dir, const std::string& version, const std::string& settingsText) {
    const std::string settings = dir + "/layout-" + version + ".txt";
    const std::string out = dir + "/fw-" + version + ".hex";
    std::ofstream(settings) << settingsText;
    const TProgramResult r =
        runProgram({ecusimProgram(), "make-firmware", "--version", version, "--settings", settings, "-o", out});
    if (r.exitCode != 0) throw std::runtime_error("make-firmware failed: " + r.err);
    return out;
}

TSimProcess::TSimProcess(TSimConfig cfg) : config(std::move(cfg)) {
    dir_ = makeTempDir();
    errPath = dir_ + "/stderr.txt";
    std::vector<std::string> argv{config.program.empty() ? ecusimProgram() : config.program};
    if (config.pty) argv.push_back("--pty");
    else argv.insert(argv.end(), {"--listen", "127.0.0.1:0"});
    if (config.log) {
        logPath_ = dir_ + "/transcript.log";
        argv.insert(argv.end(), {"--log", logPath_});
    }
    argv.insert(argv.end(), config.args.begin(), config.args.end());
    pid_ = spawn(argv, stdoutFd, errPath);
    std::string line;
    if (!pollLine(config.startTimeoutMs, line) || line.rfind("listening ", 0) != 0) {
        stop(SIGKILL, 2000);
        const std::string err = errorOutput();
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("the simulator did not start: " + (line.empty() ? err : line + "\n" + err));
    }
}

TSimProcess::~TSimProcess() {
    if (pid_ > 0) stop();
    if (stdoutFd >= 0) ::close(stdoutFd);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

bool TSimProcess::pollLine(int timeoutMs, std::string& line) {
    const int64_t end = nowMs() + timeoutMs;
    for (;;) {
        const size_t nl = outBuffer.find('\n');
        if (nl != std::string::npos) {
            line = outBuffer.substr(0, nl);
            outBuffer.erase(0, nl + 1);
            std::istringstream words(line);
            std::string listening, kind, where;
            int port = 0;
            if (words >> listening >> kind >> where && listening == "listening") {
                if (kind == "pty") ptyPath_ = where;
                if (kind == "tcp" && words >> port) {
                    host_ = where;
                    port_ = port;
                }
            }
            return true;
        }
        const int64_t left = end - nowMs();
        if (left <= 0 || stdoutFd < 0) return false;
        pollfd p{stdoutFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(stdoutFd, buf, sizeof buf);
        if (n <= 0) return false;  // the process closed its output
        outBuffer.append(buf, static_cast<size_t>(n));
    }
}

std::optional<std::string> TSimProcess::readLine(int timeoutMs) {
    std::string line;
    if (!pollLine(timeoutMs, line)) return std::nullopt;
    return line;
}

std::string TSimProcess::errorOutput() const { return readFile(errPath); }

bool TSimProcess::running() {
    if (pid_ <= 0) return false;
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        status = decodeStatus(st);
        pid_ = -1;
        return false;
    }
    return true;
}

int TSimProcess::stop(int signal, int timeoutMs) {
    if (pid_ <= 0) return status;
    ::kill(pid_, signal);
    int st = 0;
    if (waitFor(pid_, timeoutMs, st)) {
        status = decodeStatus(st);
    } else {
        ::kill(pid_, SIGKILL);
        waitFor(pid_, 5000, st);
        status = -1;
    }
    pid_ = -1;
    return status;
}

TProgramResult runProgram(const std::vector<std::string>& argv, int timeoutMs) {
    TProgramResult result;
    const std::string dir = makeTempDir();
    const std::string errPath = dir + "/stderr.txt";
    int outFd = -1;
    const pid_t pid = spawn(argv, outFd, errPath);
    const int64_t end = nowMs() + timeoutMs;
    char buf[4096];
    for (;;) {
        const int64_t left = end - nowMs();
        if (left <= 0) break;
        pollfd p{outFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        const ssize_t n = ::read(outFd, buf, sizeof buf);
        if (n <= 0) break;
        result.out.append(buf, static_cast<size_t>(n));
    }
    ::close(outFd);
    int st = 0;
    if (waitFor(pid, std::max<int64_t>(0, end - nowMs()), st)) {
        result.exitCode = decodeStatus(st);
    } else {
        ::kill(pid, SIGKILL);
        waitFor(pid, 5000, st);
    }
    result.err = readFile(errPath);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}
