#include "platform/wakesignal.h"

#include <windows.h>

#include <system_error>

TWakeSignal::TWakeSignal() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset: set until cleared
    if (!event)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "Cannot create a wake-up event");
    handles[0] = reinterpret_cast<intptr_t>(event);
}

TWakeSignal::~TWakeSignal() { CloseHandle(reinterpret_cast<HANDLE>(handles[0])); }

intptr_t TWakeSignal::handle() const { return handles[0]; }

void TWakeSignal::wake() { SetEvent(reinterpret_cast<HANDLE>(handles[0])); }

void TWakeSignal::clear() { ResetEvent(reinterpret_cast<HANDLE>(handles[0])); }
