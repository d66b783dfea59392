#include "support/fakes.h"

#include <algorithm>

#include "ecu/ecu.h"

void TRecordingProgress::record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(call);
}

std::vector<std::string> TRecordingProgress::calls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
}

void TRecordingProgress::forget() {
    std::lock_guard<std::mutex> lock(mutex);
    log.clear();
}

std::vector<std::string> TRecordingProgress::statuses() const {
    std::vector<std::string> out;
    for (const auto& c : calls())
        if (c.rfind("status:", 0) == 0) out.push_back(c.substr(7));
    return out;
}

std::vector<int> TRecordingProgress::positions() const {
    std::vector<int> out;
    for (const auto& c : calls())
        if (c.rfind("position:", 0) == 0) out.push_back(std::stoi(c.substr(9)));
    return out;
}

void TRecordingLog::appendText(const std::string& text, TColor color) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back({text, color});
}

std::vector<TRecordingLog::Entry> TRecordingLog::entries() const {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
}

std::string TRecordingLog::all() const {
    std::string out;
    for (const auto& e : entries()) out += e.text;
    return out;
}

void TRecordingWindow::record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(call);
}

void TRecordingWindow::reportMessage(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back("message:" + text);
    shown.push_back(text);
}

std::vector<std::string> TRecordingWindow::messages() const {
    std::lock_guard<std::mutex> lock(mutex);
    return shown;
}

std::vector<std::string> TRecordingWindow::calls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
}

void TRecordingWindow::forget() {
    std::lock_guard<std::mutex> lock(mutex);
    log.clear();
    shown.clear();
}

std::string TMemoryPreferences::readPreference(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

void TMemoryPreferences::writePreference(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex);
    values[key] = value;
}

int64_t TFastClock::nowMs() {
    std::lock_guard<std::mutex> lock(mutex);
    return real.nowMs() + skipped;
}

void TFastClock::sleepMs(int ms) { sleepFor(ms, std::min(ms, maxRealPauseMs)); }

void TFastClock::sleepFor(int ms, int realMs) {
    if (realMs > 0) real.sleepMs(realMs);
    std::lock_guard<std::mutex> lock(mutex);
    slept.push_back(ms);
    skipped += ms - std::max(realMs, 0);
}

void TSimPauseClock::sleepMs(int ms) {
    if (ms == ecu_protocol::storePauseMs) sleepFor(ms, ms);
    else TFastClock::sleepMs(ms);
}

std::vector<int> TFastClock::pauses() const {
    std::lock_guard<std::mutex> lock(mutex);
    return slept;
}
