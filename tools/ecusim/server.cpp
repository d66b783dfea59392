#include "server.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <deque>

#include "linetimer.h"
#include "transport.h"

namespace ecusim {

namespace {

constexpr size_t readChunkBytes = 4096;
// How long a reply may wait for a tool that does not read before the rest of it is lost, as
// bytes on a line that nobody takes.
constexpr int writeStallMs = 2000;
// How often the rate of the tool's end of a pseudo-terminal is looked at while the line is
// quiet; bytes that arrive are judged by the rate seen last before them, or the present one.
constexpr int toolRateSampleMs = 10;
// With --pace, the bytes of a run on the line are handed on at least this often: a byte reaches
// the ECU or the tool at most this late after it crossed, the last byte of a run on time.
constexpr int64_t paceBatchNs = 1000000;
constexpr int64_t nsPerMs = 1000000;

// --noise: what a line answers that carries nothing the ECU understands, 8 bytes for each
// byte received. Never a text the tool awaits: no CR, no LF, no letters.
std::string noiseFor(const std::string& received) {
    constexpr int bytesPerByte = 8;
    std::string out;
    for (unsigned char c : received)
        for (int i = 0; i < bytesPerByte; ++i) out += static_cast<char>(0x80 | ((c * 31 + i * 17) & 0x7F));
    return out;
}

void announce(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int64_t msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TServer::TServer(const TSimOptions& options, TEcuMachine& machine, TTranscript& log, TSysFd stopFd,
                 std::chrono::steady_clock::time_point start)
    : options(options), machine(machine), log(log), stopFd(stopFd), start(start) {
    // A paced line wakes up for bytes a fraction of a millisecond apart.
    if (options.pace) askPreciseTimers();
}

int64_t TServer::nowMs() const { return msSince(start); }

int64_t TServer::nowNs() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
}

bool TServer::stopRequested() const {
    const int ready = waitLine(-1, false, stopFd, 0);
    return ready > 0 && (ready & stopReady);
}

const char* TServer::endText(TEnd end) {
    switch (end) {
    case TEnd::Closed: return "closed by the client";
    case TEnd::Dropped: return "dropped (--drop-after)";
    case TEnd::Stopped: return "simulator stopped";
    case TEnd::Failed: return "line failed";
    }
    return "?";
}

void TServer::serveTcp() {
    const auto [host, port] = splitHostPort(options.listen);
    TTcpListener listener(host, port);
    announce("listening tcp " + listener.host() + " " + std::to_string(listener.port()));
    std::fprintf(stderr, "veltrace-ecusim: serving on TCP %s port %d\n", listener.host().c_str(), listener.port());
    for (;;) {
        const int ready = waitLine(listener.fd(), false, stopFd, -1);
        if (ready < 0) throw ETransportError("waiting for a client failed");
        if (ready & stopReady) return;
        if (!(ready & lineReady)) continue;
        std::string peer;
        TFd client = listener.accept(peer);
        if (!client) continue;
        log.event(nowMs(), machine.modeText(), "connect " + peer);
        const TEnd end = serveConnection(client.get(), nullptr);
        log.event(nowMs(), machine.modeText(), std::string("disconnect ") + endText(end));
        if (end == TEnd::Stopped) return;
    }
}

void TServer::servePty() {
    for (;;) {
        TPty pty(wire::startRate, options.ptyLink);
        announce("listening pty " + pty.path());
        std::fprintf(stderr, "veltrace-ecusim: serving on the pseudo-terminal %s%s\n", pty.path().c_str(),
                     options.ptyLink.empty() ? "" : (" (link " + options.ptyLink + ")").c_str());
        log.event(nowMs(), machine.modeText(), "connect " + pty.path());
        const TEnd end = serveConnection(pty.fd(), &pty);
        log.event(nowMs(), machine.modeText(), std::string("disconnect ") + endText(end));
        if (end == TEnd::Stopped) return;
        // A cut line: this terminal hangs up (the tool's port reports the hang-up) and a new
        // one takes its place.
    }
}

int TServer::judgeToolRate(const TPty* pty) {
    if (!pty) return 0;
    // On the pseudo-terminal the bytes went out at the rate the tool's end was set to. The
    // tool may have changed that rate after it wrote them and before they were read here (a
    // tool switches at once after the bootloader's "E"), so the rate seen just before they
    // arrived counts as well.
    const int current = pty->toolSendRate();
    const int rate = current != machine.bitRate() && lastToolRate == machine.bitRate() ? lastToolRate : current;
    lastToolRate = current;
    return rate;
}

void TServer::take(const std::string& bytes, const TPty* pty, int lineRate) {
    if (bytes.empty()) return;
    const int64_t now = nowMs();
    size_t at = 0;
    while (at < bytes.size()) {
        const char* mode = machine.modeText();
        if (pty && (lineRate != machine.bitRate() || pty->toolFraming() != options.framing)) {
            // Sent at another rate (or framing) than the ECU's UART runs at, including the rest
            // of a chunk after a command that changed the ECU's rate.
            log.chunk(now, mode, "rx-lost", bytes.substr(at));
            return;
        }
        log.hold();
        const size_t taken = machine.receive(bytes.substr(at), now);
        log.release(now, mode, "rx", bytes.substr(at, taken));
        at += taken;
    }
}

void TServer::sampleToolRate(const TPty* pty) {
    if (pty) lastToolRate = pty->toolSendRate();
}

bool TServer::writeOut(TSysFd fd, const TPty* pty, const std::string& out) {
    if (out.empty()) return true;
    if (pty && (pty->toolReceiveRate() != machine.bitRate() || pty->toolFraming() != options.framing)) {
        log.chunk(nowMs(), machine.modeText(), "tx-lost", out);
        return true;
    }
    size_t sent = 0;
    const int64_t deadline = nowMs() + writeStallMs;
    while (sent < out.size()) {
        const long long n = lineWrite(fd, pty != nullptr, out.data() + sent, out.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n == lineReset || n == lineFailed) {
            log.chunk(nowMs(), machine.modeText(), "tx", out.substr(0, sent));
            log.chunk(nowMs(), machine.modeText(), "tx-lost", out.substr(sent));
            return false;
        }
        const int64_t left = deadline - nowMs();
        if (left <= 0 || stopRequested()) break;
        waitLine(fd, true, stopFd, left * nsPerMs);
    }
    log.chunk(nowMs(), machine.modeText(), "tx", out.substr(0, sent));
    log.chunk(nowMs(), machine.modeText(), "tx-lost", out.substr(sent));
    return true;
}

// What one connection has under way: the fault switches' count, and with --pace the bytes on
// the line in either direction.
struct TServer::TLine {
    struct TChunk {
        std::string bytes;
        int toolRate;  // the rate they were sent at (pseudo-terminal only)
    };
    bool paced = false;
    long received = 0;
    bool silent = false;
    std::deque<TChunk> rxQueue;  // read, not yet handed to the ECU
    uint64_t rxQueued = 0;
    std::string txQueue;         // replies made, not yet sent to the tool
    TLineTimer rx, tx;
    // When the bytes just handed to the ECU crossed the line (-1: none since): a reply to them
    // starts from there, not from the moment this process woke up to hand them on.
    int64_t deliveredAtNs = -1;
};

std::optional<TServer::TEnd> TServer::received(TLine& line, TSysFd fd, const TPty* pty, const std::string& chunk,
                                               int lineRate) {
    size_t usable = chunk.size();
    if (options.noise) {
        log.chunk(nowMs(), machine.modeText(), "rx-lost", chunk);
        return writeOut(fd, pty, noiseFor(chunk)) ? std::nullopt : std::optional<TEnd>(TEnd::Failed);
    }
    if (options.dropAfter >= 0) usable = std::min<size_t>(usable, std::max(0L, options.dropAfter - line.received));
    if (options.silentAfter >= 0) usable = std::min<size_t>(usable, std::max(0L, options.silentAfter - line.received));
    take(chunk.substr(0, usable), pty, lineRate);
    line.received += static_cast<long>(chunk.size());
    const std::string untaken = chunk.substr(usable);
    if (options.dropAfter >= 0 && line.received >= options.dropAfter) {
        log.chunk(nowMs(), machine.modeText(), "rx-lost", untaken);
        log.event(nowMs(), machine.modeText(), "drop");
        // Replies already due still go out, at once.
        writeOut(fd, pty, line.txQueue + machine.takeDue(nowMs()));
        return TEnd::Dropped;
    }
    if (options.silentAfter >= 0 && line.received >= options.silentAfter && !line.silent) {
        line.silent = true;
        log.event(nowMs(), machine.modeText(), "silent");
    }
    log.chunk(nowMs(), machine.modeText(), "rx-lost", untaken);
    return std::nullopt;
}

std::optional<TServer::TEnd> TServer::deliver(TLine& line, TSysFd fd, const TPty* pty) {
    uint64_t n = line.rxQueued;
    if (line.paced && n > 0) {
        line.rx.setRate(machine.bitRate());
        n = std::min(n, line.rx.crossed(nowNs()));
        if (n > 0) line.deliveredAtNs = line.rx.crossesAtNs(n - 1);
        line.rx.take(n);
    }
    while (n > 0) {
        TLine::TChunk& front = line.rxQueue.front();
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, front.bytes.size()));
        const std::string part = front.bytes.substr(0, k);
        const int toolRate = front.toolRate;
        front.bytes.erase(0, k);
        if (front.bytes.empty()) line.rxQueue.pop_front();
        line.rxQueued -= k;
        n -= k;
        if (auto end = received(line, fd, pty, part, toolRate)) return end;
    }
    if (line.rxQueued == 0) line.rx.stop();
    return std::nullopt;
}

