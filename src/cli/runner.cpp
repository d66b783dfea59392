#include "cli/runner.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <utility>

#include "data/backupfile.h"
#include "cli/cliargs.h"
#include "cli/terminal.h"
#include "data/ihexfile.h"
#include "data/namematch.h"
#include "ecu/ecu.h"
#include "ecu/firmwareimage.h"
#include "data/settingsdiff.h"
#include "ecu/online.h"
#include "ecu/restore.h"
#include "link/linkfactory.h"
#include "link/linkname.h"
#include "platform/console.h"
#include "platform/convert.h"
#include "platform/files.h"
#include "platform/fileversion.h"
#include "platform/serialports.h"
#include "platform/sio.h"
#if VELTRACE_STORE
#include "qtstore/qtpreferences.h"
#else
#include "cli/nostore.h"
#endif

namespace {

// A command that cannot go on; the message says why, the status is the exit status.
class ECliFailure : public std::runtime_error {
public:
    ECliFailure(int status, const std::string& message) : std::runtime_error(message), status(status) {}
    int status;
};

// The one place where a device path given with --serial becomes a serial port: the serial port
// list is read from VELTRACE_SERIAL_PORTS when that is set, so the device is made the list's only
// entry and the link uses port 1.
std::string addressSerialDevice(const std::string& devicePath) {
    setEnvironment(serialPortsVariable, devicePath);
    return "1";
}

std::string readInputFile(const std::string& fileName, const std::string& what) {
    std::string text;
    if (const std::string why = readWholeFile(fileName, text); !why.empty())
        throw ECliFailure(exitBadFile, "Cannot read " + what + " " + fileName + ": " + why);
    return text;
}

// Reads a firmware file and checks that the ECU can take it; the records it passed over are told
// on standard error. Throws ECliFailure with status 3 for a file that cannot be flashed.
std::unique_ptr<TIHexFile> loadFirmware(const std::string& fileName, TConsole& console) {
    TFirmwareImage loaded = loadFirmwareImage(fileName);
    for (const std::string& warning : loaded.warnings) console.line(warning);
    if (!loaded.hex)
        throw ECliFailure(exitBadFile, loaded.message + (loaded.detail.empty() ? "" : " " + loaded.detail));
    return std::move(loaded.hex);
}

// Standard output carries the results: one that cannot be written (a full disk, a closed
// pipe) fails the command instead of passing for done.
void writeOut(std::FILE* out, const void* bytes, size_t size) {
    if ((size > 0 && std::fwrite(bytes, 1, size, out) != size) || std::fflush(out) != 0)
        throw ECliFailure(exitFailed, std::string("Cannot write the output: ") + std::strerror(errno));
}
void writeOut(std::FILE* out, const std::string& text) { writeOut(out, text.data(), text.size()); }

// Ctrl-C (or Ctrl-\, or a SIGTERM) while the firmware is written would leave the ECU without a
// firmware: the first two are answered with a warning, the third ends the program all the same.
// A hang-up (the terminal or the ssh session closed) asks nobody to stop: the flash goes on to
// its end, and what it would have printed is in the outcome file next to the backup.
class TFlashInterruptGuard : public TInterruptHold {
public:
    static constexpr int forcePresses = 3;
    TFlashInterruptGuard() : TInterruptHold(forcePresses, twice, once) {}

private:
    static constexpr const char* twice =
        "\nThe firmware is being written: stopping now leaves the ECU without a firmware. "
        "Interrupt twice more to stop all the same.\n";
    static constexpr const char* once =
        "\nThe firmware is being written: stopping now leaves the ECU without a firmware. "
        "Interrupt once more to stop all the same.\n";
};

// The command line leaves the link and its rate to the stored preferences.
bool storedLinkUsed(const TCliOptions& options) {
    return options.link == TLinkChoice::Stored && !options.baudRate.has_value();
}

// One run of a command that talks to the ECU: the operator seams on the terminal, the stored
// preferences, the TECU and its link.
class TSession {
public:
    TSession(const TCliOptions& options, const TCliStreams& streams)
        : options(options),
          streams(streams),
          console(streams.err, streams.errIsTerminal, streams.errIsTerminal),
          progress(console),
          log(console, options.echo),
          // The stored link is read as the ECU is made: what is wrong with it (a store that
          // cannot be read, a bit rate the ECU does not know) is moot when the command line
          // names the link or its rate.
          services(console, !storedLinkUsed(options)),
#if VELTRACE_STORE
          prefs(services),
#endif
          ecu(op, realLinkFactory()) {
        services.muted = false;
        if (storedLinkUsed(options) && !ecu.link->settingsWarning.empty()) console.line(ecu.link->settingsWarning);
        console.setEchoing(options.echo);
        console.setQuiet(options.quiet);
        chooseLink();
    }

