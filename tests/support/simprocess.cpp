#include "support/simprocess.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/childprocess.h"

namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string makeTempDir() {
    static std::mt19937_64 random{std::random_device{}()};
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto dir = base / ("veltrace-sim-" + std::to_string(random() % 1000000000));
        std::error_code ec;
        if (std::filesystem::create_directory(dir, ec)) return dir.string();
    }
    throw std::runtime_error("cannot make a temporary folder in " + base.string());
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
    child = std::make_unique<TChildProcess>(argv, errPath);
    std::string line;
    if (!pollLine(config.startTimeoutMs, line) || line.rfind("listening ", 0) != 0) {
        stop(childSigKill, 2000);
        const std::string err = errorOutput();
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("the simulator did not start: " + (line.empty() ? err : line + "\n" + err));
    }
}

TSimProcess::~TSimProcess() {
    if (child) stop();
    child.reset();
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
        if (left <= 0 || !child) return false;
        if (child->readOutput(outBuffer, static_cast<int>(left)) < 0) return false;  // the process closed its output
    }
}

std::optional<std::string> TSimProcess::readLine(int timeoutMs) {
    std::string line;
    if (!pollLine(timeoutMs, line)) return std::nullopt;
    return line;
}

long long TSimProcess::pid() const { return child ? child->id() : -1; }

std::string TSimProcess::errorOutput() const { return readFile(errPath); }

bool TSimProcess::running() {
    if (!child || child->running()) return child != nullptr;
    status = child->exitStatus();
    child.reset();
    return false;
}

int TSimProcess::stop(int signal, int timeoutMs) {
    if (!child) return status;
    child->signal(signal);
    if (child->waitEnd(timeoutMs)) {
        status = child->exitStatus();
    } else {
        child->signal(childSigKill);
        child->waitEnd(5000);
        status = -1;
    }
    child.reset();
    return status;
}

TProgramResult runProgram(const std::vector<std::string>& argv, int timeoutMs) {
    TProgramResult result;
    const std::string dir = makeTempDir();
    const std::string errPath = dir + "/stderr.txt";
    {
        TChildProcess program(argv, errPath);
        const int64_t end = nowMs() + timeoutMs;
        for (;;) {
            const int64_t left = end - nowMs();
            if (left <= 0 || program.readOutput(result.out, static_cast<int>(left)) < 0) break;
        }
        if (program.waitEnd(static_cast<int>(std::max<int64_t>(0, end - nowMs())))) {
            result.exitCode = program.exitStatus();
        } else {
            program.signal(childSigKill);
            program.waitEnd(5000);
        }
    }
    result.err = readFile(errPath);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}
