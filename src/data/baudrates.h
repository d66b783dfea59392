#pragma once
// The serial bit rates of the ECU's line and the divisors its firmware takes for them ("mcB" +
// divisor). Both the serial link (which rates it may run at) and the protocol (what it sends to
// change the rate) read them here. Any other rate would strand the ECU at a rate the tool never
// uses.

#include <iterator>
#include <string>

namespace line_rates {

struct TRateDivisor {
    int rate;
    int divisor;
};
inline constexpr TRateDivisor rateDivisors[] = {
    {9600, 103}, {19200, 51}, {38400, 25}, {57600, 16}, {115200, 8}};
// The divisor of a known rate; 0 for any other.
inline constexpr int divisorFor(int rate) {
    for (const auto& rd : rateDivisors)
        if (rd.rate == rate) return rd.divisor;
    return 0;
}
inline constexpr bool isKnownBaudRate(int rate) { return divisorFor(rate) != 0; }
// "9600, 19200, 38400, 57600 and 115200", for messages.
inline std::string knownBaudRatesText() {
    std::string text;
    const size_t count = std::size(rateDivisors);
    for (size_t i = 0; i < count; ++i)
        text += (i == 0 ? "" : i + 1 == count ? " and " : ", ") + std::to_string(rateDivisors[i].rate);
    return text;
}

}  // namespace line_rates
