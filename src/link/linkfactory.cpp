#include "link/linkfactory.h"

#include <cerrno>

#include "link/serialcommunicator.h"
#include "link/socketcommunicator.h"
#include "platform/clientsocket.h"

TLinkFactory realLinkFactory() {
    return [](TLinkKind kind, TOperator& op) -> std::unique_ptr<TCommunicator> {
        if (kind == TLinkKind::Serial) return std::make_unique<TSerialCommunicator>(op);
        return std::make_unique<TSocketCommunicator>(op);
    };
}

std::string linkOpenFailure(TCommunicator& link, const std::string& address) {
    if (auto* serial = dynamic_cast<TSerialCommunicator*>(&link)) return serial->openError();
    if (auto* network = dynamic_cast<TSocketCommunicator*>(&link)) {
        const int code = network->openErrorCode();
        if (code == ECONNREFUSED)
            return "connection refused: nothing listens there. Start the ECU's network link there, or the "
                   "simulated ECU: veltrace-ecusim --listen " + address;
        if (code == ETIMEDOUT) return "no answer to the connect";
        if (code != 0) return socketErrorText(code);
    }
    return {};
}
