#include "linetimer.h"

#include <algorithm>

namespace ecusim {

namespace {

constexpr int64_t nsPerSecond = 1000000000;

}  // namespace

int64_t lineTimeNs(uint64_t bytes, int rate) {
    // Rounded up, so that a byte counts as crossed at the time given for it. In 128 bits: a run
    // of a few hours at a high rate would not fit 64.
    const unsigned __int128 bits = static_cast<unsigned __int128>(bytes) * bitsPerByte * nsPerSecond;
    const unsigned r = static_cast<unsigned>(std::max(rate, 1));
    return static_cast<int64_t>((bits + r - 1) / r);
}

void TLineTimer::start(int64_t nowNs, int rate) {
    if (active) return;
    active = true;
    rate_ = rate;
    runStartNs = std::max(nowNs, freeAtNs);
    taken = 0;
}

int64_t TLineTimer::crossesAtNs(uint64_t n) const { return runStartNs + lineTimeNs(taken + n + 1, rate_); }

uint64_t TLineTimer::crossed(int64_t nowNs) const {
    if (!active || nowNs <= runStartNs) return 0;
    const unsigned __int128 bits = static_cast<unsigned __int128>(nowNs - runStartNs) * std::max(rate_, 1);
    const uint64_t total = static_cast<uint64_t>(bits / (static_cast<unsigned __int128>(bitsPerByte) * nsPerSecond));
    return total > taken ? total - taken : 0;
}

void TLineTimer::stop() {
    if (!active) return;
    freeAtNs = runStartNs + lineTimeNs(taken, rate_);
    active = false;
}

void TLineTimer::setRate(int rate) {
    if (rate == rate_) return;
    if (active) {
        runStartNs += lineTimeNs(taken, rate_);
        taken = 0;
    }
    rate_ = rate;
}

}  // namespace ecusim
