#pragma once
// The general text-to-number conversion and its error.

#include <stdexcept>
#include <string>

// A text that should have held a number did not. `text()` is the offending text as it came,
// so that callers can show the operator what the ECU or a file actually said.
class EConvertError : public std::runtime_error {
public:
    EConvertError(const std::string& message, std::string text)
        : std::runtime_error(message), text_(std::move(text)) {}
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// A decimal integer with an optional sign and nothing else around it ("12", "-3").
// Throws EConvertError for anything else, the empty text and out-of-range values included.
int strToInt(const std::string& text);

// Hexadecimal digits of either case, nothing else ("1A", "ff"). Throws EConvertError.
unsigned hexToInt(const std::string& digits);

// Two upper-case hexadecimal digits: 10 gives "0A". Only the low byte counts.
std::string hexHH(unsigned value);

// Quotes a byte string for a message, showing control bytes as \r, \n or \xHH.
std::string quoteBytes(const std::string& bytes);
