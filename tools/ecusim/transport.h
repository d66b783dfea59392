#pragma once
// The two ends a tool can reach the simulated ECU through: a TCP server on a loopback address
// and a pseudo-terminal whose terminal end the tool opens as a serial port; and the few system
// calls the serving loops make. POSIX in transport_posix.cpp; Windows (TCP only, Winsock) in
// transport_win32.cpp.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace ecusim {

// A transport that cannot be set up (address in use, no pseudo-terminals, ...).
class ETransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A descriptor (POSIX) or a SOCKET (Windows); -1 for none.
using TSysFd = long long;

// A descriptor or socket that closes itself.
class TFd {
public:
    TFd() = default;
    explicit TFd(TSysFd fd) : fd_(fd) {}
    ~TFd() { reset(); }
    TFd(TFd&& other) noexcept : fd_(other.release()) {}
    TFd& operator=(TFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    TSysFd get() const { return fd_; }
    TSysFd release() {
        TSysFd f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(TSysFd fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

private:
    TSysFd fd_ = -1;
};

// "HOST:PORT" or "[V6ADDR]:PORT" into its two halves. Throws ETransportError.
std::pair<std::string, int> splitHostPort(const std::string& text);

class TTcpListener {
public:
    // Listens on the host (a numeric address or a name) and port; port 0 takes a free one.
    TTcpListener(const std::string& host, int port);
    TSysFd fd() const { return socket.get(); }
    const std::string& host() const { return boundHost; }
    int port() const { return boundPort; }
    // Takes the next waiting client (non-blocking reads and writes, no Nagle delay); `peer`
    // receives its address. An empty TFd when none was waiting.
    TFd accept(std::string& peer);

private:
    TFd socket;
    std::string boundHost;
    int boundPort = 0;
};

// A pseudo-terminal. The simulator keeps the controlling end and also holds the terminal end
// open itself: so the terminal's settings (the bit rate the tool set) can be read at any time,
// and the line does not hang up each time the tool closes its port.
class TPty {
public:
    // Creates the pseudo-terminal in raw mode at `rate`; with a `linkPath`, a symbolic link
    // there points at its terminal end (an existing link is replaced, any other file is not).
    TPty(int rate, const std::string& linkPath);
    ~TPty();
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    TSysFd fd() const { return master.get(); }
    const std::string& path() const { return slavePath; }
    // The rates the terminal end is set to: what the tool sends at and what it receives at.
    int toolSendRate() const;
    int toolReceiveRate() const;
    // The framing the tool set on its terminal: data bits, parity (N, E, O), stop bits ("8N1").
    std::string toolFraming() const;

private:
    TFd master;
    TFd slave;
    std::string slavePath;
    std::string linkPath;
};

// Whether this system has pseudo-terminals to serve (POSIX: yes; Windows: TCP only).
bool havePseudoTerminals();

#ifndef _WIN32
// Maps a termios speed constant to bits per second (0 when unknown), and back.
int speedToRate(unsigned speed);
std::optional<unsigned> rateToSpeed(int rate);
#endif

// The request to stop the simulator: SIGINT and SIGTERM on POSIX, Ctrl-C, Ctrl-Break and the
// console's closing on Windows make fd() readable, so that the serving loops wake up for it.
// One per process.
class TStopLine {
public:
    TStopLine();  // throws ETransportError
    ~TStopLine();
    TStopLine(const TStopLine&) = delete;
    TStopLine& operator=(const TStopLine&) = delete;
    TSysFd fd() const { return readEnd.get(); }

private:
    TFd readEnd;
    TFd writeEnd;
};

// What waitLine found.
inline constexpr int lineReady = 1;  // input (or its end, or an error) on the line; with `out`, room
inline constexpr int stopReady = 2;  // the stop line is readable
// Waits up to `timeoutNs` (-1: no limit) for the line (-1: none) to have input (or room for
// output with `out`) or for `stop` to be readable: a mask of the above, 0 when the time passed
// or a signal came, -1 on an error.
int waitLine(TSysFd line, bool out, TSysFd stop, int64_t timeoutNs);

// What lineRead and lineWrite return besides a count.
inline constexpr long long lineNothingNow = -1;  // would block
inline constexpr long long lineReset = -2;       // the peer reset the connection
inline constexpr long long lineFailed = -3;      // any other error
// Reads what is there without blocking: the bytes read, 0 at the end, or one of the above.
// `pty` tells a pseudo-terminal from a socket.
long long lineRead(TSysFd fd, bool pty, char* buffer, size_t size);
// Writes without blocking and without a signal: the bytes taken, or one of the above.
long long lineWrite(TSysFd fd, bool pty, const char* bytes, size_t size);

// Asks the system to wake the process up on time to the fraction of a millisecond (--pace).
void askPreciseTimers();

}  // namespace ecusim
