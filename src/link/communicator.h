#pragma once
// The abstract byte link to the ECU. The base implements only construction and `expect`;
// the serial and the network link supply everything else.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/services.h"

class TCommunicator {
public:
    explicit TCommunicator(TOperator& op);
    virtual ~TCommunicator() = default;
    TCommunicator(const TCommunicator&) = delete;
    TCommunicator& operator=(const TCommunicator&) = delete;

    // Opens (true) or closes (false) the link; the outcome is learnt from isActive.
    virtual void setActive(bool on) = 0;
    // The address: the serial port number, or the host of the network link.
    virtual std::string getPort() = 0;
    virtual void setPort(const std::string& port) = 0;
    // The rate number: the bit rate of the serial link, or the TCP port of the network link.
    virtual int getBaudRate() = 0;
    virtual void setBaudRate(int rate) = 0;
    // Takes the link's address and rate from the stored preferences; what was wrong with them
    // is left in settingsWarning for the front to show.
    virtual void loadSettings() = 0;
    virtual void saveSettings() = 0;

    // Waits until the bytes of `text` arrive in a row; false as soon as one byte does not
    // arrive within the read time-out, or once the reply, from its first byte on, has taken
    // longer than one read time-out (at least minReplyMs): an ECU that trickles bytes is cut
    // off about as soon as a silent one would be. Everything read stays in `received`.
    bool expect(const std::string& text);
    // The same, but false also once `maxBytes` bytes came without the text (a peer that
    // streams without end); expectOverran() then tells the two failures apart.
    bool expect(const std::string& text, size_t maxBytes);
    bool expectOverran() const { return overran; }

    // Bytes that arrived while nobody waited for them (a reply that came late or twice, a
    // stray byte): takes what the link holds and what has reached this machine, without
    // waiting, and shows it in the debug log. Called before a command, so that a leftover is
    // never taken for the command's reply. Returns what was dropped.
    std::string discardPending();
    // Reads and drops whatever arrives until the link has been silent for one read time-out
    // (at most `maxBytes` bytes): a reply that came too late for its wait is gone before the
    // next command. Returns what was dropped (also in the debug log); false in `quiet` when
    // the bytes did not stop.
    std::string settle(size_t maxBytes, bool* quiet = nullptr);

    virtual bool isActive() = 0;
    // Sends exactly the bytes of the text; no terminator is added. The serial and the network
    // link hold what they are given and hand it to the kernel in one write at the next flush:
    // a command then costs one transfer (one USB packet, one TCP segment) instead of one per
    // byte. The debug echo shows each text or byte as it is given, as before.
    virtual void sendString(const std::string& text) = 0;
    virtual void sendByte(uint8_t byte) = 0;
    // Hands everything held back to the kernel, in order. The links flush by themselves before
    // they wait for a reply (readByte), change the rate, close, and when more than
    // outputHoldLimit bytes are held; the ECU code flushes at the end of every command and
    // before every pause, so that no pause starts with a command still in the tool. A flush
    // that fails marks the link lost, as a failed write does.
    virtual void flush() {}
    // The next received byte 0..255, or -1 when none came within the read time-out. Flushes
    // first: whatever the reply answers is out before the wait begins.
    virtual int readByte() = 0;

    // The link's own read time-out of one byte, in ms (waitLimitMs aside).
    virtual int byteTimeoutMs() const { return timeout; }

    // Only the serial link answers yes: the ECU protocol switches bit rates on it alone.
    virtual bool isSerialKind() const { return false; }

    // The link found its far end gone: a hang-up, an I/O error of the device, a send that
    // failed, a connection closed from the other side. From then on reads give -1 at once and
    // sends go nowhere, and nothing is raised: callers ask here after a wait that failed and
    // after a run of writes (a write reports nothing itself). Opening the link clears it.
    bool isLost() const;
    // Why, in words for the operator ("the serial device hung up"); empty while not lost.
    std::string lostReason() const;

    static constexpr int defaultTimeoutMs = 2500;
    // However short the read time-out, a reply that has begun gets this long to complete: a
    // long settings line at 9600 bit/s takes over 100 ms.
    static constexpr int minReplyMs = 1000;
    // The most a link holds back before it flushes on its own: far above one command (a
    // firmware block is 263 bytes), and the serial port's transmit queue.
    static constexpr size_t outputHoldLimit = 1024;

    int timeout = defaultTimeoutMs;  // read time-out in ms (the serial link honours it)
    // When not negative, the read time-out of every link kind until it is set back to -1:
    // a wait whose bound is the ECU's (a flash erase) rather than the link's.
    int waitLimitMs = -1;
    std::string received;            // every byte read during the last expect
    bool debugEcho = false;          // echo traffic into the debug log
    // What the last loadSettings found wrong with the stored values and replaced, in the
    // operator's words; empty when nothing.
    std::string settingsWarning;

protected:
    // Appends to what is held back for the next flush; true when the hold is now over
    // outputHoldLimit and the caller should flush.
    bool holdBack(const char* bytes, size_t count) {
        heldOut.append(bytes, count);
        return heldOut.size() >= outputHoldLimit;
    }
    // Takes what is held back, leaving nothing.
    std::string takeHeld() {
        std::string out;
        out.swap(heldOut);
        return out;
    }
    bool holding() const { return !heldOut.empty(); }
    // Everything received and not yet read, without waiting for more.
    virtual std::string takeArrived() = 0;
    // The read time-out of one readByte: waitLimitMs when set, else the link's own.
    int readLimitMs(int ownMs) const { return waitLimitMs >= 0 ? waitLimitMs : ownMs; }

    // The first reason counts; later ones are consequences of it.
    void markLost(const std::string& why);
    void clearLost();

    TOperator& op;

private:
    std::string heldOut;  // given to sendString/sendByte, not yet handed to the kernel
    bool overran = false;
    // A notification on another thread may find the link gone while a caller asks.
    mutable std::mutex lostGuard;
    std::string lostWhy;
};

// A read time-out whose bound is the ECU's rather than the link's (waitLimitMs), for as long
// as this lives; the limit before it is put back.
class TWaitLimit {
public:
    TWaitLimit(TCommunicator& link, int ms) : link(link), saved(link.waitLimitMs) { link.waitLimitMs = ms; }
    ~TWaitLimit() { link.waitLimitMs = saved; }
    TWaitLimit(const TWaitLimit&) = delete;
    TWaitLimit& operator=(const TWaitLimit&) = delete;

private:
    TCommunicator& link;
    int saved;
};

enum class TLinkKind { Serial, Network };

// Builds a new link of the given kind with its construction defaults.
using TLinkFactory = std::function<std::unique_ptr<TCommunicator>(TLinkKind, TOperator&)>;
