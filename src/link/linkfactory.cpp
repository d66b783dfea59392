#include "link/linkfactory.h"

#include "link/serialcommunicator.h"
#include "link/socketcommunicator.h"

TLinkFactory realLinkFactory() {
    return [](TLinkKind kind, TOperator& op) -> std::unique_ptr<TCommunicator> {
        if (kind == TLinkKind::Serial) return std::make_unique<TSerialCommunicator>(op);
        return std::make_unique<TSocketCommunicator>(op);
    };
}
