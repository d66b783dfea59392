// The ECU's replies while the tool goes online: to the greeting, the version request and the
// settings download, through TECU on the scripted link.

#include <fuzzer/FuzzedDataProvider.h>

#include "ecu/ecu.h"
#include "fuzzsupport.h"
#include "platform/convert.h"
#include "support/scriptedlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool serial = in.ConsumeBool();
    const std::string greeting = in.ConsumeRandomLengthString(16);
    const std::string version = in.ConsumeRandomLengthString(64);
    const std::string table = in.ConsumeRemainingBytesAsString();

    TFakeOperator<> fake;
    TScriptedLink* link = nullptr;
    TECU ecu(fake.op, [&](TLinkKind, TOperator& op) {
        auto l = std::make_unique<TScriptedLink>(op, fake.clock, serial);
        link = l.get();
        return l;
    });
    link->reply("Man", greeting);
    link->reply("mdV", version);
    link->reply("mcd", table);
    link->setActive(true);
    try {
        ecu.connect();
    } catch (const EConvertError&) {
        // A version or a value that is not a number: the caller reports it.
    } catch (const EReplyError&) {
        // Replies not framed as the ECU frames them, or without end: refused with a message.
    }
    check(link->timeout == ecu_protocol::handshakeTimeoutMs, "connect leaves the 100 ms time-out");
    return 0;
}
