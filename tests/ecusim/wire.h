#pragma once
// The test's own end of a line to the simulator: a loopback TCP client or the terminal end of
// the simulator's pseudo-terminal (POSIX only), with plain reads and writes. The system's part
// is in wire_posix.cpp and wire_win32.cpp. Plus what a test needs to speak
// to the bootloader by itself: its own block checksums and its own Intel HEX reader, written
// apart from the tool's code so that the simulator is checked against an independent reading.

#include <cstdint>
#include <string>
#include <vector>

class TWire {
public:
    static TWire tcp(int port);
    // Opens the terminal raw (8N1) at `rate`, as a serial port.
    static TWire pty(const std::string& path, int rate = 9600);
    ~TWire();
    TWire(TWire&& other) noexcept : fd(other.fd) { other.fd = -1; }
    TWire(const TWire&) = delete;

    void send(const std::string& bytes);
    // Reads until nothing new came for `quietMs`, or `maxMs` passed.
    std::string readQuiet(int quietMs = 150, int maxMs = 5000);
    // Reads until what arrived ends with `text`, or the time is up; returns what arrived.
    std::string readUntil(const std::string& text, int timeoutMs = 3000);
    // True when the other end closed or hung up within the time.
    bool closedWithin(int timeoutMs);
    // The pty's rates: what this end sends at and what it receives at.
    void setRates(int sendRate, int receiveRate);
    void setRate(int rate) { setRates(rate, rate); }

private:
    explicit TWire(long long fd) : fd(fd) {}
    // What is there within `timeoutMs`: the bytes read (at most `size`), 0 when none came, -1
    // when the other end closed or the line failed.
    long long readSome(char* buffer, size_t size, int timeoutMs);
    // The bytes taken (at least one), or -1 when the line failed.
    long long writeSome(const char* bytes, size_t size);
    long long fd = -1;  // a descriptor or a SOCKET
};

// A block of 256 bytes as the bootloader takes it: "Dk", 0, the bytes, sum high, sum low,
// xor high, xor low; both sums start at the word address and add up little-endian words.
std::string blockCommand(uint16_t wordAddress, const std::vector<uint8_t>& bytes);
std::string addressCommand(uint16_t wordAddress);

// Reads Intel HEX text (data, end and extended segment records) into a flat image from 0,
// unwritten bytes 0xFF. Fails the test on anything malformed.
std::vector<uint8_t> parseHex(const std::string& text);

// Enters the bootloader from command mode (at divisor `divisor`), erases, programs the image
// block by block and starts it with "E". Checks every acknowledgement.
void flashOverWire(TWire& wire, const std::vector<uint8_t>& image, const std::string& divisor = "67");
