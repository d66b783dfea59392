#include "data/baudrates.h"

#include <iterator>

std::string ecu_protocol::knownBaudRatesText() {
    std::string text;
    const size_t count = std::size(ecu_protocol::rateDivisors);
    for (size_t i = 0; i < count; ++i)
        text += (i == 0 ? "" : i + 1 == count ? " and " : ", ") + std::to_string(ecu_protocol::rateDivisors[i].rate);
    return text;
}
