#pragma once
// Writing Intel HEX lines and scratch files for the tests and benchmarks of the HEX reader.

#include <cstdint>
#include <cstdlib>
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

// A scratch folder, removed with everything in it when the object goes.
class TTempDir {
public:
    TTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "veltrace-hex-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch folder");
        path = pattern;
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    // Writes the bytes to a file in the folder and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string file = (path / name).string();
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + file);
        return file;
    }

    std::filesystem::path path;
};
