#pragma once
// Real kernel objects on the far side of a link, for the link tests: a pseudo-terminal whose
// master end plays the ECU, and a TCP listener on the loopback.

#include <termios.h>

#include <string>

// A pseudo-terminal pair. The link opens the slave by `path`; the test talks on `master`. The
// pair keeps its own slave descriptor so the terminal (and its settings) outlive the link's.
class TPty {
public:
    TPty();
    ~TPty();
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    void write(const std::string& bytes);
    // Whatever arrives until `quietMs` pass without a byte.
    std::string readUntilQuiet(int quietMs);
    // Exactly `count` bytes, or fewer when `timeoutMs` pass first.
    std::string read(size_t count, int timeoutMs);
    speed_t outputSpeed() const;   // the rate set on the terminal
    termios settings() const;
    void closeMaster();            // the far end vanishes: the slave hangs up

    int master = -1;
    int slave = -1;
    std::string path;
};

// Sets VELTRACE_SERIAL_PORTS for the life of the object and restores the old value after.
class TSerialPortsSetting {
public:
    explicit TSerialPortsSetting(const std::string& value);
    ~TSerialPortsSetting();

private:
    bool had = false;
    std::string old;
};

// A TCP listener on a loopback address and a free port.
class TLoopbackServer {
public:
    explicit TLoopbackServer(const char* address = "127.0.0.1", int backlog = 4);
    ~TLoopbackServer();
    TLoopbackServer(const TLoopbackServer&) = delete;
    TLoopbackServer& operator=(const TLoopbackServer&) = delete;

    // The next connection, -1 when none came within `timeoutMs`. The caller closes it.
    int accept(int timeoutMs = 2000);
    void close();  // stop listening

    int listenFd = -1;
    int port = 0;
};

// Helpers for a connected descriptor (a socket or a pty master).
void writeAll(int fd, const std::string& bytes);
std::string readFor(int fd, size_t count, int timeoutMs);
// A port on the loopback where nothing listens (bound, then released).
int unusedLoopbackPort();
// Milliseconds on the steady clock, for timing what a test waits.
long long steadyMs();
