#include "platform/sio.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/serialdevice_win32.h"
#include "platform/porttable.h"
#include "platform/serialports.h"
#include "platform/serialsystem.h"

// The serial layer on a Windows COM port: a synchronous handle whose reads and writes are bounded
// by COMMTIMEOUTS. A read returns at once with what is there; a wait for input is a read that
// returns as soon as one byte came or the time passed (ReadIntervalTimeout and
// ReadTotalTimeoutMultiplier MAXDWORD, ReadTotalTimeoutConstant the wait), and what it read is
// kept for the next SioGets.

namespace {

constexpr unsigned maxPutsCount = 65535;  // the most one SioPuts takes
constexpr int defaultRate = 9600;         // the rate a freshly opened port runs at
constexpr DWORD writeSliceMs = 20;        // the most one WriteFile may hold the caller
constexpr int waitSliceMs = 10;           // waits with output queued look at it this often
constexpr int drainLimitMs = 500;         // on close, queued output gets this long to leave

// The standard rates a COM port driver takes.
constexpr int rates[] = {110,   300,   600,   1200,   2400,   4800,   9600,   14400,
                         19200, 38400, 57600, 115200, 128000, 230400, 256000, 460800, 921600};

bool knownRate(int rate) { return std::find(std::begin(rates), std::end(rates), rate) != std::end(rates); }

enum class TReadMode { None, Immediate, Wait };

struct Port {
    std::mutex mutex;
    HANDLE h = INVALID_HANDLE_VALUE;
    bool closed = false;
    std::string path;
    std::string txQueue;  // bytes taken but not yet accepted by the driver
    std::string rxQueue;  // bytes a wait read, for the next SioGets
    size_t txLimit = 1024;
    size_t rxChunk = 1024;
    bool haveFound = false;
    DCB found{};  // the port's settings as it was found, put back on close
    TReadMode mode = TReadMode::None;
    DWORD waitMs = 0;

    ~Port() {
        if (h == INVALID_HANDLE_VALUE) return;
        for (int waited = 0; waited < drainLimitMs && outQueue() > 0; waited += waitSliceMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(waitSliceMs));
        if (haveFound) SetCommState(h, &found);
        CloseHandle(h);
    }

    // The driver's output queue; -1 when the device failed.
    int outQueue() const {
        DWORD errors = 0;
        COMSTAT st{};
        if (!ClearCommError(h, &errors, &st)) return -1;
        return static_cast<int>(st.cbOutQue);
    }

    bool setReadMode(TReadMode m, DWORD ms) {
        if (mode == m && (m != TReadMode::Wait || waitMs == ms)) return true;
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = m == TReadMode::Wait ? MAXDWORD : 0;
        t.ReadTotalTimeoutConstant = m == TReadMode::Wait ? std::max<DWORD>(ms, 1) : 0;
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = writeSliceMs;
        if (!SetCommTimeouts(h, &t)) return false;
        mode = m;
        waitMs = ms;
        return true;
    }

