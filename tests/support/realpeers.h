#pragma once
// Real kernel objects on the far side of a link, for the link tests: a pseudo-terminal whose
// master end plays the ECU, and a TCP listener on the loopback. The pseudo-terminal is POSIX
// only (realpeers.cpp); on Windows the listener and the helpers run on Winsock
// (realpeers_win32.cpp), a socket passed around as an int like a descriptor, and a TPty cannot be
// made: a test that needs one skips itself there before it tries.

#ifndef _WIN32
#include <termios.h>
#endif

#include <chrono>
#include <cstddef>
#include <string>

#include "support/envsetting.h"

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
#ifndef _WIN32
    speed_t outputSpeed() const;   // the rate set on the terminal
    termios settings() const;
#endif
    // A second descriptor of the master end, for a peer thread that closes its own.
    int duplicateMaster() const;
    void closeMaster();            // the far end vanishes: the slave hangs up

    int master = -1;
    int slave = -1;
    std::string path;
};

// Sets VELTRACE_SERIAL_PORTS for the life of the object and restores the old value after.
class TSerialPortsSetting : public TEnvSetting {
public:
    explicit TSerialPortsSetting(const std::string& value);
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
// Waits up to `ms` for input: above 0 there is some (or its end), 0 the time passed, below 0 the
// far end hung up or the descriptor failed.
int waitReadable(int fd, int ms);
// What is there, up to `size` bytes: the count, 0 at the end, below 0 on an error.
long long readSome(int fd, char* buffer, size_t size);
void closeDescriptor(int fd);
// A port on the loopback where nothing listens (bound, then released).
int unusedLoopbackPort();
// Milliseconds on the steady clock, for timing what a test waits.
inline long long steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