bool TServer::transmit(TLine& line, TSysFd fd, const TPty* pty) {
    const std::string due = machine.takeDue(nowMs());
    if (!line.paced) return writeOut(fd, pty, due);
    line.txQueue += due;
    const int64_t madeAtNs = line.deliveredAtNs >= 0 ? line.deliveredAtNs : nowNs();
    line.deliveredAtNs = -1;
    if (line.txQueue.empty()) return true;
    line.tx.setRate(machine.bitRate());
    line.tx.start(madeAtNs, machine.bitRate());
    const uint64_t n = std::min<uint64_t>(line.txQueue.size(), line.tx.crossed(nowNs()));
    if (n == 0) return true;
    line.tx.take(n);
    const std::string out = line.txQueue.substr(0, n);
    line.txQueue.erase(0, n);
    if (line.txQueue.empty()) line.tx.stop();
    return writeOut(fd, pty, out);
}

TServer::TEnd TServer::serveConnection(TSysFd fd, const TPty* pty) {
    machine.startConnection();
    sampleToolRate(pty);
    TLine line;
    line.paced = options.pace;
    char buffer[readChunkBytes];
    // A run of bytes on the line is handed on in batches, the last byte of the run on time.
    auto wakeFor = [](const TLineTimer& timer, uint64_t queued) {
        return std::min(timer.crossesAtNs(queued - 1), timer.crossesAtNs(0) + paceBatchNs);
    };
    for (;;) {
        if (auto end = deliver(line, fd, pty)) return *end;
        if (!transmit(line, fd, pty)) return TEnd::Failed;

        int64_t wakeNs = INT64_MAX;
        if (const int64_t due = machine.nextDueMs(); due != INT64_MAX) wakeNs = due * nsPerMs;
        if (line.rxQueued > 0) wakeNs = std::min(wakeNs, wakeFor(line.rx, line.rxQueued));
        if (!line.txQueue.empty()) wakeNs = std::min(wakeNs, wakeFor(line.tx, line.txQueue.size()));
        int64_t timeoutNs = wakeNs == INT64_MAX ? -1 : std::max<int64_t>(0, wakeNs - nowNs());
        if (pty && (timeoutNs < 0 || timeoutNs > toolRateSampleMs * nsPerMs)) timeoutNs = toolRateSampleMs * nsPerMs;
        const int ready = waitLine(fd, false, stopFd, timeoutNs);
        if (ready < 0) return TEnd::Failed;
        if (ready & stopReady) return TEnd::Stopped;
        if (!(ready & lineReady)) {
            sampleToolRate(pty);
            continue;
        }
        const long long n = lineRead(fd, pty != nullptr, buffer, sizeof buffer);
        if (n == 0) {
            // The tool is gone; what it sent before still reaches the ECU (a store, say).
            line.paced = false;
            if (auto end = deliver(line, fd, pty)) return *end;
            return TEnd::Closed;
        }
        if (n == lineNothingNow) continue;
        if (n < 0) return n == lineReset ? TEnd::Closed : TEnd::Failed;
        if (line.paced) line.rx.start(nowNs(), machine.bitRate());
        line.rxQueue.push_back({std::string(buffer, static_cast<size_t>(n)), judgeToolRate(pty)});
        line.rxQueued += static_cast<uint64_t>(n);
    }
}

}  // namespace ecusim
