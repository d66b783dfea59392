#pragma once
// The bit rates the VIVU v3 firmware knows, shared by the ECU's conversation ("mcB" + divisor)
// and the serial link (which refuses any other rate).

#include <string>

namespace ecu_protocol {
// The bit rates the firmware knows and the divisors it takes for them ("mcB" + divisor). Any
// other rate would strand the ECU at a rate the tool never uses.
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
std::string knownBaudRatesText();
}  // namespace ecu_protocol
