#include "link/serialcommunicator.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "data/baudrates.h"
#include "platform/convert.h"
#include "platform/sio.h"

namespace sl = serial_link;

TSerialCommunicator::TSerialCommunicator(TOperator& op) : TCommunicator(op) {}

TSerialCommunicator::~TSerialCommunicator() {
    if (!portOpen) return;
    flush();
    SioDone(openIndex);
}

void TSerialCommunicator::setActive(bool on) {
    // What was given before goes to the port as it is now: out before a close or a re-open,
    // nowhere on a port that is not open (it never reaches the port opened next).
    flush();
    if (on) {
        clearLost();
        // A port still open at another index would stay busy once this link forgets it.
        if (portOpen && openIndex != index()) SioDone(openIndex);
        portOpen = false;
        if (SioReset(index(), sl::queueSize, sl::queueSize) < 0) {
            std::cout << sl::openFailedLine << std::endl;
            return;
        }
        SioFlow(index(), sl::noFlowControl);
        openIndex = index();
        portOpen = true;
        applyRate(baudRate);
    } else {
        SioDone(portOpen ? openIndex : index());
        portOpen = false;
    }
}

std::string TSerialCommunicator::getPort() { return std::to_string(portNumber); }

void TSerialCommunicator::setPort(const std::string& port) { portNumber = strToInt(port); }

int TSerialCommunicator::getBaudRate() { return baudRate; }

void TSerialCommunicator::setBaudRate(int rate) {
    flush();
    int queued = SioTxQue(index());
    int64_t lastProgress = op.clock.nowMs();
    while (queued > 0) {
        op.clock.sleepMs(sl::txPollMs);
        op.window.processPendingEvents();
        const int now = SioTxQue(index());
        if (now < queued) lastProgress = op.clock.nowMs();
        else if (op.clock.nowMs() - lastProgress >= sl::txStallLimitMs) break;
        queued = now;
    }
    if (applyRate(rate)) baudRate = rate;
}

bool TSerialCommunicator::applyRate(int rate) {
    const int result = SioBaud(index(), rate);
    if (!portOpen || result >= 0) return true;  // a closed port takes the rate at the next open
    const std::string to = "the bit rate could not be changed to " + std::to_string(rate) + " bit/s";
    if (result == SioErrBadRate) markLost(to + ": the serial port does not offer it");
    else if (result == SioErrPending) markLost(std::string(sl::rateStalledText) + "; " + to);
    else markLost(std::string(sl::lostText) + "; " + to);
    return false;
}

void TSerialCommunicator::loadSettings() {
    settingsWarning.clear();
    try {
        setPort(op.prefs.readPreference(sl::portKey));
        const int rate = strToInt(op.prefs.readPreference(sl::baudRateKey));
        if (line_rates::isKnownBaudRate(rate)) {
            setBaudRate(rate);
        } else {
            // Switching the ECU to a rate it does not know would strand it there.
            settingsWarning = "The stored bit rate " + std::to_string(rate) + " (" + sl::baudRateKey +
                              ") is not one the ECU knows (" + line_rates::knownBaudRatesText() + "): " +
                              std::to_string(sl::defaultBaudRate) + " bit/s is used.";
            setBaudRate(sl::defaultBaudRate);
        }
    } catch (const EConvertError&) {
        // A bad or missing value of either key resets both.
        setBaudRate(sl::defaultBaudRate);
        setPort(std::to_string(sl::defaultPort));
    }
}

void TSerialCommunicator::saveSettings() {
    op.prefs.writePreference(sl::portKey, getPort());
    op.prefs.writePreference(sl::baudRateKey, std::to_string(getBaudRate()));
}

bool TSerialCommunicator::isActive() { return portOpen; }

void TSerialCommunicator::portFailed(int result) {
    // On a port this link never opened (or closed) an error is what the caller asked for.
    if (portOpen && result < 0) markLost(sl::lostText);
}

