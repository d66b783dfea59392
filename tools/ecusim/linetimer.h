#pragma once
// The time bytes take on a serial line: ten bit times each (a start bit, eight data bits, a stop
// bit), one after the other. With --pace the simulator takes a byte in only once the line would
// have carried it, and lets a reply's bytes reach the tool no faster than the line would.

#include <cstddef>
#include <cstdint>

namespace ecusim {

inline constexpr int bitsPerByte = 10;

// Nanoseconds that `bytes` bytes take back to back at `rate` bit/s.
int64_t lineTimeNs(uint64_t bytes, int rate);

// One direction of the line. Bytes that wait for it cross in a run, back to back; a run starts
// when bytes are waiting and the line is free, and the line is free again once the last byte
// taken has crossed.
class TLineTimer {
public:
    // Bytes are waiting from `nowNs` on. A run under way goes on: they follow it back to back.
    void start(int64_t nowNs, int rate);
    bool running() const { return active; }
    // When the `n`-th byte not yet taken (0: the next one) will have crossed.
    int64_t crossesAtNs(uint64_t n) const;
    // How many bytes of the run have crossed by `nowNs` and were not taken yet.
    uint64_t crossed(int64_t nowNs) const;
    void take(uint64_t n) { taken += n; }
    // Nothing more is waiting: the run ends with the last byte taken.
    void stop();
    // The rate changes: bytes not yet taken cross at the new rate, after those taken.
    void setRate(int rate);

private:
    bool active = false;
    int rate_ = 9600;
    int64_t runStartNs = 0;
    uint64_t taken = 0;  // bytes of the run handed on so far
    int64_t freeAtNs = INT64_MIN;
};

}  // namespace ecusim
