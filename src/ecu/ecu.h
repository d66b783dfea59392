#pragma once
// The conversation with one ECU running the VIVU v3 firmware: the handshake, the version, the
// settings table, bit rates, setting writes, output tests, firmware flashing and settings import.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/baudrates.h"
#include "data/ecusettings.h"
#include "ecu/online.h"
#include "ecu/protocol.h"
#include "ecu/unstored.h"
#include "link/communicator.h"
#include "platform/services.h"

class TIHexFile;

// A firmware update that ended early. The message is the operator's text
// ("Error syncing ECU", "ECU did not accept block 3 of 40", ...).
class EFlashError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The link went while the ECU was being talked to ("Lost connection with ECU at block 59 of
// 512: the serial port hung up ...").
class ELinkLost : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Replies that cannot be an ECU's: bytes streaming without the awaited text, a settings
// download without end.
class EReplyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a firmware update did with the operator's settings.
struct TCarryOverReport {
    std::string backupFile;               // the settings as they were before the flash; empty
                                          // when nothing had been read from the ECU
    std::string reportFile;               // this report, written next to the backup
    std::string reportError;              // why the report could not be written ("FILE: why");
                                          // the firmware and the settings are in place all the same
    int kept = 0;                         // settings that kept the operator's value
    std::vector<std::string> newNames;    // names only the new firmware has
    std::vector<std::string> droppedNames;  // the operator's names the new firmware lacks (a name
                                          // held twice and now once counts once here)
    std::vector<std::string> unnamedChanged;  // slots without a name whose value the flash
                                              // changed: "slot 5: 3 -> 0"
    int linesDropped = 0;                 // the old firmware's lines past the table's 256 slots:
                                          // neither backed up nor carried over
};

// The report as lines of text for the operator (the carry-over file, the CLI's output): name
// lists wrapped to `width` columns, each name as shownSettingName shows it.
std::string carryOverText(const TCarryOverReport& report, size_t width = 78);
// What the operator reads after a firmware update that ran to its end: the new firmware (as
// `firmwareText` names it, "Firmware v.2.0.0"), where the settings were backed up, the carry-over
// wrapped to `width` columns, where the report was written.
std::string flashReportText(const TCarryOverReport& report, const std::string& firmwareText, size_t width = 78);
// "the firmware and the settings are in place, but the carry-over report could not be written to
// FILE: why" when the report is not on disk; empty when it is, or when none was due.
std::string unwrittenReportText(const TCarryOverReport& report);
// The file next to a backup that holds the outcome of the flash it was made for:
// "<backup>-carryover.txt" (the report above) when the flash went through, "<backup>-failed.txt"
// when it did not.
std::string flashOutcomeFile(const std::string& backupFile, bool succeeded);
// checkSettings' differences in one line, as every front shows them: joined with "; ".
std::string differencesText(const std::vector<std::string>& differences);

// How a settings import ended.
struct TImportOutcome {
    // Empty when the ECU took the file, greeted again and its table was read anew; otherwise
    // the operator's text: "Lost connection with ECU!" (no "Bye": nothing of the file was
    // sent), "Settings import failed!" (no greeting after it), why the file could not be read
    // (nothing sent), or that reading the table back failed.
    std::string failure;
    // The progress dialog is still up: a missing greeting is shown while it is, and the front
    // hides it once the operator has seen the failure.
    bool progressUp = false;
    explicit operator bool() const { return failure.empty(); }
};

// The lines of a settings file for import, read once: CR LF, LF or CR end a line, a break at
// the very end adds no empty line, and the text ends at the first NUL byte. Throws EInOutError
// ("Cannot read settings file NAME: why") for a file that readWholeFile refuses.
std::vector<std::string> readSettingsFile(const std::string& fileName);

class TECU {
public:
    // Reads the stored link type "com.Type": exactly "serial" builds a serial link, anything
    // else a network link; the link then loads its own preferences.
    TECU(TOperator& op, TLinkFactory linkFactory);
    // Says goodbye at 9600 bit/s when the link is open.
    ~TECU();
    TECU(const TECU&) = delete;
    TECU& operator=(const TECU&) = delete;

    void useSerialLink(const std::string& port, int baudRate);
    void useNetworkLink(const std::string& host, int port);
    void saveLinkSettings() { link->saveSettings(); }
    std::string getLinkAddress() { return link->getPort(); }
    int getLinkBaudRate() { return link->getBaudRate(); }
    bool isOnline() { return link->isActive(); }
    void setOnline(bool on);
    // Opens the link, sets the debug echo and connects, with the progress dialog showing
    // "Connecting..." meanwhile; closes the link again when the ECU did not answer. `linkName`
    // names the link in the outcome.
    TOnlineOutcome goOnline(bool echo, const std::string& linkName);

    // Handshake, version, settings download. False when neither the firmware nor the
    // bootloader answered. Sets needsFirmware when only the bootloader answered, clears it when
    // the firmware did. Throws EConvertError when a settings line has no hexadecimal value
    // (the error carries the line), ELinkLost when the link goes, EReplyError when the ECU
    // streams without end.
    bool connect();
    // True when the version reply came. A version that is not three dot-separated numbers
    // ("1.1", "1.2.0-rc1") is shown as it came, with the numbers left at 0.
    bool readVersion();
    // Returns how many lines the ECU sent (lines beyond the 256 slots included); also kept in
    // settingsLines.
    int readSettings(uint8_t progressSpan);
    void setDebugEcho(bool on);
    // Only the five known rates are sent; any other is refused (nothing sent, the link keeps
    // its rate), since "mcB00" would strand the ECU.
    void changeBaudRate(int baudRate);
    void writeSetting(uint8_t index);
    // Puts `value` into the table's slot, writes it and confirms the link (see confirmLink):
    // ELinkLost "... while writing NAME (note): why" when it has gone. The table keeps the new
    // value either way.
    void writeSettingConfirmed(uint8_t index, uint8_t value, const std::string& note = {});
    // Throws ELinkLost, naming the first slot not written, when the link goes meanwhile.
    void writeAllSettings(uint8_t progressSpan);
    // Sends "mcs" and waits storePauseMs, while the ECU takes nothing in.
    void storeSettings();
    // storeSettings, then confirmLink: ELinkLost when the link went, since the settings may
    // then not be stored.
    void storeConfirmed();
    // Writes report nothing: after a run of them, this flushes the link and throws ELinkLost
    // ("Lost connection with ECU <where>: <why>") when the link has gone or closed meanwhile.
    void confirmLink(const std::string& where);
    // Reads the table back from the ECU and compares it with `settings`, line by line for as
    // many lines as the last download brought. The differences in words ("fan_temp (slot 3)
    // holds 90, not 95"); empty when the ECU holds what the table says. Throws ELinkLost
    // ("... while reading the settings back ...") when the link goes.
    std::vector<std::string> checkSettings();
    void setOutputTestMode(bool on);
    void setOutput(uint8_t outputCode, bool on);
    // setOutput, then confirmLink: ELinkLost "... while switching NAME (output N) on: why".
    void setOutputConfirmed(uint8_t outputCode, bool on, const std::string& name);

    // Replaces the firmware with the image and carries the settings over by name. True when it
    // ran to its end; throws EFlashError when it ended early (the progress dialog is closed and
    // the link's echo given back by then).
    bool flashFirmware(const TIHexFile& image);
    // Sends a settings file to the ECU outside its command mode (a file that cannot be read is
    // a failure with nothing sent).
    TImportOutcome importSettings(const std::string& fileName);
    // The same with the file's lines as readSettingsFile gave them.
    TImportOutcome importSettings(const std::vector<std::string>& lines);

    std::unique_ptr<TCommunicator> link;
    bool needsFirmware = false;
    bool debugEcho = false;
    std::string versionText = "0.0.0";
    // The firmware as the window's status bar names it ("Firmware v.1.2.0", "Firmware
    // v.Unknown"); empty until a version was asked for.
    std::string firmwareText;
    int32_t versionMajor = 0;
    int32_t versionMinor = 0;
    int32_t versionPatch = 0;
    std::unique_ptr<TECUSettings> settings;
    // How many lines the last settings download brought: 0 when the ECU sent none; -1 when
    // none was made (connect found only the bootloader).
    int settingsLines = -1;
    // The outcome of the last firmware update that reached the settings carry-over.
    TCarryOverReport lastCarryOver;
    // Where the settings are backed up before every flash; empty: the user's data folder
    // (userBackupFolder: $XDG_DATA_HOME/Harnwick/Veltrace/backups, else
    // ~/.local/share/Harnwick/Veltrace/backups; %LOCALAPPDATA%\Harnwick\Veltrace\backups on Windows).
    std::string backupFolder;

    // Settings lines were found after a download had ended (a pause inside it): the table read
    // is incomplete. Cleared by the next connect.
    bool tableDisturbed = false;
    // What writeSetting sent since the last storeSettings (or connect): values the ECU loses
    // when it is switched off.
    TUnstoredSlots unstored;

private:
    // Drops what arrived while nobody waited; settings lines among it mean the last download
    // ended early: the table is dropped and EReplyError thrown (`where` names the step).
    void dropStale(const std::string& where);
    // The goodbye at 9600 bit/s, unless the bootloader is listening (it would take the "e" of
    // "bye" for its erase command and wipe the flash) or the link is gone.
    void goodbye();
    // A fixed pause; what the link holds back goes out before it starts.
    void pause(int ms);
    // expect, bounded by maxReplyBytes: false on silence; throws EReplyError when the ECU
    // streams without the text, ELinkLost (naming `where`) when the link has gone.
    bool await(const std::string& text, const std::string& where);
    // The settings download into `table`; the progress bar moves when span > 0. `where` names
    // it in a loss of the link.
    // `knownLines` > 0: the ECU is known to send that many lines (a read-back), and a short
    // silence after them ends the download.
    int downloadSettings(TECUSettings& table, uint8_t progressSpan, const std::string& where, int knownLines = -1);
    bool runFlash(const TIHexFile& image);
    void checkImage(const TIHexFile& image);
    // The bootloader's answer to the command just sent: its CR alone, a refusal, nothing, or
    // something else (bytes before the CR that nobody asked for).
    enum class TBootReply { Ack, Refused, Silent, Garbled };
    TBootReply bootReply(const std::string& where);
    // Programs block j of n. False when the bytes found before its address put the previous
    // block's acknowledgement in doubt: that block must go again first.
    bool programBlock(const TIHexFile& image, int j, int n, std::vector<int>& sends);
    // After "E": the new firmware greets (serial), and its settings come back with the old
    // values carried over by name, written, stored and read back.
    void carrySettingsOver();
    std::string writeBackup();
    void reportCarryOver(const TECUSettings& before, int linesBefore);

    TOperator& op;
    TLinkFactory linkFactory;
    // The ECU answers through its bootloader: found so by connect, or entered by a flash that
    // has not yet left it again.
    bool bootloaderListening = false;
};
