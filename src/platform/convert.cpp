#include "platform/convert.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

int strToInt(const std::string& text) {
    const std::string message = "'" + text + "' is not a valid integer value";
    size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    if (i == text.size()) throw EConvertError(message, text);
    for (size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') throw EConvertError(message, text);
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) throw EConvertError(message, text);
    return static_cast<int>(v);
}

unsigned hexToInt(const std::string& digits) {
    if (digits.empty() || digits.size() > 8)
        throw EConvertError("'" + digits + "' is not a valid hexadecimal value", digits);
    unsigned v = 0;
    for (char c : digits) {
        int d = hexDigit(c);
        if (d < 0) throw EConvertError("'" + digits + "' is not a valid hexadecimal value", digits);
        v = v * 16 + static_cast<unsigned>(d);
    }
    return v;
}

std::string hexHH(unsigned value) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[(value >> 4) & 0xF], digits[value & 0xF]};
}

std::string quoteBytes(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '"' || c == '\\') { out += '\\'; out += static_cast<char>(c); }
        else if (c < 0x20 || c >= 0x7F) out += "\\x" + hexHH(c);
        else out += static_cast<char>(c);
    }
    return out + "\"";
}