    // Reads what the driver has (or, in a wait, the first bytes to come) onto rxQueue.
    int readInto(TReadMode m, DWORD ms) {
        if (!setReadMode(m, ms)) return SioErrIO;
        std::string buffer(rxChunk, '\0');
        DWORD got = 0;
        if (!ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return SioErrIO;
        rxQueue.append(buffer.data(), got);
        return static_cast<int>(got);
    }

    // Hands queued bytes to the driver as far as it takes them within a write slice. 0, or
    // SioErrIO (a failed write: the device vanished).
    int flush() {
        if (txQueue.empty()) return 0;
        DWORD written = 0;
        if (!WriteFile(h, txQueue.data(), static_cast<DWORD>(txQueue.size()), &written, nullptr)) return SioErrIO;
        txQueue.erase(0, written);
        return 0;
    }
};

using PortTable = TPortTable<Port>;
PortTable& table() { return PortTable::instance(); }
std::shared_ptr<Port> findPort(int port) { return table().find(port); }
void setOpenError(int port, const std::string& text) { table().setOpenError(port, text); }

}  // namespace

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
    DWORD err = 0;
    p->h = openSerialDevice(p->path, err);
    if (p->h == INVALID_HANDLE_VALUE) {
        setOpenError(port, serialOpenProblem(p->path, static_cast<int>(err)));
        return SioErrOpenFailed;
    }
    SetupComm(p->h, static_cast<DWORD>(rxQueueSize), static_cast<DWORD>(txQueueSize));
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(p->h, &dcb)) {
        setOpenError(port, serialOpenProblem(p->path, static_cast<int>(GetLastError())));
        return SioErrOpenFailed;
    }
    p->found = dcb;
    p->haveFound = true;
    // The raw 8N1 line without flow control.
    dcb.BaudRate = defaultRate;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(p->h, &dcb) || !p->setReadMode(TReadMode::Immediate, 0)) {
        setOpenError(port, serialOpenProblem(p->path, static_cast<int>(GetLastError())));
        return SioErrOpenFailed;
    }
    PurgeComm(p->h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);

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
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(p->h, &dcb)) return SioErrIO;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = FALSE;
    switch (flow) {
    case 'N': case 'n': break;
    case 'H': case 'h': dcb.fOutxCtsFlow = TRUE; dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case 'S': case 's': dcb.fOutX = dcb.fInX = TRUE; break;
    default: return SioErrBadArgument;
    }
    return SetCommState(p->h, &dcb) ? 0 : SioErrIO;
}

int SioBaud(int port, int baudRate) {
    if (!knownRate(baudRate)) return SioErrBadRate;
    auto p = findPort(port);
    if (!p) return SioErrNotOpen;
    std::lock_guard<std::mutex> lock(p->mutex);
    if (p->closed) return SioErrNotOpen;
    if (int err = p->flush()) return err;
    const int inDriver = p->outQueue();
    if (inDriver < 0) return SioErrIO;
    if (!p->txQueue.empty() || inDriver > 0) return SioErrPending;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(p->h, &dcb)) return SioErrIO;
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    return SetCommState(p->h, &dcb) ? 0 : SioErrIO;
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
    const int inDriver = p->outQueue();
    if (inDriver < 0) return SioErrIO;
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
    if (p->txQueue.empty() && count > 0) {
        DWORD written = 0;
        if (!WriteFile(p->h, bytes, count, &written, nullptr)) return SioErrIO;
        taken = written;
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
    if (p->rxQueue.empty()) {
        const int r = p->readInto(TReadMode::Immediate, 0);
        if (r < 0) return r;
    }
    const size_t n = std::min<size_t>(max, p->rxQueue.size());
    p->rxQueue.copy(buffer, n);
    p->rxQueue.erase(0, n);
    return static_cast<int>(n);
}

int SioWaitInput(int port, int ms) {
    auto p = findPort(port);
    if (!p) return SioErrNotOpen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    for (;;) {
        std::lock_guard<std::mutex> lock(p->mutex);
        if (p->closed) return SioErrNotOpen;
        if (!p->rxQueue.empty()) return 1;
        if (int err = p->flush()) return err;
        const int left = msLeft(deadline);
        // With output queued the wait comes back now and then to send it.
        const int slice = p->txQueue.empty() ? left : std::min(left, waitSliceMs);
        const int r = slice > 0 ? p->readInto(TReadMode::Wait, static_cast<DWORD>(slice))
                                : p->readInto(TReadMode::Immediate, 0);
        if (r < 0) return r;
        if (r > 0) return 1;
        if (msLeft(deadline) == 0) return 0;
    }
}

int SioWaitOutput(int port, int ms) {
    auto p = findPort(port);
    if (!p) return SioErrNotOpen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(p->mutex);
            if (p->closed) return SioErrNotOpen;
            if (int err = p->flush()) return err;
            if (p->txQueue.size() < p->txLimit) return 1;
        }
        const int left = msLeft(deadline);
        if (left == 0) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, waitSliceMs)));
    }
}

bool SioIsOpen(int port) { return findPort(port) != nullptr; }

// Windows' COM driver has no low-latency switch of its own; a USB adapter's latency timer is
// set in its driver's properties.
bool SioLowLatency(int) { return false; }

std::string SioOpenError(int port) {
    PortTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.openErrors.find(port);
    return it == t.openErrors.end() ? std::string() : it->second;
}
