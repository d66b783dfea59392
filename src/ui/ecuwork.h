#pragma once
// ECU work on the GUI thread, and the one guard every event handler that calls the core runs
// its work through.
//
// Connect, import, restore, setting writes and output tests run on the GUI thread and let
// events through while they wait for the ECU (the link's waits, the debug log, the fan test).
// A close asked for meanwhile (the close box, SIGINT, SIGTERM) must not say goodbye on the same
// link in the middle of an exchange: the window asks busy() and hands its close to whenIdle(),
// which carries it out when the work has ended.

#include <exception>
#include <functional>
#include <string>

#include "platform/services.h"

namespace ecu_work {

// True while ECU work started through a TScope (or guarded) is in progress.
bool busy();
// Runs `action` at once when no ECU work is in progress, otherwise as soon as the last piece
// of it ends. Only the newest action asked for meanwhile is kept.
void whenIdle(std::function<void()> action);

// ECU work in progress for as long as it lives. Scopes nest.
class TScope {
public:
    TScope();
    ~TScope();
    TScope(const TScope&) = delete;
    TScope& operator=(const TScope&) = delete;
};

// The operator's text for an error the core raised (its own text), or for anything else.
std::string messageOf(const std::exception_ptr& error);

}  // namespace ecu_work

// Runs `work`, an event handler's call into the core, as ECU work: no exception leaves it; an
// error is shown to the operator with its own text once the work has ended. True when `work`
// ran through without an error.
template <class Work>
bool guarded(TMainServices& messages, Work&& work) {
    std::exception_ptr error;
    {
        ecu_work::TScope scope;
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (!error) return true;
    messages.reportMessage(ecu_work::messageOf(error));
    return false;
}
