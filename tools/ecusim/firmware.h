#pragma once
// Firmware images for the simulated ECU. An image is ordinary flash bytes; a simulated firmware
// carries a small descriptor somewhere inside them:
//
//   "#VELTRACE-ECUSIM-FIRMWARE#"   the marker, 26 ASCII bytes
//   length                         4 bytes, little-endian: the size of the body
//   body                           the state-file text: "version<TAB>TEXT\n", then one
//                                  "slot<TAB>name<TAB>value\n" line per slot
//   crc                            4 bytes, little-endian: CRC-32 (IEEE) of the body
//   "#IMAGE#"                      7 ASCII bytes, then the image's size and its CRC-32, 4 bytes
//                                  each, little-endian; the CRC is taken over the whole image
//                                  with its own 4 bytes read as 0
//
// When the bootloader starts the flashed firmware, the first marker in the flash decides:
// no marker keeps the running identity, a sound descriptor at descriptorOffset whose image is
// whole brings its version and table, and anything else means the flash holds a broken
// firmware, so only the bootloader answers: a descriptor that is damaged (cut short, wrong CRC,
// unreadable body) or found anywhere but at its place, or an image whose CRC does not match
// (a block skipped, written at a wrong address, or left out at the end). An image made before
// the image CRC existed (no "#IMAGE#") is taken on its descriptor alone.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "identity.h"

namespace ecusim {

inline constexpr const char* descriptorMarker = "#VELTRACE-ECUSIM-FIRMWARE#";
inline constexpr size_t flashSize = 131072;        // 65536 words of 16 bits
inline constexpr size_t defaultImageSize = 8192;
inline constexpr size_t descriptorOffset = 0x100;  // after the vector table
inline constexpr const char* imageMarker = "#IMAGE#";

uint32_t crc32(const uint8_t* data, size_t size);

std::vector<uint8_t> encodeDescriptor(const TFirmwareIdentity& identity);

struct TImageIdentity {
    enum class Kind { None, Valid, Broken } kind = Kind::None;
    TFirmwareIdentity identity;  // for Valid
    std::string problem;         // for Broken
};
TImageIdentity findIdentity(const std::vector<uint8_t>& flash);

// A firmware image of at least `size` bytes (rounded up to whole 256-byte blocks): code-like
// filler bytes that depend on the version, with the descriptor at descriptorOffset unless
// `withDescriptor` is false. Throws ESimFileError when the descriptor does not fit in the
// flash.
std::vector<uint8_t> buildImage(const TFirmwareIdentity& identity, size_t size, bool withDescriptor);

// Intel HEX text for the image: 16-byte data records from address 0, an extended segment
// address record (type 02) before the first record at or above 64 KiB, the end record; lines
// end with CR LF.
std::string toIntelHex(const std::vector<uint8_t>& image);

}  // namespace ecusim
