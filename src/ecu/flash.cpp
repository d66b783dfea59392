// Firmware flashing: the settings backed up, the image programmed through the ECU's serial
// bootloader, the settings carried over to the new firmware by name and read back.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "data/ihexfile.h"
#include "data/namematch.h"
#include "ecu/ecu.h"
#include "ecu/firmwareimage.h"
#include "platform/convert.h"
#include "platform/files.h"

namespace proto = ecu_protocol;

namespace {

// The rate code with which the bootloader is entered: the divisor of the link's rate, and the
// code of 9600 for any rate (or TCP port) not listed.
int bootloaderRateCode(int baudRate) {
    const int divisor = proto::divisorFor(baudRate);
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

// "label: a, b, c" as lines of at most `width` columns, items never split; continuation lines
// are indented. "none" for an empty list.
std::string wrappedList(const std::string& label, const std::vector<std::string>& items, size_t width) {
    constexpr size_t indent = 4;
    std::string out = label;
    size_t column = label.size();
    if (items.empty()) return out + " none\n";
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string item = items[i] + (i + 1 < items.size() ? "," : "");
        if (column + 1 + item.size() > width && column > indent) {
            out += "\n" + std::string(indent, ' ') + item;
            column = indent + item.size();
        } else {
            out += " " + item;
            column += 1 + item.size();
        }
    }
    return out + "\n";
}

bool anyNamed(const TECUSettings& table) {
    for (int i = 0; i < TECUSettings::slotCount; ++i)
        if (!table.getName(static_cast<uint8_t>(i)).empty()) return true;
    return false;
}

}  // namespace

std::string carryOverText(const TCarryOverReport& r, size_t width) {
    const auto shown = [](const std::vector<std::string>& names) {
        std::vector<std::string> out;
        for (const auto& n : names) out.push_back(shownSettingName(n));
        return out;
    };
    std::string text = "Carried over " + std::to_string(r.kept) + " settings; " + std::to_string(r.newNames.size()) +
                       " new, " + std::to_string(r.droppedNames.size()) + " no longer in the firmware\n" +
                       wrappedList("New in this firmware (firmware's value kept):", shown(r.newNames), width) +
                       wrappedList("No longer in this firmware:", shown(r.droppedNames), width);
    if (!r.unnamedChanged.empty())
        text += wrappedList("Unnamed slots the flash changed:", r.unnamedChanged, width);
    if (r.linesDropped > 0)
        text += "The old firmware sent " + std::to_string(r.linesDropped) + " settings lines past the table's " +
                std::to_string(TECUSettings::slotCount) + " slots: they were neither backed up nor carried over\n";
    return text;
}

std::string flashReportText(const TCarryOverReport& r, const std::string& firmwareText, size_t width) {
    std::string text = "Firmware updated: " + firmwareText + "\n\n";
    text += r.backupFile.empty() ? "No settings backup: the ECU answered only through its bootloader, so it had "
                                   "no settings to read\n"
                                 : "Settings backed up to " + r.backupFile + "\n";
    text += carryOverText(r, width);
    if (!r.reportFile.empty()) text += "Report written to " + r.reportFile + "\n";
    return text;
}

std::string unwrittenReportText(const TCarryOverReport& r) {
    if (r.reportError.empty()) return {};
    return "the firmware and the settings are in place, but the carry-over report could not be written to " +
           r.reportError;
}

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

void TECU::checkImage(const TIHexFile& image) {
    // The fronts refuse such a file when it is read; this is the flash's own guard.
    if (std::string why = imageRefusal(image); !why.empty()) {
        why[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(why[0])));  // a message of its own
        throw EFlashError(why);
    }
    // A running firmware that sent no settings (a download that brought nothing): they can be
    // neither backed up nor carried over.
    if (!bootloaderListening && settingsLines == 0)
        throw EFlashError("The ECU sent no settings when it was connected, so they can be neither backed up "
                          "nor carried over; nothing was sent to the ECU. Go online again and check that "
                          "the settings come through before flashing.");
}

