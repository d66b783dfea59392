#include "platform/sio.h"

#include <dirent.h>
#ifdef __linux__
#include <linux/serial.h>
#endif
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

#include "platform/serialdevice_posix.h"
#include "platform/porttable.h"
#include "platform/serialports.h"
#include "platform/serialsystem.h"

namespace {

constexpr unsigned maxPutsCount = 65535;  // the most one SioPuts takes
constexpr int defaultRate = 9600;         // the rate a freshly opened port runs at
// On close, queued output gets this long to leave before the terminal settings it found are
// put back (a new rate would garble what is still on its way).
constexpr int drainLimitMs = 500;
constexpr int drainPollMs = 10;

struct RateCode {
    int rate;
    speed_t code;
};

// Every standard rate termios offers on this system.
constexpr RateCode rateCodes[] = {
    {50, B50},       {75, B75},       {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},     {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool rateCode(int rate, speed_t& code) {
    for (const auto& rc : rateCodes)
        if (rc.rate == rate) {
            code = rc.code;
            return true;
        }
    return false;
}

// One open port. The descriptor is closed only when the last user lets go of the object, so a
// wait that runs while another call closes the port never polls a recycled descriptor.
struct Port {
    std::mutex mutex;
    int fd = -1;
    bool closed = false;
    std::string path;
    std::string txQueue;  // bytes taken but not yet accepted by the driver
    size_t txLimit = 1024;
    size_t rxChunk = 1024;
    bool haveFound = false;
    termios found{};  // the terminal settings as the port was found, put back on close
    bool lowLatency = false;     // the driver hands received bytes on at once
    bool lowLatencySet = false;  // ... because this layer asked it to: cleared again on close

    ~Port() {
        if (fd < 0) return;
        if (lowLatencySet) writeLowLatency(false);
        if (haveFound) {
            int queued = 0;
            for (int waited = 0; waited < drainLimitMs && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0;
                 waited += drainPollMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(drainPollMs));
            tcsetattr(fd, TCSANOW, &found);
        }
        ioctl(fd, TIOCNXCL);  // a pty outlives us: leave it openable for the next one
        ::close(fd);
    }

    // The driver's low-latency flag (ASYNC_LOW_LATENCY): 1 set, 0 clear, -1 the device has
    // none (a pseudo-terminal, a driver without serial settings).
    int readLowLatency() const {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
        serial_struct ss{};
        if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return -1;
        return (ss.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0;
#else
        return -1;
#endif
    }
    // Sets or clears the flag; false when the driver refuses.
    bool writeLowLatency(bool on) const {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
        serial_struct ss{};
        if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return false;
        if (on) ss.flags |= ASYNC_LOW_LATENCY;
        else ss.flags &= ~ASYNC_LOW_LATENCY;
        return ioctl(fd, TIOCSSERIAL, &ss) == 0;
#else
        (void)on;
        return false;
#endif
    }

    // Hands queued bytes to the driver as far as it takes them. 0, or SioErrIO.
    int flush() {
        while (!txQueue.empty()) {
            const ssize_t n = ::write(fd, txQueue.data(), txQueue.size());
            if (n > 0) {
                txQueue.erase(0, static_cast<size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                return SioErrIO;
            }
        }
        return 0;
    }
};

using PortTable = TPortTable<Port>;
PortTable& table() { return PortTable::instance(); }
std::shared_ptr<Port> findPort(int port) { return table().find(port); }
void setOpenError(int port, const std::string& text) { table().setOpenError(port, text); }

// The raw 8N1 line without flow control, reads that return at once.
void makeRaw(termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

bool allDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<std::string> serialDevicesIn(const std::string& dir) {
    static const char* const families[] = {"ttyUSB", "ttyACM", "ttyS"};
    std::vector<std::tuple<int, unsigned long, std::string>> found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            for (int f = 0; f < 3; ++f) {
                const std::string prefix = families[f];
                if (name.compare(0, prefix.size(), prefix) != 0) continue;
                const std::string number = name.substr(prefix.size());
                if (allDigits(number) && number.size() < 10)
                    found.emplace_back(f, std::stoul(number), dir + "/" + name);
            }
        }
        closedir(d);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& entry : found) paths.push_back(std::get<2>(entry));
    return paths;
}

std::vector<std::string> machineSerialPorts() { return serialDevicesIn("/dev"); }

int SioReset(int port, int rxQueueSize, int txQueueSize) {
    SioDone(port);  // a reset starts from a closed port
    if (rxQueueSize <= 0 || txQueueSize <= 0) {
        setOpenError(port, "Bad queue sizes for serial port " + std::to_string(port + 1));
        return SioErrBadArgument;
    }
    const std::vector<std::string> list = serialPortList();
    if (const std::string problem = serialPortListProblem(port + 1, list); !problem.empty()) {
        setOpenError(port, problem);
        return SioErrNoSuchPort;
    }

    auto p = std::make_shared<Port>();
    p->path = list[port];
    p->txLimit = static_cast<size_t>(txQueueSize);
    p->rxChunk = static_cast<size_t>(rxQueueSize);
    termios t{};
    int err = 0;
    p->fd = openSerialDevice(p->path, t, err);
    if (p->fd < 0) {
        setOpenError(port, serialOpenProblem(p->path, err));
        return SioErrOpenFailed;
    }
    // Besides the lock, TIOCEXCL keeps out those that don't lock.
    ioctl(p->fd, TIOCEXCL);
    p->found = t;
    p->haveFound = true;
    makeRaw(t);
    speed_t code = B9600;
    rateCode(defaultRate, code);
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    if (tcsetattr(p->fd, TCSANOW, &t) != 0) {
        setOpenError(port, serialOpenProblem(p->path, errno));
        return SioErrOpenFailed;
    }
    tcflush(p->fd, TCIOFLUSH);
    // A USB adapter holds received bytes for its latency timer (16 ms on an FTDI chip) before
    // it hands them on: every reply of the ECU would wait that long. Low latency hands them on
    // at once. A device without the setting runs as before.
    const int lowLatency = p->readLowLatency();
    if (lowLatency == 1) p->lowLatency = true;
    else if (lowLatency == 0) p->lowLatency = p->lowLatencySet = p->writeLowLatency(true);

    setOpenError(port, "");
    PortTable& tab = table();
    std::lock_guard<std::mutex> lock(tab.mutex);
    tab.ports[port] = std::move(p);
    return 0;
}

int SioFlow(int port, char flow) {
    auto p = findPort(port);
    if (!p) return SioErrNotOpen;
    std::lock_guard<std::mutex> lock(p->mutex);
    if (p->closed) return SioErrNotOpen;
    termios t{};
    if (tcgetattr(p->fd, &t) != 0) return SioErrIO;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    switch (flow) {
    case 'N': case 'n': break;
#ifdef CRTSCTS
    case 'H': case 'h': t.c_cflag |= CRTSCTS; break;
#endif
    case 'S': case 's': t.c_iflag |= IXON | IXOFF; break;
    default: return SioErrBadArgument;
    }
    return tcsetattr(p->fd, TCSANOW, &t) == 0 ? 0 : SioErrIO;
}

int SioBaud(int port, int baudRate) {
    speed_t code;
    if (!rateCode(baudRate, code)) return SioErrBadRate;
    auto p = findPort(port);
    if (!p) return SioErrNotOpen;
    std::lock_guard<std::mutex> lock(p->mutex);
    if (p->closed) return SioErrNotOpen;
    if (int err = p->flush()) return err;
    int inDriver = 0;
    if (ioctl(p->fd, TIOCOUTQ, &inDriver) != 0) return SioErrIO;
    if (!p->txQueue.empty() || inDriver > 0) return SioErrPending;
    termios t{};
    if (tcgetattr(p->fd, &t) != 0) return SioErrIO;
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    // TCSADRAIN: the driver's queue is empty, but the last bytes may still sit in the UART's
    // FIFO or the adapter's buffer; the kernel lets them out before the rate changes.
    int r;
    do r = tcsetattr(p->fd, TCSADRAIN, &t);
    while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : SioErrIO;
}

int SioDone(int port) {
    std::shared_ptr<Port> p;
    {
        PortTable& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.ports.find(port);
        if (it == t.ports.end()) return SioErrNotOpen;
        p = std::move(it->second);
        t.ports.erase(it);
    }
    std::lock_guard<std::mutex> lock(p->mutex);
    p->flush();
    p->closed = true;
    return 0;
}

int SioTxQue(int port) {
    auto p = findPort(port);
    if (!p) return SioErrNotOpen;
    std::lock_guard<std::mutex> lock(p->mutex);
    if (p->closed) return SioErrNotOpen;
    if (int err = p->flush()) return err;
    int inDriver = 0;
    if (ioctl(p->fd, TIOCOUTQ, &inDriver) != 0) return SioErrIO;
    return static_cast<int>(p->txQueue.size()) + inDriver;
}

int SioPuts(int port, const char* bytes, unsigned count) {
    if (!bytes && count > 0) return SioErrBadArgument;
    auto p = findPort(port);
    if (!p) return SioErrNotOpen;
    std::lock_guard<std::mutex> lock(p->mutex);
    if (p->closed) return SioErrNotOpen;
    count = std::min(count, maxPutsCount);
    if (int err = p->flush()) return err;
    size_t taken = 0;
    if (p->txQueue.empty()) {
        while (taken < count) {
            const ssize_t n = ::write(p->fd, bytes + taken, count - taken);
            if (n > 0) taken += static_cast<size_t>(n);
            else if (n < 0 && errno == EINTR) continue;
            else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            else if (taken > 0) break;  // report what went; the error shows on the next call
            else return SioErrIO;
        }
    }
    const size_t room = p->txLimit > p->txQueue.size() ? p->txLimit - p->txQueue.size() : 0;
    const size_t queued = std::min(room, count - taken);
    p->txQueue.append(bytes + taken, queued);
    return static_cast<int>(taken + queued);
}

int SioPutc(int port, char byte) { return SioPuts(port, &byte, 1); }

int SioGets(int port, char* buffer, unsigned max) {
    if (!buffer && max > 0) return SioErrBadArgument;
    auto p = findPort(port);
    if (!p) return SioErrNotOpen;
    std::lock_guard<std::mutex> lock(p->mutex);
    if (p->closed) return SioErrNotOpen;
    p->flush();
    if (max == 0) return 0;
    max = static_cast<unsigned>(std::min<size_t>(max, p->rxChunk));
    for (;;) {
        const ssize_t n = ::read(p->fd, buffer, max);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return SioErrIO;
    }
}

int SioWaitInput(int port, int ms) {
    auto p = findPort(port);
    if (!p) return SioErrNotOpen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    for (;;) {
        pollfd pfd{};
        {
            std::lock_guard<std::mutex> lock(p->mutex);
            if (p->closed) return SioErrNotOpen;
            p->flush();
            pfd.fd = p->fd;
            pfd.events = static_cast<short>(POLLIN | (p->txQueue.empty() ? 0 : POLLOUT));
        }
        const int r = poll(&pfd, 1, msLeft(deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            return SioErrIO;
        }
        if (r == 0) return 0;
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // The other end is gone; what arrived before still counts as input.
            int waiting = 0;
            if (ioctl(pfd.fd, FIONREAD, &waiting) == 0 && waiting > 0) return 1;
            return SioErrIO;
        }
        if (pfd.revents & POLLIN) return 1;
        // Only room for queued output: send it and go on waiting for input.
        if (std::chrono::steady_clock::now() >= deadline) return 0;
    }
}

int SioWaitOutput(int port, int ms) {
    auto p = findPort(port);
    if (!p) return SioErrNotOpen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    for (;;) {
        pollfd pfd{};
        {
            std::lock_guard<std::mutex> lock(p->mutex);
            if (p->closed) return SioErrNotOpen;
            if (int err = p->flush()) return err;
            if (p->txQueue.size() < p->txLimit) return 1;
            pfd.fd = p->fd;
            pfd.events = POLLOUT;
        }
        const int r = poll(&pfd, 1, msLeft(deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            return SioErrIO;
        }
        if (r == 0) return 0;
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return SioErrIO;
    }
}

bool SioIsOpen(int port) { return findPort(port) != nullptr; }

bool SioLowLatency(int port) {
    auto p = findPort(port);
    return p && p->lowLatency;
}

std::string SioOpenError(int port) {
    PortTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.openErrors.find(port);
    return it == t.openErrors.end() ? std::string() : it->second;
}
