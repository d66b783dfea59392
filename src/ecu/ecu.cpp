#include "ecu/ecu.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "data/ihexfile.h"
#include "platform/convert.h"
#include "platform/files.h"

namespace proto = ecu_protocol;

namespace {

// Restores a link's read time-outs when a download ends, also when it ends with an error.
class TimeoutGuard {
public:
    explicit TimeoutGuard(TCommunicator& link) : link(link), saved(link.timeout), savedLimit(link.waitLimitMs) {}
    ~TimeoutGuard() {
        link.timeout = saved;
        link.waitLimitMs = savedLimit;
    }

private:
    TCommunicator& link;
    int saved;
    int savedLimit;
};

// Bytes that hold a settings line: a name, "=" and the CR LF that ends it.
bool holdsSettingsLine(const std::string& bytes) {
    const size_t eq = bytes.find('=');
    return eq != std::string::npos && bytes.find(proto::settingsLineEnd, eq) != std::string::npos;
}

// The three numbers of a version text "1.0.22"; false for anything else ("1.1", "1.2.0-rc1").
bool versionNumbers(const std::string& text, int& major, int& minor, int& patch) {
    const size_t dot1 = text.find('.');
    const size_t dot2 = dot1 == std::string::npos ? std::string::npos : text.find('.', dot1 + 1);
    if (dot2 == std::string::npos) return false;
    try {
        major = strToInt(text.substr(0, dot1));
        minor = strToInt(text.substr(dot1 + 1, dot2 - dot1 - 1));
        patch = strToInt(text.substr(dot2 + 1));
    } catch (const EConvertError&) {
        return false;
    }
    return true;
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
    if (bootloaderListening || link->isLost()) return;
    changeBaudRate(proto::handshakeRate);
    // The goodbye goes out whatever came before it; settings lines found on the way (pending
    // now, or ahead of the "Bye") mean the last download had paused past its end: the table is
    // marked disturbed and dropped. "Bye" gets at least a second, so that such lines are seen.
    try {
        dropStale("before the goodbye");
    } catch (const EReplyError&) {
    }
    link->sendString(proto::goodbye);
    {
        TWaitLimit limit(*link, std::max(link->byteTimeoutMs(), TCommunicator::minReplyMs));
        link->expect(proto::goodbyeReplyShort, proto::maxReplyBytes);
    }
    if (holdsSettingsLine(link->received) && settingsLines >= 0) {
        tableDisturbed = true;
        settings = std::make_unique<TECUSettings>();
        settingsLines = -1;
    }
}

void TECU::pause(int ms) {
    link->flush();
    op.clock.sleepMs(ms);
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

void TECU::confirmLink(const std::string& where) {
    link->flush();
    if (link->isLost())
        throw ELinkLost("Lost connection with ECU " + where + ": " + link->lostReason());
    if (!link->isActive()) throw ELinkLost("Lost connection with ECU " + where + ": the link is closed");
}

void TECU::dropStale(const std::string& where) {
    const std::string stale = link->discardPending();
    if (!holdsSettingsLine(stale) || settingsLines < 0) return;
    tableDisturbed = true;
    settings = std::make_unique<TECUSettings>();
    settingsLines = -1;
    throw EReplyError("The ECU sent settings lines " + where + ", after its settings download had ended (a pause "
                      "inside the download): the table read is incomplete and is not used. Go online again");
}

bool TECU::await(const std::string& text, const std::string& where) {
    if (link->expect(text, proto::maxReplyBytes)) return true;
    if (link->expectOverran())
        throw EReplyError("The ECU sent " + std::to_string(link->received.size()) + " bytes " + where +
                          " without the awaited " + quoteBytes(text) +
                          ": it does not speak the ECU's protocol at this bit rate");
    if (link->isLost()) confirmLink(where);
    return false;
}

bool TECU::connect() {
    TCommunicator& l = *link;
    const bool serial = l.isSerialKind();
    const std::string where = "while connecting";
    // Nothing read from an ECU before (maybe another one on the same link) counts any more.
    settings = std::make_unique<TECUSettings>();
    settingsLines = -1;
    tableDisturbed = false;
    unstored.stored();  // a new connection: nothing is known of writes before it
    needsFirmware = bootloaderListening = false;
    versionText = "0.0.0";
    firmwareText.clear();
    versionMajor = versionMinor = versionPatch = 0;
    link->discardPending();
    op.progress.showStep("Establishing Communications...", 5);
    l.timeout = proto::handshakeTimeoutMs;

    int savedRate = proto::handshakeRate;
    if (serial) {
        savedRate = l.getBaudRate();
        l.setBaudRate(proto::handshakeRate);
    }

    l.sendString(proto::hello);
    bool greeted = await(proto::helloReply, where);
    if (!greeted) {
        if (l.received == proto::bootloaderReply) {
            needsFirmware = bootloaderListening = true;
            return true;
        }
        op.progress.showStep("Resetting ECU...", 10);
        l.sendString(proto::goodbye);
        if (!await(proto::goodbyeReply, where)) {
            if (serial) l.setBaudRate(savedRate);
            pause(proto::goodbyeRetryPauseMs);
            l.sendString(proto::goodbye);
            await(proto::goodbyeRetryReply, where);
        }
        op.progress.showStep("Establishing Communications...", 15);
        l.sendString(proto::hello);
        greeted = await(proto::helloReply, where);
    }
    if (!greeted) {
        l.sendString(proto::identify);
        if (await(proto::identifyReply, where)) {
            needsFirmware = bootloaderListening = true;
            return true;
        }
        if (serial) l.setBaudRate(proto::bootloaderProbeRate);
        pause(proto::bootloaderProbePauseMs);
        l.sendString(proto::identify);
        if (await(proto::identifyReply, where)) {
            needsFirmware = bootloaderListening = true;
            return true;
        }
        return false;
    }

    // The firmware answers: an earlier connect that found only the bootloader no longer counts.
    needsFirmware = bootloaderListening = false;
    op.progress.showStep("Getting Firmware Version...", 20);
    readVersion();
    if (versionMajor > 0 && savedRate != proto::handshakeRate && serial) changeBaudRate(savedRate);
    op.progress.showStep("Loading Settings...", 25);
    readSettings(50);
    op.progress.showStep("Connected...", 100);
    return true;
}

bool TECU::readVersion() {
    TCommunicator& l = *link;
    const std::string where = "while reading the firmware version";
    dropStale(where);
    l.sendString(proto::readVersion);
    std::string first;
    if (await("\n", where)) first = l.received;
    if (first.empty() || !await("\n", where)) {
        firmwareText = "Firmware v.Unknown";
        op.window.setFirmwareText(firmwareText);
        versionText = "0.0.0";
        versionMajor = versionMinor = versionPatch = 0;
        return false;
    }
    // Two lines: the first with text (it may end in CR LF), the version's ended by LF alone. An
    // empty first line or a CR anywhere else is a greeting or a settings line that does not
    // belong here, and the version would be taken from the wrong line.
    const size_t firstCr = first.find('\r');
    if (first.size() < 2 || (firstCr != std::string::npos && firstCr + 2 != first.size()) ||
        (firstCr != std::string::npos && first.size() < 3) || l.received.find('\r') != std::string::npos)
        throw EReplyError("The ECU's version reply is not two plain lines: " + quoteBytes(first + l.received) +
                          "; nothing more is read");
    versionText = l.received.substr(0, l.received.size() - 1);
    // A version that is not three numbers is shown all the same; its numbers stay 0, so that
    // nothing (a rate switch) is decided on it, and the ECU stays reachable for a new flash.
    int major = 0, minor = 0, patch = 0;
    if (!versionNumbers(versionText, major, minor, patch)) major = minor = patch = 0;
    versionMajor = major;
    versionMinor = minor;
    versionPatch = patch;
    firmwareText = "Firmware v." + versionText;
    op.window.setFirmwareText(firmwareText);
    return true;
}

int TECU::readSettings(uint8_t progressSpan) {
    settingsLines = downloadSettings(*settings, progressSpan, "during the settings download");
    return settingsLines;
}

int TECU::downloadSettings(TECUSettings& table, uint8_t progressSpan, const std::string& where, int knownLines) {
    TCommunicator& l = *link;
    dropStale(where);
    l.sendString(proto::readSettings);
    TimeoutGuard restore(l);
    l.timeout = proto::handshakeTimeoutMs;
    const int base = op.progress.getPosition();
    const int64_t deadline = op.clock.nowMs() + proto::settingsDownloadLimitMs;
    int n = 0;
    // Each line is taken only as the ECU frames it: name, "=", value, CR LF, and no other CR or
    // LF. A line ended otherwise would swallow the next one and shift every slot after it.
    const auto refuse = [&](const std::string& why) {
        return EReplyError("The ECU's settings download broke off at line " + std::to_string(n + 1) + ": " + why +
                           "; the table is not used");
    };
    for (;;) {
        // A read-back knows how many lines the firmware sends: once they are in, a short silence
        // ends it; a further line puts the usual wait back.
        l.waitLimitMs = knownLines > 0 && n == knownLines ? proto::handshakeTimeoutMs : -1;
        if (!await(proto::settingsLineEnd, where)) {
            if (!l.received.empty()) throw refuse("it ended inside the line " + quoteBytes(l.received));
            break;
        }
        if (op.clock.nowMs() > deadline)
            throw refuse("the download did not end within " + std::to_string(proto::settingsDownloadLimitMs / 1000) + " s");
        if (n >= proto::maxSettingsLines)
            throw EReplyError("The ECU sent more than " + std::to_string(proto::maxSettingsLines) +
                              " settings lines without falling silent: no table is that long");
        const std::string& line = l.received;
        if (line.find_first_of("\r\n") != line.size() - 2)
            throw refuse("a line break inside " + quoteBytes(line));
        // A line without "=" takes its first two characters as the value and has no name.
        const size_t eq = line.find('=');
        const size_t valueAt = eq == std::string::npos ? 0 : eq + 1;
        const auto notHex = [&] {
            return EConvertError(
                "The ECU sent a settings line without a hexadecimal value: " + quoteBytes(line), line);
        };
        if (line.size() < valueAt + 2) throw notHex();
        unsigned value = 0;
        try {
            value = hexToInt(line.substr(valueAt, 2));
        } catch (const EConvertError&) {
            throw notHex();
        }
        // The table has 256 slots: further lines are read to the end of the download and
        // dropped, never wrapped round onto slot 0.
        if (n < TECUSettings::slotCount) {
            const std::string name = eq == std::string::npos ? std::string() : line.substr(0, eq);
            table.setEntry(name, static_cast<uint8_t>(value), static_cast<uint8_t>(n));
            if (progressSpan > 0) op.progress.setPosition(base + (progressSpan * (n + 1)) / 256);
        }
        ++n;
    }
    return n;
}

std::string differencesText(const std::vector<std::string>& differences) {
    std::string text;
    for (const std::string& d : differences) text += (text.empty() ? "" : "; ") + d;
    return text;
}

std::vector<std::string> TECU::checkSettings() {
    const int expected = settingsLines < 0 ? 0 : std::min(settingsLines, TECUSettings::slotCount);
    TECUSettings now;
    // A link found lost here may have gone before the writes and the store reached the ECU.
    const int lines = downloadSettings(now, 0,
                                       "while reading the settings back (whether the ECU received what was written "
                                       "before, and stored it, is not known)",
                                       settingsLines);
    std::vector<std::string> differences;
    if (lines == 0) return {"the ECU sent no settings back"};
    if (lines != settingsLines)
        differences.push_back("the ECU sent " + std::to_string(lines) + " settings lines, not " +
                              std::to_string(settingsLines));
    for (int i = 0; i < std::min(expected, lines); ++i) {
        const auto slot = static_cast<uint8_t>(i);
        const std::string& name = settings->getName(slot);
        const std::string label = (name.empty() ? std::string("unnamed") : name) + " (slot " + std::to_string(i) + ")";
        if (now.getName(slot) != name)
            differences.push_back(label + " is now named " + quoteBytes(now.getName(slot)));
        else if (now.getValue(slot) != settings->getValue(slot))
            differences.push_back(label + " holds " + std::to_string(now.getValue(slot)) + ", not " +
                                  std::to_string(settings->getValue(slot)));
    }
    return differences;
}

void TECU::changeBaudRate(int baudRate) {
    if (!link->isSerialKind()) return;
    if (!proto::isKnownBaudRate(baudRate)) {
        op.log.appendText("\rBit rate " + std::to_string(baudRate) + " is not one the ECU knows (" +
                              proto::knownBaudRatesText() + "): the rate is not changed\r",
                          expectedColor);
        return;
    }
    link->sendString(std::string(proto::setBaudRate) + hexHH(proto::divisorFor(baudRate)));
    pause(proto::baudChangePauseMs);
    link->setBaudRate(baudRate);
}

void TECU::writeSetting(uint8_t index) {
    dropStale("before a setting was written");
    link->sendString(std::string(proto::writeSetting) + hexHH(index) + proto::writeSettingValue +
                     hexHH(settings->getValue(index)));
    link->flush();
    unstored.written(index);
}

void TECU::writeSettingConfirmed(uint8_t index, uint8_t value, const std::string& note) {
    settings->setValue(index, value);
    writeSetting(index);
    const std::string& name = settings->getName(index);
    confirmLink("while writing " + (name.empty() ? "unnamed slot " + std::to_string(index) : shownSettingName(name)) +
                (note.empty() ? "" : " (" + note + ")"));
}

void TECU::writeAllSettings(uint8_t progressSpan) {
    const int base = op.progress.getPosition();
    for (int i = 0; i < TECUSettings::slotCount; ++i) {
        writeSetting(static_cast<uint8_t>(i));
        if (link->isLost())
            confirmLink("while writing the settings (from slot " + std::to_string(i) +
                        " on the ECU did not receive them, and over a network link the ones before may be "
                        "missing too)");
        if (progressSpan > 0) op.progress.setPosition(base + (i * progressSpan) / 256);
    }
}

// The write commands await no reply: each leaves at once, as one write.
void TECU::storeSettings() {
    dropStale("before the settings were stored");
    link->sendString(proto::storeSettings);
    unstored.stored();
    // The ECU is writing its EEPROM: whatever came meanwhile would be lost.
    pause(proto::storePauseMs);
}

void TECU::storeConfirmed() {
    storeSettings();
    confirmLink("while the ECU was told to store its settings (they may not be stored)");
}

void TECU::setOutputTestMode(bool on) {
    link->sendString(on ? proto::outputTestOn : proto::outputTestOff);
    link->flush();
}

void TECU::setOutput(uint8_t outputCode, bool on) {
    link->sendString(std::string(proto::setOutput) +
                     hexHH(on ? outputCode + proto::outputOnFlag : outputCode));
    link->flush();
}

void TECU::setOutputConfirmed(uint8_t outputCode, bool on, const std::string& name) {
    setOutput(outputCode, on);
    confirmLink("while switching " + name + " (output " + std::to_string(outputCode) + ")" + (on ? " on" : " off"));
}

// ---- Settings import --------------------------------------------------------------------

std::vector<std::string> readSettingsFile(const std::string& fileName) {
    std::string text;
    if (const std::string why = readWholeFile(fileName, text); !why.empty())
        throw EInOutError("Cannot read settings file " + fileName + ": " + why);

    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

TImportOutcome TECU::importSettings(const std::string& fileName) {
    std::vector<std::string> lines;
    try {
        lines = readSettingsFile(fileName);
    } catch (const EInOutError& e) {
        return {e.what()};
    }
    return importSettings(lines);
}

TImportOutcome TECU::importSettings(const std::vector<std::string>& lines) {
    TCommunicator& l = *link;
    op.progress.setStatusText("Uploading Table...");
    op.progress.setPosition(0);
    op.progress.show();

    try {
        l.discardPending();
        l.sendString(proto::goodbye);
        if (!l.expect(proto::goodbyeReplyShort, proto::maxReplyBytes)) {
            op.progress.hide();
            return {"Lost connection with ECU!"};
        }
        const size_t count = lines.size();
        for (size_t i = 0; i < count; ++i) {
            op.progress.setPosition(static_cast<int>((i * 100) / count));
            l.sendString(lines[i]);
            pause(proto::importLinePauseMs);
        }
        // A greeting that came unasked (after "Bye", say) must not answer this one.
        l.discardPending();
        l.sendString(proto::hello);
        if (!l.expect(proto::importGreetingReply, proto::maxReplyBytes)) {
            const std::string failed = "Settings import failed!";
            return {l.isLost() ? failed + " Lost connection with ECU: " + l.lostReason() : failed, true};
        }
    } catch (...) {
        op.progress.hide();  // a link that failed under the import: its error goes up, the dialog goes
        throw;
    }
    // The file changed the ECU's values: the table is read again, so that what is shown, backed
    // up and carried over by a later flash is what the ECU holds now.
    TImportOutcome outcome;
    try {
        op.progress.setStatusText("Loading Settings...");
        readSettings(0);
    } catch (const std::exception& e) {
        outcome.failure = std::string("The settings were imported, but reading them back failed: ") + e.what();
    }
    op.progress.hide();
    return outcome;
}
