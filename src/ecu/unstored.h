#pragma once
// The slots written to the ECU since it last stored its settings. Such values live in the ECU
// only until it is switched off. Writes and stores may come from the worker thread (a firmware
// update) while the windows read the count, hence the lock.

#include <cstdint>
#include <mutex>
#include <set>

class TUnstoredSlots {
public:
    void written(uint8_t slot);
    void stored();
    // How many distinct slots were written since the last store.
    int count() const;

private:
    mutable std::mutex lock;
    std::set<uint8_t> writtenSlots;
};
