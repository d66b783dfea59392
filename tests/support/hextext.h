#pragma once
// Writing Intel HEX lines and files for the tests and benchmarks of the HEX reader.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

// One record as a line without its line end: ':', count, address, type, data, checksum.
inline std::string hexLine(uint8_t type, uint16_t address, const std::vector<uint8_t>& data,
                           bool lowerCase = false) {
    const char* digits = lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string line = ":";
    unsigned sum = 0;
    auto put = [&](uint8_t b) {
        line += digits[b >> 4];
        line += digits[b & 0xF];
        sum += b;
    };
    put(static_cast<uint8_t>(data.size()));
    put(static_cast<uint8_t>(address >> 8));
    put(static_cast<uint8_t>(address & 0xFF));
    put(type);
    for (uint8_t b : data) put(b);
    put(static_cast<uint8_t>(-sum & 0xFF));
    return line;
}

// The extended segment address record for a segment (the base is segment × 16).
inline std::string segmentLine(uint16_t segment) {
    return hexLine(2, 0, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment & 0xFF)});
}

// The extended linear address record for the upper 16 bits of the address (base × 65536).
inline std::string linearLine(uint16_t upper) {
    return hexLine(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)});
}

// Writes the bytes to a file in `dir` (a scratch folder, see tempdir.h) and returns its path.
inline std::string writeFile(const std::string& dir, const std::string& name, const std::string& bytes) {
    const std::string file = (std::filesystem::path(dir) / name).string();
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file);
    return file;
}
