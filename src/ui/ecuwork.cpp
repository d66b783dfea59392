#include "ui/ecuwork.h"

#include <utility>

namespace {

// The GUI thread's: every scope is made and ended there.
int depth = 0;
std::function<void()> idleAction;

}  // namespace

bool ecu_work::busy() { return depth > 0; }

void ecu_work::whenIdle(std::function<void()> action) {
    if (depth == 0) {
        action();
        return;
    }
    idleAction = std::move(action);
}

ecu_work::TScope::TScope() { ++depth; }

ecu_work::TScope::~TScope() {
    if (--depth > 0 || !idleAction) return;
    const std::function<void()> action = std::exchange(idleAction, nullptr);
    try {
        action();
    } catch (...) {
        // The action only queues the close; nothing it could raise may leave a destructor.
    }
}

std::string ecu_work::messageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "An unexpected error ended the operation";
    }
}
