#include "ecu/ecu.h"

#include "platform/convert.h"

namespace proto = ecu_protocol;

namespace {

// Restores a link's read time-out when a download ends, also when it ends with an error.
class TimeoutGuard {
public:
    explicit TimeoutGuard(TCommunicator& link) : link(link), saved(link.timeout) {}
    ~TimeoutGuard() { link.timeout = saved; }

private:
    TCommunicator& link;
    int saved;
};

// The divisor the firmware takes for a bit rate; 0 for a rate it does not know.
int baudDivisor(int baudRate) {
    switch (baudRate) {
    case 9600: return 103;
    case 19200: return 51;
    case 38400: return 25;
    case 57600: return 16;
    case 115200: return 8;
    default: return 0;
    }
}

}  // namespace

TECU::TECU(TOperator& op, TLinkFactory linkFactory) : op(op), linkFactory(std::move(linkFactory)) {
    const bool serial = op.prefs.readPreference("com.Type") == "serial";
    link = this->linkFactory(serial ? TLinkKind::Serial : TLinkKind::Network, op);
    link->loadSettings();
    settings = std::make_unique<TECUSettings>();
}

TECU::~TECU() {
    try {
        if (link && link->isActive()) goodbye();
    } catch (...) {
        // A goodbye that fails while the program ends has nobody left to tell.
    }
}

void TECU::goodbye() {
    changeBaudRate(proto::handshakeRate);
    link->sendString(proto::goodbye);
    link->expect(proto::goodbyeReplyShort);
}

void TECU::setOnline(bool on) {
    if (link->isActive()) goodbye();
    link->setActive(on);
}

void TECU::useSerialLink(const std::string& port, int baudRate) {
    link.reset();
    link = linkFactory(TLinkKind::Serial, op);
    link->setPort(port);
    link->setBaudRate(baudRate);
}

void TECU::useNetworkLink(const std::string& host, int port) {
    link.reset();
    link = linkFactory(TLinkKind::Network, op);
    link->setPort(host);
    link->setBaudRate(port);
}

void TECU::setDebugEcho(bool on) {
    debugEcho = on;
    link->debugEcho = on;
}

bool TECU::connect() {
    TCommunicator& l = *link;
    const bool serial = l.isSerialKind();
    op.progress.showStep("Establishing Communications...", 5);
    l.timeout = proto::handshakeTimeoutMs;

    int savedRate = proto::handshakeRate;
    if (serial) {
        savedRate = l.getBaudRate();
        l.setBaudRate(proto::handshakeRate);
    }

    l.sendString(proto::hello);
    bool greeted = l.expect(proto::helloReply);
    if (!greeted) {
        if (l.received == proto::bootloaderReply) {
            needsFirmware = true;
            return true;
        }
        op.progress.showStep("Resetting ECU...", 10);
        l.sendString(proto::goodbye);
        if (!l.expect(proto::goodbyeReply)) {
            if (serial) l.setBaudRate(savedRate);
            op.clock.sleepMs(proto::goodbyeRetryPauseMs);
            l.sendString(proto::goodbye);
            l.expect(proto::goodbyeRetryReply);
        }
        op.progress.showStep("Establishing Communications...", 15);
        l.sendString(proto::hello);
        greeted = l.expect(proto::helloReply);
    }
    if (!greeted) {
        l.sendString(proto::identify);
        if (l.expect(proto::identifyReply)) {
            needsFirmware = true;
            return true;
        }
        if (serial) l.setBaudRate(proto::bootloaderProbeRate);
        op.clock.sleepMs(proto::bootloaderProbePauseMs);
        l.sendString(proto::identify);
        if (l.expect(proto::identifyReply)) {
            needsFirmware = true;
            return true;
        }
        return false;
    }

    op.progress.showStep("Getting Firmware Version...", 20);
    readVersion();
    if (versionMajor > 0 && savedRate != proto::handshakeRate && serial) changeBaudRate(savedRate);
    op.progress.showStep("Loading Settings...", 25);
    readSettings(50);
    op.progress.showStep("Connected...", 100);
    return true;
}

