#pragma once
// The simulated ECU itself: the firmware's command mode, the state outside it (where a settings
// file is taken in), and the serial bootloader. It sees only bytes and the time they arrived;
// the transports carry them and decide what a differing bit rate loses.

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "identity.h"
#include "transcript.h"

namespace ecusim {

enum class TMode { Command, Outside, Bootloader };
const char* modeName(TMode mode);

// The bit rate the ECU's UART runs at for a divisor ("mcB"+HH, "Mancb"+HH+"cb"): the five
// standard divisors give their standard rates; any other divisor d gives what the chip makes of
// it, 1000000 / (d + 1) bit/s, which matches no rate a tool would pick.
int rateForDivisor(int divisor);

// A block the bootloader refuses whatever its checksums say: block `block` (word address
// block × 128), the first `times` times it comes (-1: every time).
struct TRefusal {
    int block = 0;
    int times = -1;
};

struct TMachineConfig {
    bool bootloaderOnly = false;  // start in the bootloader, as an ECU with no firmware
    bool noSync = false;          // the bootloader never answers "p"
    bool noBye = false;           // the firmware ignores "bye"
    std::vector<TRefusal> refusals;
    int settingsGapMs = 0;        // pause between two settings lines of "mcd"
    int eraseMs = -1;             // how long erasing the flash takes; -1: eraseMsPerKiB a KiB
    int flashBytes = 131072;      // the chip's flash: blocks past it are refused
    int storeMs = -1;             // "mcs" writes the EEPROM this long; -1: storeMsPerSlot a slot
    int greetingDelayMs = 0;      // "Man" is answered this late
    bool looseOrder = false;      // the bootloader takes addresses and blocks before "p" "S" "e"
    bool wildWrites = false;      // a write past the table lands on slot (N mod the table's size)
    std::vector<std::pair<int, std::string>> oddNames;  // settings line N sends this name (any bytes)
    std::vector<int> dumpGaps;    // settings lines left out of the download
    int settingsLines = -1;       // lines "mcd" sends; -1: one per slot of the table
    std::vector<TRefusal> lateAcks;  // block J's reply comes `times` ms late, once
    std::vector<int> strayAcks;      // a CR nobody asked for follows block J's reply, once
    // Disturbed replies of the firmware, for the tool's reading rules.
    std::string versionReply;        // the whole reply to "mdV" instead of the usual two lines
    int versionDelayMs = 0;          // the reply to "mdV" comes this late
    std::string greetingReply;       // instead of "Hello>\r"
    std::vector<std::pair<int, std::string>> lineEnds;  // settings line N ends so, not CR LF
    std::vector<std::pair<int, int>> settingsPauses;    // a pause of MS before settings line N
    // Once "mcs" has come, settings line N carries TEXT for its value (a damaged read-back).
    std::vector<std::pair<int, std::string>> storedValues;
    std::string afterBye;            // sent unasked right after "Bye\r"
    int bootMs = 300;                // after "E" the new firmware takes nothing in for so long
};

// A real chip's times: a page erase of about 4 ms per KiB of flash, an EEPROM byte in 3.4 ms.
inline constexpr int eraseMsPerKiB = 4;
inline constexpr double storeMsPerSlot = 3.4;

// The protocol's fixed texts and numbers, as the firmware and its bootloader use them.
namespace wire {
inline constexpr const char* greeting = "Man";
inline constexpr const char* greetingReply = "Hello>\r";
inline constexpr const char* goodbye = "bye";
inline constexpr const char* goodbyeReply = "Bye\r";
inline constexpr const char* versionCommand = "mdV";
inline constexpr const char* versionFirstLine = "VIVU v3\n";
inline constexpr const char* settingsCommand = "mcd";
inline constexpr const char* settingsLineEnd = "\r\n";
inline constexpr const char* storeCommand = "mcs";
// Patterns: '#' stands for one upper-case hexadecimal digit.
inline constexpr const char* ratePattern = "mcB##";
inline constexpr const char* writePattern = "mttg##c##";
inline constexpr const char* outputTestPattern = "mde##";
inline constexpr const char* outputPattern = "mdh##";
inline constexpr const char* bootloaderPattern = "cb##cb";  // right after a greeting
inline constexpr int startRate = 9600;
inline constexpr int outputOnFlag = 0x80;
inline constexpr int outputTestOn = 0x02;
inline constexpr int outputTestOff = 0x00;
// The bootloader: one-byte commands, replies without line ends.
inline constexpr char bootSync = 'p';
inline constexpr const char* bootSyncReply = "S";
inline constexpr char bootIdentify = 'S';
inline constexpr const char* bootIdentifyReply = "AVREFI1";
inline constexpr char bootAutoIncrement = 'a';
inline constexpr const char* bootAutoIncrementReply = "Y";
inline constexpr char bootErase = 'e';
inline constexpr char bootAddress = 'A';
inline constexpr char bootBlock = 'D';
inline constexpr char bootBlockKind = 'k';
inline constexpr char bootExit = 'E';
inline constexpr const char* bootDone = "\r";
inline constexpr const char* bootRefused = "?";  // also the answer to an unknown command
inline constexpr int blockBytes = 256;
inline constexpr int blockWords = 128;
}  // namespace wire

struct TOutput {
    int64_t dueMs = 0;
    std::string bytes;
};

class TEcuMachine {
public:
    // Called with the running firmware and its stored values whenever they change for good
    // ("mcs", a new firmware started).
    using TPersist = std::function<void(const TFirmwareIdentity&)>;

