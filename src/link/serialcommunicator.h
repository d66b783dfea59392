#pragma once
// The link to the ECU over a serial port, through the serial port layer (platform/sio.h).

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/communicator.h"

namespace serial_link {
inline constexpr int queueSize = 1024;     // receive and transmit queue of the port
inline constexpr int readChunk = 1024;     // the most one read fetches from the port
inline constexpr size_t maxPutBytes = 65535;  // the most the port takes in one call
inline constexpr int bitsPerByte = 10;        // start bit, 8 data bits, stop bit
inline constexpr char noFlowControl = 'N';
inline constexpr int txPollMs = 10;        // how often setBaudRate looks at the output queue
// setBaudRate stops waiting for the output queue when it has not shrunk for this long (a line
// that stalled); a line without flow control drains continuously at any rate.
inline constexpr int txStallLimitMs = 2000;
// The longest wait for the port between two rounds of the app's event processing, so that the
// windows keep repainting while the GUI thread waits for the ECU.
inline constexpr int eventSliceMs = 25;
inline constexpr int defaultPort = 1;
inline constexpr int defaultBaudRate = 9600;
inline constexpr const char* portKey = "comm.comport";
inline constexpr const char* baudRateKey = "comm.baudrate";
inline constexpr const char* openFailedLine = "Cannot open port";
inline constexpr const char* lostText = "the serial port hung up or failed (device unplugged or closed)";
inline constexpr const char* rateStalledText = "the serial port stopped sending: output did not leave";
}  // namespace serial_link

class TSerialCommunicator : public TCommunicator {
public:
    explicit TSerialCommunicator(TOperator& op);
    // An open port is closed (what is held back goes out first): a descriptor left open would
    // keep the device busy.
    ~TSerialCommunicator() override;

    void setActive(bool on) override;
    std::string getPort() override;
    // The decimal port number, 1 for the first port of the serial port list. Throws
    // EConvertError for anything else and keeps the old number.
    void setPort(const std::string& port) override;
    int getBaudRate() override;
    // Flushes and waits until the output queue is empty, so that what was given at the old rate
    // goes out at it; then applies the rate (also stored while closed). A rate the open port
    // refuses (one it does not offer, output that stalled) marks the link lost with the reason
    // and is not recorded.
    void setBaudRate(int rate) override;
    // A stored rate the ECU does not know reads as 9600 bit/s, with a settingsWarning.
    void loadSettings() override;
    void saveSettings() override;
    bool isActive() override;
    // Held back until the next flush (see TCommunicator); nothing is held once the link is lost.
    void sendString(const std::string& text) override;
    void sendByte(uint8_t byte) override;
    // Gives up when the port takes nothing for `timeout` ms, or at once on a port that is not
    // open or has failed; a port that failed or hung up marks the link lost.
    void flush() override;
    // Flushes, then waits in the port (no busy polling) for at most what is left of `timeout`,
    // in slices between which the app handles its pending events; -1 at once once the port
    // hung up or failed (the link is then lost). The time-out counts from when the last byte
    // sent has crossed the line at the link's rate (ten bit times a byte): no reply can come
    // before the command is through, and 256 settings writes take 2.4 s at 9600 bit/s.
    int readByte() override;
    bool isSerialKind() const override { return true; }
    std::string takeArrived() override;

    // Why the last open failed, for the operator ("Permission denied on /dev/ttyUSB0: add your
    // user to the dialout group ..."); empty when it did not fail.
    std::string openError() const;

    std::string rxBuffer;  // fetched from the port, not yet handed out
    int32_t portNumber = serial_link::defaultPort;
    bool portOpen = false;
    int32_t baudRate = serial_link::defaultBaudRate;

private:
    int index() const { return portNumber - 1; }
    // Marks the link lost when an open port answers with an error.
    void portFailed(int result);
    // Hands bytes to the port until all went, the port took nothing for `timeout` ms, or it
    // failed; the last two mark the link lost, as the bytes never went out.
    void putAll(const std::string& bytes);
    // Applies the rate to the open port; false, with the link lost, when the port refused it.
    bool applyRate(int rate);

    int openIndex = -1;  // the index actually opened, closed again whatever portNumber says now
    // When the bytes handed to the port so far have crossed the line, in microseconds of
    // op.clock; a byte received shows the line has carried them.
    int64_t lineBusyUntilUs = 0;
};