void TSerialCommunicator::putAll(const std::string& bytes) {
    if (isLost()) return;
    size_t done = 0;
    int64_t lastProgress = op.clock.nowMs();
    while (done < bytes.size()) {
        const size_t left = std::min<size_t>(bytes.size() - done, sl::maxPutBytes);
        const int n = SioPuts(index(), bytes.data() + done, static_cast<unsigned>(left));
        if (n > 0) {
            done += static_cast<size_t>(n);
            lastProgress = op.clock.nowMs();
            const int64_t lineUs = int64_t{n} * sl::bitsPerByte * 1000000 / std::max(baudRate, 1);
            lineBusyUntilUs = std::max(lineBusyUntilUs, lastProgress * 1000) + lineUs;
        }
        if (done == bytes.size()) return;
        if (n < 0) {  // a port that is closed or failed
            portFailed(n);
            return;
        }
        const int64_t idle = op.clock.nowMs() - lastProgress;
        if (idle >= timeout) {
            // What did not go out is missing from the command: the ECU would take the rest for
            // garbage, so the link is not trusted any more.
            markLost("the serial port took nothing for " + std::to_string(idle) + " ms: " +
                     std::to_string(bytes.size() - done) + " of " + std::to_string(bytes.size()) +
                     " bytes were not sent");
            return;
        }
        // Wait for room until the time-out, in slices between which the app handles its events.
        const int64_t waitEnd = op.clock.nowMs() + (timeout - idle);
        for (int room = 0; room == 0;) {
            const int64_t remaining = waitEnd - op.clock.nowMs();
            if (remaining <= 0) break;
            room = SioWaitOutput(index(), static_cast<int>(std::min<int64_t>(remaining, sl::eventSliceMs)));
            if (room < 0) {
                portFailed(room);
                return;
            }
            op.window.processPendingEvents();
        }
    }
}

void TSerialCommunicator::sendString(const std::string& text) {
    if (isLost() || text.empty()) return;
    const bool full = holdBack(text.data(), text.size());
    if (debugEcho) op.log.appendTraffic(text, sentColor, TTraffic::Sent);
    if (full) flush();
}

void TSerialCommunicator::sendByte(uint8_t byte) {
    const char c = static_cast<char>(byte);
    const bool full = !isLost() && holdBack(&c, 1);
    if (debugEcho) op.log.appendTraffic("0x" + hexHH(byte), sentColor, TTraffic::Sent);
    if (full) flush();
}

void TSerialCommunicator::flush() {
    if (holding()) putAll(takeHeld());
}

int TSerialCommunicator::readByte() {
    flush();
    const int64_t start = std::max(op.clock.nowMs(), (lineBusyUntilUs + 999) / 1000);
    const int limit = readLimitMs(timeout);
    while (rxBuffer.empty()) {
        if (isLost()) return -1;
        char chunk[sl::readChunk];
        const int n = SioGets(index(), chunk, sl::readChunk);
        if (n > 0) {
            rxBuffer.append(chunk, static_cast<size_t>(n));  // zero bytes included
            // A reply came: the line has carried what it answers (a pseudo-terminal carries
            // bytes faster than any rate).
            lineBusyUntilUs = std::min(lineBusyUntilUs, op.clock.nowMs() * 1000);
            break;
        }
        portFailed(n);
        const int64_t elapsed = op.clock.nowMs() - start;
        if (elapsed > limit) return -1;
        // Wait until just past the time-out; a byte that arrives ends the wait at once.
        const int slice = static_cast<int>(std::min<int64_t>(limit - elapsed + 1, sl::eventSliceMs));
        const int waited = n < 0 ? n : SioWaitInput(index(), slice);
        if (waited < 0) {
            portFailed(waited);
            if (isLost()) return -1;
            // Nothing can arrive on a port that is not open: sit out the slice quietly.
            std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        }
        op.window.processPendingEvents();
    }
    const char c = rxBuffer.front();
    if (debugEcho) op.log.appendTraffic(std::string(1, c), receivedColor, TTraffic::Received);
    rxBuffer.erase(0, 1);
    return static_cast<uint8_t>(c);
}

std::string TSerialCommunicator::takeArrived() {
    std::string out;
    out.swap(rxBuffer);
    if (!portOpen || isLost()) return out;
    char chunk[sl::readChunk];
    for (int n; (n = SioGets(index(), chunk, sl::readChunk)) > 0;) out.append(chunk, static_cast<size_t>(n));
    if (debugEcho && !out.empty()) op.log.appendTraffic(out, receivedColor, TTraffic::Received);
    return out;
}

std::string TSerialCommunicator::openError() const { return SioOpenError(index()); }