    int run();

private:
    void chooseLink();
    std::string linkName();
    void goOnline();
    void goOffline();
    void needFirmwareRunning();
    // The firmware runs and its settings came.
    void needSettings();
    void print(const std::string& text) {
        console.endLine();
        writeOut(streams.out, text);
    }

    int info();
    int settings();
    int set();
    // The flash and its outcome, with Ctrl-C and hang-ups held meanwhile.
    int flash(const TIHexFile& firmware);
    // Writes a failed flash's outcome next to its backup; what to add to the error message.
    std::string recordFailure(const std::string& message);
    int import(const std::vector<std::string>& lines);
    int restore(const std::vector<TBackupEntry>& backup);
    int diff(const std::vector<TBackupEntry>& file);

    const TCliOptions& options;
    const TCliStreams& streams;
    TConsole console;
    TTerminalProgress progress;
    TTerminalLog log;
    TTerminalServices services;
#if VELTRACE_STORE
    TQtPreferences prefs;
#else
    TNoPreferences prefs;
#endif
    TSystemClock clock;
    TOperator op{progress, log, services, prefs, clock};
    TECU ecu;
    std::string serialDevice;  // the device path given with --serial, for the messages
};

void TSession::chooseLink() {
    const int baud = options.baudRate.value_or(cli_defaults::baudRate);
    switch (options.link) {
    case TLinkChoice::Network:
        ecu.useNetworkLink(options.host, options.tcpPort);
        break;
    case TLinkChoice::Serial:
        if (!options.serialDevice.empty()) {
            serialDevice = options.serialDevice;
            ecu.useSerialLink(addressSerialDevice(serialDevice), baud);
        } else {
            ecu.useSerialLink(std::to_string(options.serialPortNumber), baud);
        }
        break;
    case TLinkChoice::Stored:
        // --baud alone changes the rate of a stored serial link.
        if (options.baudRate) {
            if (!ecu.link->isSerialKind())
                throw ECliFailure(exitUsage, "--baud applies to the serial link only, and the stored link is the "
                                             "network link to " + linkName());
            ecu.useSerialLink(ecu.getLinkAddress(), *options.baudRate);
        }
        break;
    }
}

std::string TSession::linkName() { return linkDisplayName(*ecu.link, serialDevice); }

// What the app's online command does: open the link, echo off (unless asked for), connect.
void TSession::goOnline() {
    const TOnlineOutcome outcome = ecu.goOnline(options.echo, linkName());
    if (outcome.online()) return;
    if (!outcome.closeFailure.empty()) console.line("Closing the link: " + outcome.closeFailure);
    // A handshake that ended with an error is told by that error alone.
    const bool byError = outcome.result == TOnlineOutcome::TResult::ConnectFailed && !outcome.reason.empty();
    const std::string detail =
        outcome.result == TOnlineOutcome::TResult::OpenFailed ? outcome.detail() : outcome.linkName;
    throw ECliFailure(exitFailed, (byError ? outcome.reason : outcome.message()) + " (" + detail + ")");
}

// The goodbye, and the link closed, as when the app goes off line. (The ECU object leaves the
// goodbye out while its bootloader is listening.)
void TSession::goOffline() {
    try {
        ecu.setOnline(false);
    } catch (const std::exception& e) {
        console.line(std::string("Closing the link: ") + e.what());
    }
}

void TSession::needFirmwareRunning() {
    if (ecu.needsFirmware)
        throw ECliFailure(exitFailed, "The ECU at " + linkName() +
                                          " answered only through its bootloader: flash a firmware first "
                                          "(veltrace-cli flash FILE.hex)");
}

void TSession::needSettings() {
    needFirmwareRunning();
    if (ecu.settingsLines == 0)
        throw ECliFailure(exitFailed, "The ECU at " + linkName() +
                                          " sent no settings: its firmware answered, but the settings "
                                          "download brought nothing");
}

int TSession::run() {
    // Files are read and the question asked before the ECU is disturbed.
    std::unique_ptr<TIHexFile> firmware;
    std::vector<TBackupEntry> backup;
    std::vector<std::string> importLines;
    if (options.command == "flash") {
        firmware = loadFirmware(options.args[0], console);
        if (!options.yes) {
            if (!streams.inIsTerminal)
                throw ECliFailure(exitUsage, "flash: standard input is not a terminal, so the reflash question "
                                             "cannot be asked; give --yes to flash " + options.args[0] +
                                             " without asking");
            console.line(reflashQuestionText);
            console.line("Type yes to flash " + options.args[0] + " through " + linkName() +
                         ", anything else aborts [Yes/Abort]:");
            char answer[64] = {};
            std::string reply = std::fgets(answer, sizeof answer, streams.in) ? answer : "";
            while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r' || reply.back() == ' ')) reply.pop_back();
            for (char& c : reply) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (reply != "y" && reply != "yes") throw ECliFailure(exitFailed, "Firmware update aborted; nothing was sent.");
        }
    } else if (options.command == "import") {
        // Read once: what is checked here is what is sent.
        try {
            importLines = readSettingsFile(options.args[0]);
        } catch (const EInOutError& e) {
            throw ECliFailure(exitBadFile, e.what());
        }
    } else if (options.command == "restore" || options.command == "diff") {
        try {
            backup = parseBackup(readInputFile(options.args[0], "backup file"), options.args[0]);
        } catch (const EBackupFormat& e) {
            throw ECliFailure(exitBadFile, e.what());
        }
        if (const std::string why = backupRefusal(backup, options.args[0]); !why.empty())
            throw ECliFailure(exitBadFile, why);
    }

    goOnline();
    int status = exitFailed;
    try {
        if (options.command == "info") status = info();
        else if (options.command == "settings") status = settings();
        else if (options.command == "set") status = set();
        else if (options.command == "flash") status = flash(*firmware);
        else if (options.command == "import") status = import(importLines);
        else if (options.command == "restore") status = restore(backup);
        else if (options.command == "diff") status = diff(backup);
    } catch (const ECliFailure&) {
        progress.hide();
        goOffline();
        throw;
    } catch (const std::exception& e) {
        // A flash that ended early ("Error syncing ECU", ...), or a link that failed under us.
        progress.hide();
        const std::string where = linkName();
        goOffline();
        throw ECliFailure(exitFailed, std::string(e.what()) + " (" + where + ")");
    }
    goOffline();
    return status;
}

int TSession::info() {
    print(ecu.needsFirmware ? std::string("Bootloader only\n") : services.firmwareText + "\n");
    return exitDone;
}

int TSession::settings() {
    needSettings();
    // Printed only once the goodbye came through with no settings lines ahead of it: a download
    // that paused past its silence rule would otherwise be listed short.
    goOffline();
    if (ecu.tableDisturbed)
        throw ECliFailure(exitFailed, "The ECU at " + linkName() +
                                          " sent settings lines after its settings download had ended (a pause "
                                          "inside the download): the listing would be incomplete, so none is "
                                          "printed. Try again");
    print(settingsToText(*ecu.settings, ecu.settingsLines));
    if (ecu.settingsLines > TECUSettings::slotCount)
        console.line("The ECU sent " + std::to_string(ecu.settingsLines) + " settings lines; the table holds " +
                     std::to_string(TECUSettings::slotCount) + ": " +
                     std::to_string(ecu.settingsLines - TECUSettings::slotCount) + " lines were dropped");
    return exitDone;
}

int TSession::set() {
    needSettings();
    const int value = strToInt(options.args[1]);
    int slot = -1;
    if (options.bySlot) {
        slot = strToInt(options.args[0]);
        const int lines = std::min(ecu.settingsLines, TECUSettings::slotCount);
        if (slot >= lines)
            throw ECliFailure(exitFailed, "The ECU at " + linkName() + " sent " + std::to_string(lines) +
                                              " settings lines: it has no slot " + std::to_string(slot));
    } else {
        const std::string& asked = options.args[0];
        const std::vector<int> slots = asked.empty() ? std::vector<int>{} : slotsNamed(*ecu.settings, asked);
        if (slots.empty())
            throw ECliFailure(exitFailed, "The ECU at " + linkName() + " has no setting named " + shownSettingName(asked));
        // Which of them the operator means nobody can tell.
        if (slots.size() > 1) {
            std::string list;
            for (size_t i = 0; i < slots.size(); ++i)
                list += (i == 0 ? "" : i + 1 == slots.size() ? " and " : ", ") + std::to_string(slots[i]);
            throw ECliFailure(exitFailed, "The ECU at " + linkName() + " holds " + shownSettingName(asked) + " in " +
                                              std::to_string(slots.size()) + " slots (" + list +
                                              "): give the slot with --slot, as in: set --slot " +
                                              std::to_string(slots[0]) + " " + options.args[1]);
        }
        slot = slots[0];
    }
    const std::string& held = ecu.settings->getName(static_cast<uint8_t>(slot));
    const std::string name = held.empty() ? std::string("unnamed") : shownSettingName(held);
    ecu.writeSettingConfirmed(static_cast<uint8_t>(slot), static_cast<uint8_t>(value), "it was not set");
    if (options.store) ecu.storeConfirmed();
    // A write awaits no reply: the table read back shows whether the ECU took it.
    std::vector<std::string> differences;
    try {
        differences = ecu.checkSettings();
    } catch (const ELinkLost& e) {
        throw ECliFailure(exitFailed, std::string(e.what()) + "; whether " + name + " was set" +
                                          (options.store ? " and stored" : "") + " is not known");
    }
    if (!differences.empty())
        throw ECliFailure(exitFailed, name + " was not set as asked: " + differencesText(differences));
    print("Set " + name + " (slot " + std::to_string(slot) + ") to " + std::to_string(value) +
          (options.store ? "; the ECU stored its settings\n" : "; not stored (--store keeps it after a power-off)\n"));
    return exitDone;
}

int TSession::flash(const TIHexFile& firmware) {
    TFlashInterruptGuard guard;
    progress.setCaption("Updating Firmware...");
    try {
        if (!ecu.flashFirmware(firmware)) throw EFlashError("The firmware update failed.");
    } catch (const std::exception& e) {
        progress.hide();
        const std::string message = std::string(e.what()) + " (" + linkName() + ")";
        throw ECliFailure(exitFailed, message + recordFailure(message));
    }

    const TCarryOverReport& r = ecu.lastCarryOver;
    // The flash went through all the same: the status stays 0.
    if (const std::string unwritten = unwrittenReportText(r); !unwritten.empty())
        console.line(std::string(cli_defaults::program) + ": " + unwritten);
    try {
        print(flashReportText(r, ecu.firmwareText));
    } catch (const ECliFailure&) {
        // After a hang-up the outcome file is where the operator finds this.
        if (!TFlashInterruptGuard::hungUp()) throw;
    }
    return exitDone;
}

std::string TSession::recordFailure(const std::string& message) {
    const std::string& backup = ecu.lastCarryOver.backupFile;
    if (backup.empty()) return {};
    const std::string file = flashOutcomeFile(backup, false);
    const std::string text = "Firmware update failed: " + message + "\nFirmware file: " + options.args[0] +
                             "\nBackup of the settings before the flash: " + backup + "\n";
    if (const int err = writeNewFile(file, text))
        return ". This outcome could not be written to " + file + ": " + std::strerror(err);
    return ". This outcome is written to " + file;
}

int TSession::import(const std::vector<std::string>& lines) {
    needFirmwareRunning();
    const TImportOutcome outcome = ecu.importSettings(lines);
    if (!outcome) {
        console.line(outcome.failure);
        if (outcome.progressUp) progress.hide();
        throw ECliFailure(exitFailed, "Importing " + options.args[0] + " through " + linkName() + " failed.");
    }
    print("Imported " + options.args[0] + "\n");
    return exitDone;
}

int TSession::restore(const std::vector<TBackupEntry>& backup) {
    needSettings();
    if (options.dryRun) {
        // What a restore would write, the backup's value first.
        std::vector<TSettingDifference> writes = restoreWrites(ecu, backup);
        for (auto& d : writes) {
            std::swap(d.left, d.right);
            std::swap(d.leftSlot, d.rightSlot);
        }
        if (!options.quiet) print(differencesText(writes));
        return writes.empty() ? exitDone : exitDifferent;
    }
    const TRestoreReport report = restoreBackup(ecu, backup, options.args[0]);
    if (!report.succeeded) throw ECliFailure(exitFailed, report.text);
    print(report.text + "\n");
    return exitDone;
}

int TSession::diff(const std::vector<TBackupEntry>& file) {
    needSettings();
    const auto differences = compareByName(namedSettings(file), namedSettings(*ecu.settings, ecu.settingsLines));
    if (!options.quiet) print(differencesText(differences));
    return differences.empty() ? exitDone : exitDifferent;
}

// `diff FILE1 FILE2` needs no ECU.
int runDiffFiles(const TCliOptions& options, const TCliStreams& streams) {
    std::vector<TNamedSetting> sides[2];
    for (int i = 0; i < 2; ++i) {
        try {
            sides[i] = namedSettings(parseBackup(readInputFile(options.args[i], "settings file"), options.args[i]));
        } catch (const EBackupFormat& e) {
            throw ECliFailure(exitBadFile, e.what());
        }
    }
    const auto differences = compareByName(sides[0], sides[1]);
    if (!options.quiet) writeOut(streams.out, differencesText(differences));
    return differences.empty() ? exitDone : exitDifferent;
}

// `hex` needs no ECU.
int runHex(const TCliOptions& options, const TCliStreams& streams) {
    TConsole console(streams.err, false, false);
    const std::unique_ptr<TIHexFile> hex = loadFirmware(options.args[0], console);
    const std::string sizeLine = "image " + std::to_string(hex->imageSize) + " bytes\n";
    if (options.output == cli_defaults::standardOutput) {
        // The image is the output; the size goes where messages go.
        writeOut(streams.out, hex->image.data(), hex->imageSize);
        writeOut(streams.err, sizeLine);
        return exitDone;
    }
    if (!options.output.empty()) {
        std::FILE* f = std::fopen(options.output.c_str(), "wb");
        if (!f) throw ECliFailure(exitFailed, "Cannot write " + options.output + ": " + std::strerror(errno));
        const bool written = std::fwrite(hex->image.data(), 1, hex->imageSize, f) == hex->imageSize;
        const int err = errno;
        if (std::fclose(f) != 0 || !written)
            throw ECliFailure(exitFailed, "Cannot write " + options.output + ": " + std::strerror(written ? errno : err));
    }
    writeOut(streams.out, sizeLine);
    return exitDone;
}

// `ports` needs no ECU: one line per entry of the serial port list, then a line for each thing
// the system knows of its device, starting with a TAB.
int runPorts(const TCliOptions& options, const TCliStreams& streams) {
    const std::vector<TSerialPortStatus> ports = checkSerialPorts(options.openPorts ? TPortCheck::Open : TPortCheck::Look);
    if (ports.empty()) {
        std::fprintf(streams.err, "No serial device was found (set %s to choose the devices)\n", serialPortsVariable);
        return exitDone;
    }
    std::string text;
    for (const TSerialPortStatus& p : ports) {
        text += std::to_string(p.number) + "\t" + p.device + "\t" + serialPortStateText(p) + "\n";
        // A busy port's reason carries the note already.
        const std::string note = p.reason.find(p.note) == std::string::npos ? p.note : std::string();
        for (const std::string& line : serialDeviceDetails(p.device, p.identity, note)) text += "\t" + line + "\n";
    }
    writeOut(streams.out, text);
    return exitDone;
}

}  // namespace