bool TECU::runFlash(const TIHexFile& image) {
    TCommunicator& l = *link;
    checkImage(image);

    op.window.setActivity(true);
    op.progress.setStatusText("Initializing...");
    op.progress.setPosition(0);
    op.progress.show();
    l.timeout = proto::flashTimeoutMs;
    const bool echo = l.debugEcho;
    l.debugEcho = false;

    // Nothing goes to the ECU before the operator's settings are safe on disk. With nothing
    // read (an ECU found answering only through its bootloader) there is nothing to keep, and
    // an empty backup would only hide the last real one.
    lastCarryOver = TCarryOverReport{};
    lastCarryOver.linesDropped = std::max(0, settingsLines - TECUSettings::slotCount);
    if (lastCarryOver.linesDropped > 0)
        op.window.reportMessage("The ECU sent " + std::to_string(settingsLines) + " settings lines, but the table holds " +
                                std::to_string(TECUSettings::slotCount) + ": the last " +
                                std::to_string(lastCarryOver.linesDropped) +
                                " are neither backed up nor carried over by this flash");
    if (anyNamed(*settings) || settingsLines > 0) {
        lastCarryOver.backupFile = writeBackup();
        op.progress.setStatusText("Settings backed up to " + lastCarryOver.backupFile);
        op.log.appendText("\rSettings backed up to " + lastCarryOver.backupFile + "\r", expectedColor);
    } else {
        op.log.appendText("\rNo settings backup: no settings were read from the ECU\r", expectedColor);
    }

    // From here on the ECU leaves its firmware: whatever ends the update, the operator needs
    // to know where the settings are.
    try {
        bootloaderListening = true;
        l.sendString(std::string(proto::bootloaderEntry) + hexHH(bootloaderRateCode(l.getBaudRate())) +
                     proto::bootloaderEntryEnd);
        l.flush();

        const std::string entering = "while entering the bootloader";
        for (int tries = 0;; ++tries) {
            l.discardPending();
            l.sendString(proto::sync);
            if (tries >= proto::syncTries) throw EFlashError("Error syncing ECU");
            if (await(proto::syncReply, entering)) break;
        }
        for (int tries = 0;; ++tries) {
            l.discardPending();
            l.sendString(proto::identify);
            if (tries >= proto::identifyTries) throw EFlashError("Unable to determine ECU type");
            if (await(proto::identifyReply, entering)) break;
        }

        op.progress.setStatusText("Erasing flash...");
        l.discardPending();
        l.sendString(proto::erase);
        // Its own bound on every link: a CR that came after the wait would be taken for the
        // first address's acknowledgement, and every reply after it for the one before.
        const bool erased = [&] {
            TWaitLimit limit(l, proto::eraseLimitMs);
            return await(proto::ack, "while erasing the flash");
        }();
        if (!erased)
            throw EFlashError("The ECU did not report its flash erased within " +
                              std::to_string(proto::eraseLimitMs / 1000) +
                              " s: nothing was programmed. The ECU waits in its bootloader; flash it again");
        l.timeout = proto::flashTimeoutMs;

        const int n = static_cast<int>((image.imageSize + proto::blockBytes - 1) / proto::blockBytes);
        std::vector<int> sends(static_cast<size_t>(n), 0);
        for (int j = 0; j < n;) {
            // A block whose acknowledgement is put in doubt goes again; so does the last one
            // when anything arrives after it.
            if (!programBlock(image, j, n, sends)) {
                --j;
                continue;
            }
            ++j;
            if (j == n) {
                TWaitLimit limit(l, proto::lastReplyQuietMs);
                bool quiet = true;
                const bool late = !l.settle(proto::maxReplyBytes, &quiet).empty();
                if (!quiet) throw EReplyError("The ECU's bootloader does not fall silent after the last block");
                if (late) --j;
            }
        }

        op.progress.setStatusText("Resetting ECU...");
        l.sendString(proto::leaveBootloader);
        l.flush();
        l.debugEcho = echo;
        carrySettingsOver();
    } catch (const std::exception& e) {
        std::string text = e.what();
        if (!lastCarryOver.backupFile.empty() && text.find(lastCarryOver.backupFile) == std::string::npos)
            text += ". Your settings are saved in " + lastCarryOver.backupFile;
        throw EFlashError(text);
    }

    op.window.repaint();
    return true;
}

