#include "ecu/ecu.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "data/ihexfile.h"
#include "platform/convert.h"
#include "platform/files.h"

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

// The rate code with which the bootloader is entered: the divisor of the link's rate, and the
// code of 9600 for any rate (or TCP port) not listed.
int bootloaderRateCode(int baudRate) {
    const int divisor = baudDivisor(baudRate);
    return divisor == 0 ? proto::unknownRateCode : divisor;
}

// Gives the link its echo back and closes the progress dialog however flashing ends, so that
// nobody is left in front of a dialog that nobody closes.
class FlashEndGuard {
public:
    FlashEndGuard(TCommunicator& link, TProgress& progress)
        : link(link), progress(progress), echo(link.debugEcho) {}
    ~FlashEndGuard() {
        link.debugEcho = echo;
        progress.close();
    }

private:
    TCommunicator& link;
    TProgress& progress;
    const bool echo;
};

std::string userBackupFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (data && *data) {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : ".") + "/.local/share";
    }
    return base + "/Harnwick/Veltrace/backups";
}

// Writes `text` to a file that did not exist before and syncs it to disk. Returns 0 or the
// errno of the failure (EEXIST when the file was there already).
int writeNewFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(path.c_str());
            return err;
        }
        done += static_cast<size_t>(n);
    }
    int err = ::fsync(fd) != 0 ? errno : 0;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) ::unlink(path.c_str());
    return err;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
    return out.empty() ? "none" : out;
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
    if (bootloaderListening) return;
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
            needsFirmware = bootloaderListening = true;
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
            needsFirmware = bootloaderListening = true;
            return true;
        }
        if (serial) l.setBaudRate(proto::bootloaderProbeRate);
        op.clock.sleepMs(proto::bootloaderProbePauseMs);
        l.sendString(proto::identify);
        if (l.expect(proto::identifyReply)) {
            needsFirmware = bootloaderListening = true;
            return true;
        }
        return false;
    }

    bootloaderListening = false;
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
    const auto notANumber = [&] {
        return EConvertError("The ECU reported a firmware version that is not a number: " + quoteBytes(text), text);
    };
    const size_t dot1 = text.find('.');
    const size_t dot2 = dot1 == std::string::npos ? std::string::npos : text.find('.', dot1 + 1);
    if (dot2 == std::string::npos) throw notANumber();
    int major = 0, minor = 0, patch = 0;
    try {
        major = strToInt(text.substr(0, dot1));
        minor = strToInt(text.substr(dot1 + 1, dot2 - dot1 - 1));
        patch = strToInt(text.substr(dot2 + 1));
    } catch (const EConvertError&) {
        throw notANumber();
    }
    versionText = text;
    versionMajor = major;
    versionMinor = minor;
    versionPatch = patch;
    op.window.setFirmwareText("Firmware v." + versionText);
}

int TECU::readSettings(uint8_t progressSpan) {
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
            settings->setEntry(name, static_cast<uint8_t>(value), static_cast<uint8_t>(n));
            if (progressSpan > 0) op.progress.setPosition(base + (progressSpan * (n + 1)) / 256);
        }
        ++n;
    }
    return n;
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

// ---- Firmware flashing ------------------------------------------------------------------

bool TECU::flashFirmware(const TIHexFile& image) {
    FlashEndGuard end(*link, op.progress);
    try {
        return runFlash(image);
    } catch (const EFlashError&) {
        throw;
    } catch (const std::exception& e) {
        // A conversion error of the new firmware's replies, or a link that failed under us.
        throw EFlashError(e.what());
    }
}

