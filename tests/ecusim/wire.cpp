#include "wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

speed_t speedFor(int rate) {
    switch (rate) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 4800: return B4800;
    default: throw std::runtime_error("no termios speed for " + std::to_string(rate));
    }
}

int hexNibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

TWire TWire::tcp(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error("connect: " + std::string(std::strerror(errno)));
    }
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return TWire(fd);
}

TWire TWire::pty(const std::string& path, int rate) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    TWire wire(fd);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    wire.setRate(rate);
    ::tcflush(fd, TCIOFLUSH);
    return wire;
}

TWire::~TWire() {
    if (fd >= 0) ::close(fd);
}

void TWire::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write: " + std::string(std::strerror(errno)));
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
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(quietMs, left))) <= 0) return out;
        const ssize_t n = ::read(fd, buf, sizeof buf);
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
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return out;
        if (::read(fd, &c, 1) != 1) return out;
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
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        if (p.revents & (POLLHUP | POLLERR)) return true;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
}

void TWire::setRates(int sendRate, int receiveRate) {
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfsetospeed(&t, speedFor(sendRate));
    ::cfsetispeed(&t, speedFor(receiveRate));
    if (::tcsetattr(fd, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr failed");
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
