#pragma once
// The abstract byte link to the ECU. The base implements only construction and `expect`;
// the serial and the network link supply everything else.

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
    virtual void loadSettings() = 0;
    virtual void saveSettings() = 0;

    // Waits until the bytes of `text` arrive in a row; false as soon as one byte does not
    // arrive within the read time-out. Everything read stays in `received`.
    bool expect(const std::string& text);
    // The same, but false also once `maxBytes` bytes came without the text (a peer that
    // streams without end); expectOverran() then tells the two failures apart.
    bool expect(const std::string& text, size_t maxBytes);
    bool expectOverran() const { return overran; }

    virtual bool isActive() = 0;
    // Sends exactly the bytes of the text; no terminator is added.
    virtual void sendString(const std::string& text) = 0;
    virtual void sendByte(uint8_t byte) = 0;
    // The next received byte 0..255, or -1 when none came within the read time-out.
    virtual int readByte() = 0;

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

    int timeout = defaultTimeoutMs;  // read time-out in ms (the serial link honours it)
    std::string received;            // every byte read during the last expect
    bool debugEcho = false;          // echo traffic into the debug log

protected:
    // The first reason counts; later ones are consequences of it.
    void markLost(const std::string& why);
    void clearLost();

    TOperator& op;

private:
    bool overran = false;
    // A notification on another thread may find the link gone while a caller asks.
    mutable std::mutex lostGuard;
    std::string lostWhy;
};

enum class TLinkKind { Serial, Network };

// Builds a new link of the given kind with its construction defaults.
using TLinkFactory = std::function<std::unique_ptr<TCommunicator>(TLinkKind, TOperator&)>;