void TECU::readVersion() {
    TCommunicator& l = *link;
    l.sendString(proto::readVersion);
    if (!l.expect("\n") || !l.expect("\n")) {
        op.window.setFirmwareText("Firmware v.Unknown");
        versionText = "0.0.0";
        versionMajor = versionMinor = versionPatch = 0;
        return;
    }
    const std::string text = l.received.substr(0, l.received.size() - 1);
    // The version is three decimal numbers split at the first two dots; a part that is not a
    // number (an empty one included) ends the connection with the reply in the error.
    const size_t dot1 = text.find('.');
    const size_t dot2 = dot1 == std::string::npos ? std::string::npos : text.find('.', dot1 + 1);
    int major = 0, minor = 0, patch = 0;
    try {
        if (dot2 == std::string::npos) throw EConvertError("too few parts", text);
        major = strToInt(text.substr(0, dot1));
        minor = strToInt(text.substr(dot1 + 1, dot2 - dot1 - 1));
        patch = strToInt(text.substr(dot2 + 1));
    } catch (const EConvertError&) {
        throw EConvertError("The ECU reported a firmware version that is not a number: " +
                                quoteBytes(text),
                            text);
    }
    versionText = text;
    versionMajor = major;
    versionMinor = minor;
    versionPatch = patch;
    op.window.setFirmwareText("Firmware v." + versionText);
}

void TECU::readSettings(uint8_t progressSpan) {
    TCommunicator& l = *link;
    l.sendString(proto::readSettings);
    TimeoutGuard restore(l);
    l.timeout = proto::handshakeTimeoutMs;
    const int base = op.progress.getPosition();
    int n = 0;
    while (l.expect(proto::settingsLineEnd)) {
        const std::string& line = l.received;
        // A line without "=" takes its first two characters as the value and has no name.
        const size_t eq = line.find('=');
        const size_t valueAt = eq == std::string::npos ? 0 : eq + 1;
        const std::string digits = line.size() >= valueAt + 2 ? line.substr(valueAt, 2) : std::string();
        unsigned value = 0;
        try {
            if (digits.size() != 2) throw EConvertError("short", digits);
            value = hexToInt(digits);
        } catch (const EConvertError&) {
            throw EConvertError("The ECU sent a settings line without a hexadecimal value: " +
                                    quoteBytes(line),
                                line);
        }
        // The table has 256 slots: further lines are read to the end of the download and
        // dropped, never wrapped round onto slot 0.
        if (n < TECUSettings::slotCount) {
            const std::string name = eq == std::string::npos ? std::string() : line.substr(0, eq);
            settings->setEntry(name, static_cast<uint8_t>(value), static_cast<uint8_t>(n));
            ++n;
            if (progressSpan > 0) op.progress.setPosition(base + (progressSpan * n) / 256);
        }
    }
}

void TECU::changeBaudRate(int baudRate) {
    if (!link->isSerialKind()) return;
    link->sendString(std::string(proto::setBaudRate) + hexHH(baudDivisor(baudRate)));
    op.clock.sleepMs(proto::baudChangePauseMs);
    link->setBaudRate(baudRate);
}

void TECU::writeSetting(uint8_t index) {
    link->sendString(std::string(proto::writeSetting) + hexHH(index) + proto::writeSettingValue +
                     hexHH(settings->getValue(index)));
}

void TECU::writeAllSettings(uint8_t progressSpan) {
    const int base = op.progress.getPosition();
    for (int i = 0; i < TECUSettings::slotCount; ++i) {
        writeSetting(static_cast<uint8_t>(i));
        if (progressSpan > 0) op.progress.setPosition(base + (i * progressSpan) / 256);
    }
}

void TECU::storeSettings() { link->sendString(proto::storeSettings); }

void TECU::setOutputTestMode(bool on) {
    link->sendString(on ? proto::outputTestOn : proto::outputTestOff);
}

void TECU::setOutput(uint8_t outputCode, bool on) {
    link->sendString(std::string(proto::setOutput) +
                     hexHH(on ? outputCode + proto::outputOnFlag : outputCode));
}
