#include "transport.h"

#include "platform/convert.h"

namespace ecusim {

std::pair<std::string, int> splitHostPort(const std::string& text) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            throw ETransportError("'" + text + "' is not [ADDRESS]:PORT");
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon)
            throw ETransportError("'" + text + "' is not HOST:PORT");
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    int p = -1;
    try {
        p = strToInt(port);
    } catch (const EConvertError&) {
    }
    if (host.empty() || p < 0 || p > 65535) throw ETransportError("'" + text + "' is not HOST:PORT (port 0..65535)");
    return {host, p};
}

}  // namespace ecusim
