#include "ecu/unstored.h"

void TUnstoredSlots::written(uint8_t slot) {
    std::lock_guard<std::mutex> hold(lock);
    writtenSlots.insert(slot);
}

void TUnstoredSlots::stored() {
    std::lock_guard<std::mutex> hold(lock);
    writtenSlots.clear();
}

int TUnstoredSlots::count() const {
    std::lock_guard<std::mutex> hold(lock);
    return static_cast<int>(writtenSlots.size());
}
