#pragma once
// The version information a program carries about itself: one block of bytes holding a tree of
// named nodes. Each node is laid out as
//
//   u16 length        bytes of the whole node (header, key, value, children), a multiple of 4
//   u16 valueLength   bytes of its value
//   key               single-byte text ending in a zero byte, padded with zeros to a multiple
//                     of 4 from the node's start
//   value             valueLength bytes, padded the same way
//   children          whole nodes, one after the other, up to length
//
// with numbers little-endian. The root "VersionInfo" holds
//   "StringFileInfo" with one string table per translation, named by eight lower-case hex
//                    digits (language * 65536 + code page, "040904e4"), one node per string
//                    whose value is the text and a terminating zero;
//   "VarFileInfo" with "Translation": pairs of 16-bit language and code page, the first pair
//                 naming the string table to read.
//
// The builder is usable at compile time, so a program can carry a block made from its build's
// version in a section of its own (VELTRACE_VERSION_SECTION); the version reader finds it there.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The program-file section holding the block. A macro because a section attribute wants a
// string literal.
#define VELTRACE_VERSION_SECTION ".veltrace_version"

inline constexpr std::string_view versionSectionName = VELTRACE_VERSION_SECTION;
inline constexpr std::string_view versionRootKey = "VersionInfo";

struct TVersionString {
    std::string_view name;
    std::string_view value;
};

// "\StringFileInfo\" table name for a translation: language * 65536 + code page as exactly eight
// lower-case hex digits ("100904e4" for language 0x1009, code page 0x04E4).
constexpr std::string translationKey(uint16_t language, uint16_t codePage) {
    constexpr char digits[] = "0123456789abcdef";
    const uint32_t number = uint32_t(language) << 16 | codePage;
    std::string key(8, '0');
    for (int i = 0; i < 8; ++i) key[7 - i] = digits[(number >> (4 * i)) & 0xF];
    return key;
}

namespace versionblock_detail {

constexpr void pad4(std::vector<uint8_t>& out, size_t nodeStart) {
    while ((out.size() - nodeStart) % 4 != 0) out.push_back(0);
}

constexpr void put16(std::vector<uint8_t>& out, size_t at, size_t value) {
    if (value > 0xFFFF) throw std::length_error("version information node too large");
    out[at] = uint8_t(value & 0xFF);
    out[at + 1] = uint8_t(value >> 8);
}

// Writes a node's header, key and value; its children follow; closeNode sets its length.
constexpr size_t openNode(std::vector<uint8_t>& out, std::string_view key,
                          std::span<const uint8_t> value) {
    const size_t start = out.size();
    out.resize(start + 4);
    put16(out, start + 2, value.size());
    out.insert(out.end(), key.begin(), key.end());
    out.push_back(0);
    pad4(out, start);
    out.insert(out.end(), value.begin(), value.end());
    pad4(out, start);
    return start;
}

constexpr void closeNode(std::vector<uint8_t>& out, size_t start) {
    put16(out, start, out.size() - start);
}

constexpr std::vector<uint8_t> textValue(std::string_view text) {
    std::vector<uint8_t> value(text.begin(), text.end());
    value.push_back(0);
    return value;
}

}  // namespace versionblock_detail

// A block with one translation and its strings.
constexpr std::vector<uint8_t> buildVersionBlock(uint16_t language, uint16_t codePage,
                                                 std::span<const TVersionString> strings) {
    using namespace versionblock_detail;
    std::vector<uint8_t> out;
    const size_t root = openNode(out, versionRootKey, {});
    const size_t stringInfo = openNode(out, "StringFileInfo", {});
    const std::string tableKey = translationKey(language, codePage);
    const size_t table = openNode(out, tableKey, {});
    for (const TVersionString& s : strings) {
        const std::vector<uint8_t> value = textValue(s.value);
        closeNode(out, openNode(out, s.name, value));
    }
    closeNode(out, table);
    closeNode(out, stringInfo);
    const size_t varInfo = openNode(out, "VarFileInfo", {});
    const std::array<uint8_t, 4> translation{uint8_t(language & 0xFF), uint8_t(language >> 8),
                                             uint8_t(codePage & 0xFF), uint8_t(codePage >> 8)};
    closeNode(out, openNode(out, "Translation", translation));
    closeNode(out, varInfo);
    closeNode(out, root);
    return out;
}

// The same block as an array of its exact size, for a constant in a program section.
template <size_t N>
constexpr std::array<uint8_t, N> versionBlockArray(uint16_t language, uint16_t codePage,
                                                   std::span<const TVersionString> strings) {
    const std::vector<uint8_t> block = buildVersionBlock(language, codePage, strings);
    if (block.size() != N) throw std::length_error("version information size mismatch");
    std::array<uint8_t, N> out{};
    for (size_t i = 0; i < N; ++i) out[i] = block[i];
    return out;
}

// The value of the node at `path`: names separated by backslashes below the root
// ("\VarFileInfo\Translation"); "\" alone is the root. Nothing when the path is not in the block
// or the block is malformed. Bytes after the root node (section padding) are ignored.
std::optional<std::span<const uint8_t>> queryVersionValue(std::span<const uint8_t> block,
                                                          std::string_view path);

// The string `name` of the block's first translation ("FileVersion"): the text up to its
// terminating zero; empty when the block has no translation table or no such string.
std::string versionString(std::span<const uint8_t> block, std::string_view name);
