#pragma once
// The two ends a tool can reach the simulated ECU through: a TCP server on a loopback address
// and a pseudo-terminal whose terminal end the tool opens as a serial port.

#include <optional>
#include <stdexcept>
#include <string>

namespace ecusim {

// A transport that cannot be set up (address in use, no pseudo-terminals, ...).
class ETransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A file descriptor that closes itself.
class TFd {
public:
    TFd() = default;
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() { reset(); }
    TFd(TFd&& other) noexcept : fd_(other.release()) {}
    TFd& operator=(TFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// "HOST:PORT" or "[V6ADDR]:PORT" into its two halves. Throws ETransportError.
std::pair<std::string, int> splitHostPort(const std::string& text);

class TTcpListener {
public:
    // Listens on the host (a numeric address or a name) and port; port 0 takes a free one.
    TTcpListener(const std::string& host, int port);
    int fd() const { return socket.get(); }
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

    int fd() const { return master.get(); }
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

// Maps a termios speed constant to bits per second (0 when unknown), and back.
int speedToRate(unsigned speed);
std::optional<unsigned> rateToSpeed(int rate);

}  // namespace ecusim