bool TECU::runFlash(const TIHexFile& image) {
    TCommunicator& l = *link;
    if (image.imageSize > static_cast<uint32_t>(proto::maxImageBytes))
        throw EFlashError("Firmware image too large: " + std::to_string(image.imageSize) +
                          " bytes (at most " + std::to_string(proto::maxImageBytes) + ")");

    // A file without data records reads as an all-zero image: flashing it would leave an ECU
    // that cannot start.
    if (image.extent == 0) throw EFlashError("Firmware image holds no data");

    op.window.setActivity(true);
    op.progress.setStatusText("Initializing...");
    op.progress.setPosition(0);
    op.progress.show();
    l.timeout = proto::flashTimeoutMs;
    const bool echo = l.debugEcho;
    l.debugEcho = false;

    // Nothing goes to the ECU before the operator's settings are safe on disk.
    lastCarryOver = TCarryOverReport{};
    lastCarryOver.backupFile = writeBackup();
    op.progress.setStatusText("Settings backed up to " + lastCarryOver.backupFile);
    op.log.appendText("\rSettings backed up to " + lastCarryOver.backupFile + "\r", expectedColor);

    bootloaderListening = true;
    l.sendString(std::string(proto::bootloaderEntry) + hexHH(bootloaderRateCode(l.getBaudRate())) +
                 proto::bootloaderEntryEnd);

    for (int tries = 0;; ++tries) {
        l.sendString(proto::sync);
        if (tries >= proto::syncTries) throw EFlashError("Error syncing ECU");
        if (l.expect(proto::syncReply)) break;
    }
    for (int tries = 0;; ++tries) {
        l.sendString(proto::identify);
        if (tries >= proto::identifyTries) throw EFlashError("Unable to determine ECU type");
        if (l.expect(proto::identifyReply)) break;
    }

    op.progress.setStatusText("Erasing flash...");
    l.sendString(proto::erase);
    l.timeout = proto::eraseTimeoutMs;
    l.expect(proto::ack);
    l.timeout = proto::flashTimeoutMs;

    const int n = static_cast<int>((image.imageSize + proto::blockBytes - 1) / proto::blockBytes);
    for (int j = 0; j < n; ++j) programBlock(image, j, n);

    op.progress.setStatusText("Resetting ECU...");
    l.sendString(proto::leaveBootloader);
    bootloaderListening = false;
    l.debugEcho = echo;

    if (l.isSerialKind()) {
        const int rate = l.getBaudRate();
        l.setBaudRate(proto::handshakeRate);
        op.clock.sleepMs(proto::greetingRatePauseMs);
        l.sendString(proto::hello);
        if (!l.expect(proto::greetingReply)) op.window.reportMessage("lost comm!" + l.received);
        changeBaudRate(rate);
        op.clock.sleepMs(proto::greetingRatePauseMs);
    }

    readVersion();
    op.progress.setStatusText("Uploading MAP...");
    const std::unique_ptr<TECUSettings> before = settings->clone();
    // The new firmware's table replaces the old one whole: a slot past its last line is no
    // setting of the new firmware and must not keep an old name (nor count as carried over).
    *settings = TECUSettings{};
    const int lines = readSettings(12);
    op.progress.setStatusText("Saving Configuration...");
    if (lines == 0) {
        // Without the new firmware's table nobody knows its layout: writing the old values
        // by the old slots could put every setting in the wrong place.
        *settings = *before;
        throw EFlashError("The firmware was written, but the new firmware sent no settings: "
                          "nothing was written to it. Your settings are saved in " +
                          lastCarryOver.backupFile);
    }
    settings->copyValuesByName(*before);
    reportCarryOver(*before);
    writeAllSettings(13);
    storeSettings();

    op.window.repaint();
    return true;
}

void TECU::programBlock(const TIHexFile& image, int j, int n) {
    TCommunicator& l = *link;
    const std::string label = std::to_string(j + 1) + " of " + std::to_string(n);
    const unsigned wordAddress = static_cast<unsigned>(j) * (proto::blockBytes / 2);
    const auto byteAt = [&](size_t offset) -> uint8_t {
        return offset < image.imageSize ? image.image[offset] : 0xFF;
    };
    int addressSends = 0;
    for (int blockSends = 1;; ++blockSends) {
        op.progress.setPosition(((j + 1) * 50) / n);
        op.progress.setStatusText("Programming block " + label);

        bool addressed = false;
        while (!addressed) {
            if (!l.isActive()) throw EFlashError("Lost connection with ECU at block " + label);
            if (addressSends >= proto::maxAddressSends)
                throw EFlashError("ECU did not accept block " + label);
            ++addressSends;
            l.sendByte(proto::addressCommand);
            l.sendByte(static_cast<uint8_t>(wordAddress >> 8));
            l.sendByte(static_cast<uint8_t>(wordAddress & 0xFF));
            addressed = l.expect(proto::ack);
        }

        l.sendString(proto::blockHeader);
        l.sendByte(proto::blockHeaderEnd);
        unsigned sum = wordAddress, x = wordAddress;
        const size_t first = static_cast<size_t>(j) * proto::blockBytes;
        for (size_t k = 0; k < proto::blockBytes / 2; ++k) {
            const uint8_t lo = byteAt(first + 2 * k), hi = byteAt(first + 2 * k + 1);
            l.sendByte(lo);
            l.sendByte(hi);
            const unsigned word = lo + 256u * hi;
            sum = (sum + word) & 0xFFFF;
            x ^= word;
        }
        l.sendByte(static_cast<uint8_t>(sum >> 8));
        l.sendByte(static_cast<uint8_t>(sum & 0xFF));
        l.sendByte(static_cast<uint8_t>(x >> 8));
        l.sendByte(static_cast<uint8_t>(x & 0xFF));
        if (l.expect(proto::ack)) return;

        op.progress.setStatusText("ECU Checksum Error!" + l.received + std::to_string(sum));
        if (blockSends >= proto::maxBlockSends) throw EFlashError("ECU did not accept block " + label);
        op.clock.sleepMs(proto::refusedBlockPauseMs);
    }
}

