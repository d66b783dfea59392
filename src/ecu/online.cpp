#include "ecu/online.h"

#include <exception>

#include "ecu/ecu.h"
#include "link/linkfactory.h"

std::string TOnlineOutcome::message() const {
    switch (result) {
    case TResult::OpenFailed:
        return online_text::openFailed;
    case TResult::ConnectFailed:
        return online_text::connectFailed;
    case TResult::Online:
        break;
    }
    return {};
}

std::string TOnlineOutcome::detail() const {
    if (result == TResult::OpenFailed) return linkName + (reason.empty() ? "" : ": " + reason);
    return reason;
}

TOnlineOutcome TECU::goOnline(bool echo, const std::string& linkName) {
    TOnlineOutcome outcome;
    outcome.linkName = linkName;
    std::string openError;
    try {
        setOnline(true);
    } catch (const std::exception& e) {
        openError = e.what();  // a host name that cannot be looked up, for one
    }
    if (!isOnline()) {
        outcome.result = TOnlineOutcome::TResult::OpenFailed;
        outcome.reason = openError.empty() ? linkOpenFailure(*link, linkName) : openError;
        return outcome;
    }
    setDebugEcho(echo);

    bool connected = false;
    op.progress.setCaption(online_text::connectingCaption);
    op.progress.show();
    try {
        connected = connect();
    } catch (const std::exception& e) {
        outcome.reason = e.what();
    }
    op.progress.hide();
    if (connected) return outcome;

    outcome.result = TOnlineOutcome::TResult::ConnectFailed;
    try {
        setOnline(false);
    } catch (const std::exception& e) {
        outcome.closeFailure = e.what();
    }
    return outcome;
}