int runCli(const std::vector<std::string>& args, const TCliStreams& streams) {
    const std::string program = cli_defaults::program;
    TCliOptions options;
    try {
        options = parseArguments(args);
    } catch (const EUsageError& e) {
        std::fprintf(streams.err, "%s: %s\nTry '%s --help'.\n", program.c_str(), e.what(), program.c_str());
        return exitUsage;
    }
    // Every failure in one style: the program's name, then what went wrong.
    const auto fail = [&](int status, const char* what) {
        std::fprintf(streams.err, "%s: %s\n", program.c_str(), what);
        return status;
    };
    try {
        if (options.version) {
            // A Windows program prints the version its file carries, which the build made from the
            // same project version.
            const std::string fileVersion = programFileVersion();
            writeOut(streams.out, program + " " + (fileVersion.empty() ? VELTRACE_VERSION : fileVersion) + "\n");
            return exitDone;
        }
        if (options.help) {
            writeOut(streams.out, helpText(options.command));
            return exitDone;
        }
        if (options.command == "hex") return runHex(options, streams);
        if (options.command == "ports") return runPorts(options, streams);
        if (options.command == "diff" && options.args.size() == 2) return runDiffFiles(options, streams);
        TSession session(options, streams);
        return session.run();
    } catch (const ECliFailure& e) {
        return fail(e.status, e.what());
    } catch (const std::exception& e) {
        return fail(exitFailed, e.what());
    }
}
