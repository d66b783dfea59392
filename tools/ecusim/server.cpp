#include "server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

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

void announce(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int64_t msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TServer::TServer(const TSimOptions& options, TEcuMachine& machine, TTranscript& log, int stopFd,
                 std::chrono::steady_clock::time_point start)
    : options(options), machine(machine), log(log), stopFd(stopFd), start(start) {}

int64_t TServer::nowMs() const { return msSince(start); }

bool TServer::stopRequested() const {
    pollfd p{stopFd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
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
        pollfd p[2] = {{listener.fd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) throw ETransportError("poll failed");
        if (p[1].revents) return;
        if (!p[0].revents) continue;
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

void TServer::take(const std::string& bytes, const TPty* pty) {
    if (bytes.empty()) return;
    const int64_t now = nowMs();
    // On the pseudo-terminal the bytes went out at the rate the tool's end was set to. The
    // tool may have changed that rate after it wrote them and before they were read here (a
    // tool switches at once after the bootloader's "E"), so the rate seen just before they
    // arrived counts as well.
    int lineRate = 0;
    if (pty) {
        const int current = pty->toolSendRate();
        lineRate = current != machine.bitRate() && lastToolRate == machine.bitRate() ? lastToolRate : current;
        lastToolRate = current;
    }
    size_t at = 0;
    while (at < bytes.size()) {
        const char* mode = machine.modeText();
        if (pty && lineRate != machine.bitRate()) {
            // Sent at another rate than the ECU's UART runs at, including the rest of a chunk
            // after a command that changed the ECU's rate.
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

bool TServer::sendDue(int fd, const TPty* pty) {
    const std::string out = machine.takeDue(nowMs());
    if (out.empty()) return true;
    if (pty && pty->toolReceiveRate() != machine.bitRate()) {
        log.chunk(nowMs(), machine.modeText(), "tx-lost", out);
        return true;
    }
    size_t sent = 0;
    const int64_t deadline = nowMs() + writeStallMs;
    while (sent < out.size()) {
        const ssize_t n = pty ? ::write(fd, out.data() + sent, out.size() - sent)
                              : ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            log.chunk(nowMs(), machine.modeText(), "tx", out.substr(0, sent));
            log.chunk(nowMs(), machine.modeText(), "tx-lost", out.substr(sent));
            return false;
        }
        const int64_t left = deadline - nowMs();
        if (left <= 0 || stopRequested()) break;
        pollfd p[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
        ::poll(p, 2, static_cast<int>(left));
    }
    log.chunk(nowMs(), machine.modeText(), "tx", out.substr(0, sent));
    log.chunk(nowMs(), machine.modeText(), "tx-lost", out.substr(sent));
    return true;
}

TServer::TEnd TServer::serveConnection(int fd, const TPty* pty) {
    machine.startConnection();
    sampleToolRate(pty);
    long received = 0;
    bool silent = false;
    char buffer[readChunkBytes];
    for (;;) {
        if (!sendDue(fd, pty)) return TEnd::Failed;
        const int64_t due = machine.nextDueMs();
        int timeout = due == INT64_MAX ? -1 : static_cast<int>(std::max<int64_t>(0, due - nowMs()));
        if (pty && (timeout < 0 || timeout > toolRateSampleMs)) timeout = toolRateSampleMs;
        pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(p, 2, timeout) < 0) {
            if (errno == EINTR) continue;
            return TEnd::Failed;
        }
        if (p[1].revents) return TEnd::Stopped;
        if (!p[0].revents) {
            sampleToolRate(pty);
            continue;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return TEnd::Closed;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return errno == ECONNRESET ? TEnd::Closed : TEnd::Failed;
        }
        const std::string chunk(buffer, static_cast<size_t>(n));
        // The fault switches count every byte the line brought, lost ones included.
        size_t usable = chunk.size();
        if (options.dropAfter >= 0) usable = std::min<size_t>(usable, std::max(0L, options.dropAfter - received));
        if (options.silentAfter >= 0) usable = std::min<size_t>(usable, std::max(0L, options.silentAfter - received));
        take(chunk.substr(0, usable), pty);
        received += n;
        const std::string untaken = chunk.substr(usable);
        if (options.dropAfter >= 0 && received >= options.dropAfter) {
            log.chunk(nowMs(), machine.modeText(), "rx-lost", untaken);
            log.event(nowMs(), machine.modeText(), "drop");
            sendDue(fd, pty);
            return TEnd::Dropped;
        }
        if (options.silentAfter >= 0 && received >= options.silentAfter && !silent) {
            silent = true;
            log.event(nowMs(), machine.modeText(), "silent");
        }
        log.chunk(nowMs(), machine.modeText(), "rx-lost", untaken);
    }
}

}  // namespace ecusim