    TEcuMachine(const TMachineConfig& config, TFirmwareIdentity firmware, TTranscript& log, TPersist persist);

    // A new client: half-received commands and unsent replies of the last one are forgotten.
    // The ECU's mode, rate and settings stay as they are.
    void startConnection();
    // Takes bytes in order and returns how many it took: all of them, unless one of them
    // changed the ECU's bit rate or mode, in which case it stops right after that byte. The
    // transport decides whether the bytes after a rate change still count (they were sent at
    // the old rate), and logs the bytes after a mode change under the new mode.
    size_t receive(const std::string& bytes, int64_t nowMs);

    // Replies waiting to go out: the time the first is due (INT64_MAX when none), and all
    // replies due by `nowMs`, joined.
    int64_t nextDueMs() const;
    std::string takeDue(int64_t nowMs);
    void discardOutput() { outputs.clear(); }

    TMode mode() const { return mode_; }
    const char* modeText() const { return modeName(mode_); }
    int bitRate() const { return rate; }

private:
    // The bootloader's order: "p", then "S", then "e" before any address or block.
    enum class TBootOrder { Entered, Synced, Identified, Erased };

    void commandByte(char c, int64_t now);
    void outsideByte(char c, int64_t now);
    void bootloaderByte(uint8_t b, int64_t now);
    void execute(const std::string& command, int64_t now);
    void flushIgnored(int64_t now);
    void greet(int64_t now);
    void sendSettings(int64_t now);
    void finishBlock(int64_t now);
    void startFirmware(int64_t now);
    void reply(const std::string& bytes, int64_t now, int delayMs = 0);
    void event(int64_t now, const std::string& text) { log.event(now, modeText(), text); }
    void setRate(int newRate, int64_t now);
    void busy(int64_t now, int ms, const std::string& what);
    // Refuses a bootloader command that comes before its turn; true when refused.
    bool outOfOrder(char command, TBootOrder needed, int64_t now);

    TMachineConfig config;
    TTranscript& log;
    TPersist persist;

    TFirmwareIdentity firmware;  // version, names and stored values
    std::vector<uint8_t> live;   // the values the firmware works with
    std::vector<uint8_t> flash;
    TMode mode_ = TMode::Command;
    int rate = wire::startRate;
    bool outputTestMode = false;
    std::set<int> outputsOn;
    bool storeSeen = false;  // "mcs" has come since the start

    // Command mode.
    std::string commandBuffer;
    std::string ignored;
    bool afterGreeting = false;
    // Outside command mode.
    std::string importTail;
    size_t importCount = 0;
    // Bootloader.
    enum class TBootStep { Idle, AddressHigh, AddressLow, BlockKind, BlockZero, BlockData };
    TBootStep bootStep = TBootStep::Idle;
    uint8_t addressHigh = 0;
    uint32_t wordAddress = 0;
    std::vector<uint8_t> block;  // data bytes, then the four checksum bytes
    std::vector<int> refusalsLeft;
    std::set<size_t> lateAcksUsed, strayAcksUsed;
    // Erasing, storing or booting: nothing is taken in until then.
    int64_t busyUntil = 0;
    std::string busyWith;
    TBootOrder bootOrder = TBootOrder::Entered;

    std::deque<TOutput> outputs;
};

}  // namespace ecusim