void TECU::carrySettingsOver() {
    TCommunicator& l = *link;
    const std::string where = "after the firmware was written";
    // The bootloader stays behind when the new firmware does not start; it would take the "e"
    // of a goodbye for its erase command and the settings writes for noise.
    const auto stillInBootloader = [&] {
        needsFirmware = true;
        return EFlashError("The firmware was written, but it did not start: the ECU answers only through "
                           "its bootloader and must be flashed again");
    };

    // The new firmware takes a while to boot: it is asked again until the boot allowance is over.
    const int64_t bootDeadline = op.clock.nowMs() + proto::bootAllowanceMs;
    const auto booting = [&] { return op.clock.nowMs() < bootDeadline; };
    if (l.isSerialKind()) {
        const int rate = l.getBaudRate();
        l.setBaudRate(proto::handshakeRate);
        pause(proto::greetingRatePauseMs);
        for (;;) {
            l.discardPending();
            l.sendString(proto::hello);
            if (await(proto::greetingReply, where)) break;
            if (!booting()) throw stillInBootloader();
        }
        bootloaderListening = false;
        changeBaudRate(rate);
        pause(proto::greetingRatePauseMs);
    }

    bool versionCame = readVersion();
    while (!versionCame && !l.isSerialKind() && booting()) versionCame = readVersion();
    if (versionCame) bootloaderListening = false;
    op.progress.setStatusText("Uploading MAP...");
    const std::unique_ptr<TECUSettings> before = settings->clone();
    const int linesBefore = settingsLines;
    // The new firmware names its own settings: the old names go, so that a slot past its last
    // line neither keeps an old name nor counts as carried over. Such a slot keeps its value
    // and is written back as it was.
    for (int i = 0; i < TECUSettings::slotCount; ++i) {
        const auto slot = static_cast<uint8_t>(i);
        settings->setEntry(std::string(), settings->getValue(slot), slot);
    }
    const int lines = readSettings(12);
    op.progress.setStatusText("Saving Configuration...");
    if (lines == 0) {
        // Without the new firmware's table nobody knows its layout: writing the old values
        // by the old slots could put every setting in the wrong place.
        *settings = *before;
        settingsLines = linesBefore;
        if (!versionCame) throw stillInBootloader();
        throw EFlashError("The firmware was written, but the new firmware sent no settings: nothing was "
                          "written to it");
    }
    bootloaderListening = false;
    settings->copyValuesByName(*before);
    writeAllSettings(13);
    storeSettings();
    confirmLink("while storing the settings");
    // Writes await no reply: only the table read back shows what the ECU holds now.
    const std::vector<std::string> differences = checkSettings();
    if (!differences.empty())
        throw EFlashError("The firmware was written, but the ECU does not hold the settings written to it: " +
                          differencesText(differences));
    reportCarryOver(*before, linesBefore);
}

TECU::TBootReply TECU::bootReply(const std::string& where) {
    if (await(proto::ack, where)) return link->received.size() == 1 ? TBootReply::Ack : TBootReply::Garbled;
    if (link->received.empty()) return TBootReply::Silent;
    return link->received == std::string(1, proto::refusedReply) ? TBootReply::Refused : TBootReply::Garbled;
}

bool TECU::programBlock(const TIHexFile& image, int j, int n, std::vector<int>& sends) {
    TCommunicator& l = *link;
    const std::string label = std::to_string(j + 1) + " of " + std::to_string(n);
    const std::string where = "at block " + label;
    const unsigned wordAddress = static_cast<unsigned>(j) * (proto::blockBytes / 2);
    const auto byteAt = [&](size_t offset) -> uint8_t {
        return offset < image.imageSize ? image.image[offset] : 0xFF;
    };
    const auto notAccepted = [&] { return EFlashError("ECU did not accept block " + label); };
    // Every reply is paired with the command just sent: what arrived before it was sent
    // answers nothing, and what came too late for its wait is gone before the next command.
    int addressSends = 0;
    for (;;) {
        op.progress.setPosition(((j + 1) * 50) / n);
        op.progress.setStatusText("Programming block " + label);
        if (sends[static_cast<size_t>(j)] >= proto::maxBlockSends) throw notAccepted();

        bool addressed = false;
        while (!addressed) {
            confirmLink(where);
            if (addressSends >= proto::maxAddressSends) throw notAccepted();
            ++addressSends;
            // A reply still arriving for the block before means its acknowledgement may have
            // been somebody else's: that block goes again.
            if (!l.discardPending().empty() && j > 0 && addressSends == 1) {
                l.settle(proto::maxReplyBytes);
                return false;
            }
            l.sendByte(proto::addressCommand);
            l.sendByte(static_cast<uint8_t>(wordAddress >> 8));
            l.sendByte(static_cast<uint8_t>(wordAddress & 0xFF));
            switch (bootReply(where)) {
            case TBootReply::Ack: addressed = true; break;
            case TBootReply::Garbled:
                // Bytes before the CR: a late reply of the block before, perhaps a refusal.
                l.settle(proto::maxReplyBytes);
                if (j > 0 && addressSends == 1) return false;
                break;
            case TBootReply::Refused: l.settle(proto::maxReplyBytes); break;
            case TBootReply::Silent: break;  // what comes late is dropped before the next send
            }
        }

        ++sends[static_cast<size_t>(j)];
        l.discardPending();
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
        const TBootReply reply = bootReply(where);
        if (reply == TBootReply::Ack) return true;

        op.progress.setStatusText("ECU Checksum Error!" + l.received + std::to_string(sum));
        if (sends[static_cast<size_t>(j)] >= proto::maxBlockSends) throw notAccepted();
        pause(proto::refusedBlockPauseMs);
        // A reply that came too late for its wait has arrived by now, and answers nothing.
        l.discardPending();
    }
}