std::string TECU::writeBackup() {
    const std::string folder = backupFolder.empty() ? userBackupFolder() : backupFolder;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec)
        throw EFlashError("Cannot write the settings backup to " + folder + ": " + ec.message() +
                          "; nothing was sent to the ECU");

    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
    const std::string text = settingsToText(*settings);
    // A new file every time: a second flash within the same second gets a numbered name.
    for (int k = 1; k < 100; ++k) {
        const std::string path = folder + "/settings-" + stamp +
                                 (k == 1 ? std::string() : "-" + std::to_string(k)) + ".txt";
        const int err = writeNewFile(path, text);
        if (err == 0) return path;
        if (err != EEXIST)
            throw EFlashError("Cannot write the settings backup " + path + ": " +
                              std::strerror(err) + "; nothing was sent to the ECU");
    }
    throw EFlashError("Cannot write the settings backup to " + folder +
                      ": too many backups with the same time");
}

void TECU::reportCarryOver(const TECUSettings& before) {
    TCarryOverReport& r = lastCarryOver;
    for (int i = 0; i < TECUSettings::slotCount; ++i) {
        const auto slot = static_cast<uint8_t>(i);
        const std::string& now = settings->getName(slot);
        if (!now.empty()) {
            if (before.findName(now, slot) >= 0) ++r.kept;
            else r.newNames.push_back(now);
        }
        const std::string& old = before.getName(slot);
        if (!old.empty() && settings->findName(old, slot) < 0) r.droppedNames.push_back(old);
    }
    const std::string summary = "Carried over " + std::to_string(r.kept) + " settings; " +
                                std::to_string(r.newNames.size()) + " new, " +
                                std::to_string(r.droppedNames.size()) + " no longer in the firmware";
    const std::string text = summary + "\rFirmware version: " + versionText +
                             "\rNew in this firmware (firmware's value kept): " + joined(r.newNames) +
                             "\rNo longer in this firmware: " + joined(r.droppedNames) +
                             "\rBackup of the settings before the flash: " + r.backupFile + "\r";
    op.progress.setStatusText(summary);
    op.log.appendText("\r" + text, expectedColor);

    std::string file = r.backupFile;
    const size_t ext = file.rfind(".txt");
    if (ext != std::string::npos) file.erase(ext);
    file += "-carryover.txt";
    std::string plain = text;
    for (char& c : plain)
        if (c == '\r') c = '\n';
    // The flash has gone through; a report that cannot be written is told, not fatal.
    if (const int err = writeNewFile(file, plain); err == 0)
        r.reportFile = file;
    else
        op.log.appendText("\rCannot write " + file + ": " + std::strerror(err) + "\r", expectedColor);
}

// ---- Settings import --------------------------------------------------------------------

namespace {

// The lines of a settings file: CR LF, LF or CR end a line, a break at the very end adds no
// empty line, and the text ends at the first NUL byte.
std::vector<std::string> readLines(const std::string& fileName) {
    std::string text;
    if (const int err = readWholeFile(fileName, text))
        throw EInOutError("Cannot read settings file " + fileName + ": " + std::strerror(err));

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

}  // namespace

bool TECU::importSettings(const std::string& fileName) {
    TCommunicator& l = *link;
    op.progress.setStatusText("Uploading Table...");
    op.progress.setPosition(0);
    op.progress.show();

    std::vector<std::string> lines;
    try {
        lines = readLines(fileName);
    } catch (const EInOutError& e) {
        op.progress.hide();
        op.window.reportMessage(e.what());
        return false;
    }

    l.sendString(proto::goodbye);
    if (!l.expect(proto::goodbyeReplyShort)) {
        op.progress.hide();
        op.window.reportMessage("Lost connection with ECU!");
        return false;
    }
    const size_t count = lines.size();
    for (size_t i = 0; i < count; ++i) {
        op.progress.setPosition(static_cast<int>((i * 100) / count));
        l.sendString(lines[i]);
        op.clock.sleepMs(proto::importLinePauseMs);
    }
    l.sendString(proto::hello);
    const bool greeted = l.expect(proto::importGreetingReply);
    if (!greeted) op.window.reportMessage("Settings import failed!");
    op.progress.hide();
    return greeted;
}
