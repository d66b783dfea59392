#include "wire.h"

#include <chrono>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int hexNibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

void TWire::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const long long n = writeSome(bytes.data() + done, bytes.size() - done);
        if (n <= 0) throw std::runtime_error("the wire failed while writing");
        done += static_cast<size_t>(n);
    }
}

std::string TWire::readQuiet(int quietMs, int maxMs) {
    std::string out;
    const int64_t end = nowMs() + maxMs;
    char buf[4096];
    for (;;) {
        const int64_t left = end - nowMs();
        if (left <= 0) return out;
        const long long n = readSome(buf, sizeof buf, static_cast<int>(std::min<int64_t>(quietMs, left)));
        if (n <= 0) return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

std::string TWire::readUntil(const std::string& text, int timeoutMs) {
    std::string out;
    const int64_t end = nowMs() + timeoutMs;
    char c;
    while (out.size() < text.size() || out.compare(out.size() - text.size(), text.size(), text) != 0) {
        const int64_t left = end - nowMs();
        if (left <= 0) return out;
        if (readSome(&c, 1, static_cast<int>(left)) != 1) return out;
        out += c;
    }
    return out;
}

bool TWire::closedWithin(int timeoutMs) {
    const int64_t end = nowMs() + timeoutMs;
    char buf[256];
    for (;;) {
        const int64_t left = end - nowMs();
        if (left <= 0) return false;
        if (readSome(buf, sizeof buf, static_cast<int>(left)) < 0) return true;
    }
}

std::string addressCommand(uint16_t wordAddress) {
    return std::string{'A', static_cast<char>(wordAddress >> 8), static_cast<char>(wordAddress & 0xFF)};
}

std::string blockCommand(uint16_t wordAddress, const std::vector<uint8_t>& bytes) {
    std::string out = std::string("Dk") + '\0';
    uint16_t sum = wordAddress, x = wordAddress;
    for (size_t k = 0; k < 128; ++k) {
        const uint8_t lo = k * 2 < bytes.size() ? bytes[k * 2] : 0xFF;
        const uint8_t hi = k * 2 + 1 < bytes.size() ? bytes[k * 2 + 1] : 0xFF;
        out += static_cast<char>(lo);
        out += static_cast<char>(hi);
        const uint16_t word = static_cast<uint16_t>(lo | (hi << 8));
        sum = static_cast<uint16_t>(sum + word);
        x ^= word;
    }
    out += static_cast<char>(sum >> 8);
    out += static_cast<char>(sum & 0xFF);
    out += static_cast<char>(x >> 8);
    out += static_cast<char>(x & 0xFF);
    return out;
}

std::vector<uint8_t> parseHex(const std::string& text) {
    std::vector<uint8_t> image;
    uint32_t base = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = text.find_first_not_of("\r\n", end);
        if (at == std::string::npos) at = text.size();
        if (line.empty()) continue;
        EXPECT_EQ(line[0], ':') << line;
        std::vector<uint8_t> rec;
        for (size_t i = 1; i + 1 < line.size(); i += 2)
            rec.push_back(static_cast<uint8_t>(hexNibble(line[i]) * 16 + hexNibble(line[i + 1])));
        uint8_t sum = 0;
        for (uint8_t b : rec) sum = static_cast<uint8_t>(sum + b);
        EXPECT_EQ(sum, 0) << "checksum of " << line;
        EXPECT_EQ(rec.size(), rec[0] + 5u) << line;
        const uint16_t offset = static_cast<uint16_t>((rec[1] << 8) | rec[2]);
        const uint8_t type = rec[3];
        if (type == 0) {
            const uint32_t start = base + offset;
            if (image.size() < start + rec[0]) image.resize(start + rec[0], 0xFF);
            std::copy(rec.begin() + 4, rec.begin() + 4 + rec[0], image.begin() + start);
        } else if (type == 2) {
            base = ((rec[4] << 8) | rec[5]) * 16u;
        } else {
            EXPECT_EQ(type, 1) << line;
        }
    }
    return image;
}

void flashOverWire(TWire& wire, const std::vector<uint8_t>& image, const std::string& divisor) {
    wire.send("Man");
    ASSERT_EQ(wire.readUntil("Hello>\r"), "Hello>\r");
    wire.send("Mancb" + divisor + "cb");
    ASSERT_EQ(wire.readUntil("Hello>\r"), "Hello>\r");
    wire.send("p");
    ASSERT_EQ(wire.readUntil("S"), "S");
    wire.send("S");
    ASSERT_EQ(wire.readUntil("AVREFI1"), "AVREFI1");
    wire.send("e");
    ASSERT_EQ(wire.readUntil("\r"), "\r");
    const size_t blocks = (image.size() + 255) / 256;
    for (size_t j = 0; j < blocks; ++j) {
        const uint16_t address = static_cast<uint16_t>(j * 128);
        wire.send(addressCommand(address));
        ASSERT_EQ(wire.readUntil("\r"), "\r") << "address of block " << j;
        const auto first = image.begin() + static_cast<long>(j * 256);
        const std::vector<uint8_t> bytes(first, first + static_cast<long>(std::min<size_t>(256, image.size() - j * 256)));
        wire.send(blockCommand(address, bytes));
        ASSERT_EQ(wire.readUntil("\r"), "\r") << "block " << j;
    }
    wire.send("E");
}