std::string TECU::writeBackup() {
    const std::string folder = backupFolder.empty() ? userBackupFolder() : backupFolder;
    if (const int err = createFolders(folder))
        throw EFlashError("Cannot write the settings backup to " + folder + ": " + std::strerror(err) +
                          "; nothing was sent to the ECU");

    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
    const std::string text = settingsToText(*settings, settingsLines);
    // A new file every time: a second flash within the same second gets a numbered name.
    for (int k = 1; k < 100; ++k) {
        const std::string path = folder + folderSeparator + "settings-" + stamp +
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

void TECU::reportCarryOver(const TECUSettings& before, int linesBefore) {
    TCarryOverReport& r = lastCarryOver;
    const std::vector<TNamedSlot> oldSlots = tableSlots(before), newSlots = tableSlots(*settings);
    const TNameMatch m = matchByName(oldSlots, newSlots);
    const int linesNow = std::min(settingsLines, TECUSettings::slotCount);
    for (int i = 0; i < TECUSettings::slotCount; ++i) {
        const auto slot = static_cast<uint8_t>(i);
        const std::string& now = settings->getName(slot);
        if (!now.empty()) {
            if (m.fromOf[slot] >= 0) ++r.kept;
            else r.newNames.push_back(now);
        }
        const std::string& old = before.getName(slot);
        if (!old.empty() && m.toOf[slot] < 0) r.droppedNames.push_back(old);
        // A slot without a name cannot be followed to the new layout: the operator is told
        // where its value is not what it was.
        if (old.empty() && i < std::min(linesBefore, TECUSettings::slotCount)) {
            const std::string was = std::to_string(before.getValue(slot));
            if (i >= linesNow) r.unnamedChanged.push_back("slot " + std::to_string(i) + ": " + was + " -> gone");
            else if (settings->getValue(slot) != before.getValue(slot))
                r.unnamedChanged.push_back("slot " + std::to_string(i) + ": " + was + " -> " +
                                           std::to_string(settings->getValue(slot)));
        }
    }
    const std::string text = carryOverText(r) + "Firmware version: " + versionText + "\n" +
                             (r.backupFile.empty()
                                  ? std::string("No backup: no settings were read before the flash\n")
                                  : "Backup of the settings before the flash: " + r.backupFile + "\n");
    op.progress.setStatusText(text.substr(0, text.find('\n')));
    std::string logged = text;
    for (char& c : logged)
        if (c == '\n') c = '\r';
    op.log.appendText("\r" + logged, expectedColor);

    // The report lies next to the backup; without a backup the log holds it.
    if (r.backupFile.empty()) return;
    const std::string file = flashOutcomeFile(r.backupFile, true);
    // The flash has gone through; a report that cannot be written is told, not fatal.
    if (const int err = writeNewFile(file, text); err == 0) {
        r.reportFile = file;
    } else {
        r.reportError = file + ": " + std::strerror(err);
        op.log.appendText("\rCannot write " + r.reportError + "\r", expectedColor);
    }
}

std::string flashOutcomeFile(const std::string& backupFile, bool succeeded) {
    std::string file = backupFile;
    const size_t ext = file.rfind(".txt");
    if (ext != std::string::npos) file.erase(ext);
    return file + (succeeded ? "-carryover.txt" : "-failed.txt");
}
