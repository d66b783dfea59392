#pragma once
// Recording fakes of the operator seams, for the tests.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/services.h"

// Every call the core made on the progress dialog, in order ("status:Connected...",
// "position:100", "show", ...).
class TRecordingProgress : public TProgress {
public:
    void setCaption(const std::string& t) override { record("caption:" + t); }
    void setStatusText(const std::string& t) override { record("status:" + t); status = t; }
    void setPosition(int p) override {
        position = p < 0 ? 0 : p > 100 ? 100 : p;
        record("position:" + std::to_string(position));
    }
    int getPosition() override { return position; }
    void show() override { record("show"); }
    void hide() override { record("hide"); }
    void close() override { record("close"); }

    std::vector<std::string> calls() const;
    void forget();  // drops what was recorded so far
    std::vector<std::string> statuses() const;   // the status texts only
    std::vector<int> positions() const;          // the positions only
    std::atomic<int> position{0};
    std::string status;

private:
    void record(const std::string& call);
    mutable std::mutex mutex;
    std::vector<std::string> log;
};

class TRecordingLog : public TDebugLog {
public:
    struct Entry {
        std::string text;
        TColor color;
    };
    void appendText(const std::string& text, TColor color) override;
    std::vector<Entry> entries() const;
    std::string all() const;  // every text, in order

private:
    mutable std::mutex mutex;
    std::vector<Entry> log;
};

class TRecordingWindow : public TMainServices {
public:
    void reportMessage(const std::string& text) override;
    void setActivity(bool on) override { record(on ? "activity:on" : "activity:off"); }
    void setFirmwareText(const std::string& text) override { record("firmware:" + text); firmware = text; }
    void repaint() override { record("repaint"); }
    void switchOnline(bool on) override { record(on ? "online:on" : "online:off"); }

    std::vector<std::string> messages() const;
    std::vector<std::string> calls() const;
    void forget();  // drops what was recorded so far
    std::string firmware;

private:
    void record(const std::string& call);
    mutable std::mutex mutex;
    std::vector<std::string> log;
    std::vector<std::string> shown;
};

// Preferences in memory; a key never written reads as empty.
class TMemoryPreferences : public TPreferences {
public:
    std::string readPreference(const std::string& key) override;
    void writePreference(const std::string& key, const std::string& value) override;
    std::map<std::string, std::string> values;

private:
    std::mutex mutex;
};

// Real time, but fixed pauses are recorded and skipped: the time they would have taken is
// added to the clock, so deadlines computed around them stay consistent. With a
// `maxRealPauseMs`, each pause still sleeps up to that long, where a peer needs a moment
// (the simulated ECU after "mcB").
class TFastClock : public TClock {
public:
    explicit TFastClock(int maxRealPauseMs = 0) : maxRealPauseMs(maxRealPauseMs) {}
    int64_t nowMs() override;
    void sleepMs(int ms) override;
    std::vector<int> pauses() const;

protected:
    // Records a pause of `ms`, `realMs` of it slept for real.
    void sleepFor(int ms, int realMs);

private:
    const int maxRealPauseMs;
    mutable std::mutex mutex;
    int64_t skipped = 0;
    std::vector<int> slept;
    TSystemClock real;
};

// Fixed pauses skipped, but the pause after "mcs" slept whole: the simulated ECU takes as long
// to store its settings as a real one.
class TSimPauseClock : public TFastClock {
public:
    explicit TSimPauseClock(int maxRealPauseMs = 0) : TFastClock(maxRealPauseMs) {}
    void sleepMs(int ms) override;
};

// The same with other fixed pauses cut to at most 50 ms of real sleep.
class TShortPauseClock : public TSimPauseClock {
public:
    TShortPauseClock() : TSimPauseClock(50) {}
};

// A purely virtual clock: it stands still until a pause or the scripted link moves it.
class TVirtualClock : public TClock {
public:
    int64_t nowMs() override { return now; }
    void sleepMs(int ms) override {
        slept.push_back(ms);
        now += ms;
    }
    void advance(int64_t ms) { now += ms; }
    std::vector<int> slept;
    int64_t now = 1000000;
};

// The whole bundle of fakes, ready to hand to the core.
template <class Clock = TVirtualClock>
struct TFakeOperator {
    TRecordingProgress progress;
    TRecordingLog log;
    TRecordingWindow window;
    TMemoryPreferences prefs;
    Clock clock;
    TOperator op{progress, log, window, prefs, clock};
};
