#pragma once
// A scripted ECU for the tests: the firmware's command mode, the import mode after "bye" and the
// bootloader, as a pure byte-in, byte-out machine that any transport can carry (the scripted
// link in memory, a thread on a pty or a socket). It checks block checksums the way the
// bootloader does and keeps what it was sent.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class TBootPeer {
public:
    enum class Mode { Firmware, Import, Bootloader };
    struct Identity {
        std::string version = "1.0.22";
        std::vector<std::pair<std::string, uint8_t>> settings;  // slot order
    };

    TBootPeer();
    // Bytes from the tool; returns what the ECU answers.
    std::string onBytes(const std::string& bytes);
    // No further byte came for a moment: a lone "Man" is now a greeting, not the start of
    // the bootloader's entry text.
    std::string idle();
    // A whole chunk, after which the line falls quiet: onBytes, then idle.
    std::string exchange(const std::string& bytes) {
        std::string out = onBytes(bytes);
        return out + idle();
    }

    // Script.
    Identity running;                 // the firmware now running
    Identity afterFlash;              // the firmware a flash installs
    bool bootloaderOnly = false;      // "Man" gets "?Y?"
    int silentSyncs = 0;              // so many "p" go unanswered
    int silentIdentifies = 0;         // so many "S" go unanswered in the bootloader
    std::map<int, int> refuseBlock;   // block (word address / 128) -> refusals left
    std::map<int, int> silentAddress; // block -> unanswered address commands left
    int unansweredHellos = 0;         // so many "Man" go unanswered (a firmware slow to wake)
    bool firmwareStarts = true;       // false: after "E" the bootloader stays (a broken image)

    // Record.
    std::string received;                // every byte from the tool, in order
    Mode mode = Mode::Firmware;
    std::vector<std::string> commands;   // every command understood, as text
    std::string entryCode;               // the two digits of "Mancb..cb"
    std::vector<int> addresses;          // word addresses of the "A" commands
    std::map<int, std::vector<uint8_t>> flash;  // block -> its 256 bytes, as written
    std::vector<std::pair<int, uint16_t>> refusedSums;  // block, sum the tool sent
    std::map<int, uint8_t> written;      // slot -> value from "mttg"
    int stores = 0;
    std::string imported;                // bytes taken outside command mode
    std::vector<std::string> importChunks;
    bool erased = false;

private:
    std::string step(bool idle);
    std::string firmwareCommand(bool idle, bool& progress);
    std::string bootloaderCommand(bool& progress);
    std::string buffer;
};
