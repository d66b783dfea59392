#pragma once
// The ECU's commands, replies and timing, named in one place. The bit rates it knows are in
// data/baudrates.h, where the links find them too.

#include <cstddef>
#include <cstdint>

#include "data/baudrates.h"

// The ECU's commands and their timing: every text that goes on the wire comes from here.
namespace ecu_protocol {
inline constexpr const char* hello = "Man";
inline constexpr const char* helloReply = "Hello>\r";
inline constexpr const char* bootloaderReply = "?Y?";
inline constexpr const char* goodbye = "bye";
inline constexpr const char* goodbyeReply = "Bye\r";
inline constexpr const char* goodbyeReplyShort = "Bye";
inline constexpr const char* goodbyeRetryReply = "bye";
inline constexpr const char* identify = "S";
inline constexpr const char* identifyReply = "AVREFI1";
inline constexpr const char* readVersion = "mdV";
inline constexpr const char* readSettings = "mcd";
inline constexpr const char* settingsLineEnd = "\r\n";
inline constexpr const char* setBaudRate = "mcB";
inline constexpr const char* writeSetting = "mttg";
inline constexpr const char* writeSettingValue = "c";
inline constexpr const char* storeSettings = "mcs";
inline constexpr const char* outputTestOn = "mde02";
inline constexpr const char* outputTestOff = "mde00";
inline constexpr const char* setOutput = "mdh";

inline constexpr int handshakeRate = 9600;        // the handshake always starts here
inline constexpr int bootloaderProbeRate = 19200; // the last try for a bootloader
inline constexpr int handshakeTimeoutMs = 100;    // per byte, during connect and downloads
inline constexpr int goodbyeRetryPauseMs = 100;
inline constexpr int bootloaderProbePauseMs = 50;
inline constexpr int baudChangePauseMs = 500;     // after "mcB", before the link follows
inline constexpr int outputOnFlag = 128;
// The bit rates the firmware knows and their divisors (data/baudrates.h).
using line_rates::TRateDivisor;
using line_rates::rateDivisors;
using line_rates::divisorFor;
using line_rates::isKnownBaudRate;
using line_rates::knownBaudRatesText;
// Far above any real reply (the longest is a settings line): an ECU that sends this many
// bytes without the awaited text is streaming noise.
inline constexpr size_t maxReplyBytes = 4096;
// The table has 256 slots; a download that goes on past this many lines has no end.
inline constexpr int maxSettingsLines = 1024;
// The whole settings download, however the bytes trickle in: 1024 lines at 9600 bit/s take 22 s.
inline constexpr int settingsDownloadLimitMs = 30000;
// After "E" the new firmware boots: it is greeted (or asked its version) again and again for
// this long before it counts as not started.
inline constexpr int bootAllowanceMs = 5000;
// After "mcs" the ECU writes its table into EEPROM (about 3.4 ms a byte, 256 bytes) and takes
// nothing in meanwhile: the next command waits this long.
inline constexpr int storePauseMs = 1000;

// The bootloader, entered with "Mancb" + rate code + "cb".
inline constexpr const char* bootloaderEntry = "Mancb";
inline constexpr const char* bootloaderEntryEnd = "cb";
inline constexpr const char* sync = "p";
inline constexpr const char* syncReply = "S";
inline constexpr const char* erase = "e";
inline constexpr const char* ack = "\r";
inline constexpr uint8_t addressCommand = 0x41;  // 'A', then the word address high, low
inline constexpr const char* blockHeader = "Dk";
inline constexpr uint8_t blockHeaderEnd = 0x00;
inline constexpr const char* leaveBootloader = "E";
inline constexpr const char* greetingReply = "Hello>\r";
inline constexpr int syncTries = 6;              // "S" is awaited at most six times
inline constexpr int identifyTries = 6;
inline constexpr int blockBytes = 256;           // 128 words of 16 bits
inline constexpr int maxImageBytes = 131072;     // 512 blocks: word addresses fit 16 bits
inline constexpr int maxAddressSends = 10;       // per block
inline constexpr int maxBlockSends = 5;          // per block
inline constexpr int flashTimeoutMs = 1000;
// The erase's CR is awaited this long on every link kind: a chip erased page by page takes
// seconds, and a CR that came after its wait would answer the next command.
inline constexpr int eraseLimitMs = 15000;
// Before "E": the line must have been quiet this long, so that a block's late reply is seen.
inline constexpr int lastReplyQuietMs = 100;
inline constexpr char refusedReply = '?';
inline constexpr int refusedBlockPauseMs = 2500;
inline constexpr int greetingRatePauseMs = 100;
inline constexpr int unknownRateCode = 103;      // the code of 9600, for any rate not listed

// Settings import: each line of the file goes out alone, 10 ms apart.
inline constexpr const char* importGreetingReply = "Hello>";
inline constexpr int importLinePauseMs = 10;
}  // namespace ecu_protocol
