#pragma once
// Going online: the link opened, the debug echo set, the handshake run, and the link closed
// again when the ECU did not answer. Both fronts go online this way and present the outcome.

#include <string>

namespace online_text {
inline constexpr const char* openFailed = "Unable to open connection to ECU!";
inline constexpr const char* connectFailed = "Unable to establish communications with ECU.";
inline constexpr const char* connectingCaption = "Connecting...";
}  // namespace online_text

struct TOnlineOutcome {
    enum class TResult { Online, OpenFailed, ConnectFailed };
    TResult result = TResult::Online;
    std::string linkName;  // the link as the messages name it
    // OpenFailed: why the link did not open, where its layer can tell. ConnectFailed: the error
    // that ended the handshake (a settings line without a value, replies without end, a lost
    // link); empty when nothing answered.
    std::string reason;
    // Why the link could not be closed cleanly after a failed handshake (the goodbye failed);
    // empty when it closed.
    std::string closeFailure;

    bool online() const { return result == TResult::Online; }
    // The operator's headline: one of online_text's; empty when online.
    std::string message() const;
    // What goes with it: "LINK: why" for a link that did not open, the reason for a handshake.
    std::string detail() const;
};
