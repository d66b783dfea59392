#pragma once
// A firmware file the operator chose, read and checked before the ECU is disturbed, and the
// texts both fronts show around a firmware update.

#include <memory>
#include <string>
#include <vector>

#include "data/ihexfile.h"

// The question before a firmware update; nothing is sent unless it is answered yes.
inline constexpr const char* reflashQuestionText =
    "You are about to reflash the firmware in your ECU. It is very important that you do not power off your ECU "
    "during the flash process! Are you sure you want to do this?";
// The message for a file that is read but cannot be flashed; the file and the reason follow it.
inline constexpr const char* unreadableImageText = "Unable to read firmware image!";

// The firmware reader's sizes: the image starts at 8192 bytes and grows by 1024.
inline constexpr uint16_t firmwareInitialSize = 8192;
inline constexpr uint16_t firmwareGrowStep = 1024;

// Why an image cannot be flashed.
enum class TImageFault {
    None,
    CannotOpen,  // the file could not be read at all (missing, a folder, too large to read)
    Malformed,   // not valid HEX, or without its end record
    TooLarge,    // more than the ECU's 131072 bytes
    NoData,      // not one data byte: it would flash an all-zero image
};

// Why the ECU cannot take `image` ("firmware image too large: ..."), in the words every front
// uses; empty when it can.
std::string imageRefusal(const TIHexFile& image);

struct TFirmwareImage {
    std::unique_ptr<TIHexFile> hex;  // the laid-out image, its file closed; null when refused
    TImageFault fault = TImageFault::None;
    // For a refused file: the message ("Unable to read firmware image!", or for a file that
    // could not be read at all the reason with the file's name) and the detail under it
    // ("FILE: reason"; empty with CannotOpen).
    std::string message, detail;
    // The records passed over (TIHexFile::warnings), to be shown before anything is asked.
    std::vector<std::string> warnings;
};

// Opens, reads, lays out and checks a firmware file: valid HEX with its end record, some data,
// at most ecu_protocol::maxImageBytes. Throws nothing for a file it refuses.
TFirmwareImage loadFirmwareImage(const std::string& fileName);
