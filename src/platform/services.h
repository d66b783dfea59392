#pragma once
// The seams through which the core reaches the operator and the machine. The core declares
// them and is handed one bundle of implementations; the app implements them with its windows,
// the command-line front on a terminal, the tests with recording fakes.

#include <cstdint>
#include <string>

// A 24-bit colour of the debug log.
struct TColor {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const TColor&) const = default;
};

inline constexpr TColor sentColor{255, 0, 0};      // bytes the tool sent
inline constexpr TColor receivedColor{0, 0, 255};  // bytes the tool received
inline constexpr TColor expectedColor{0, 128, 0};  // texts the tool waits for

// The progress dialog: a caption, a one-line status text and a bar from 0 to 100.
class TProgress {
public:
    virtual ~TProgress() = default;
    virtual void setCaption(const std::string& text) = 0;
    virtual void setStatusText(const std::string& text) = 0;
    virtual void setPosition(int position) = 0;  // values outside 0..100 take the nearer end
    virtual int getPosition() = 0;               // the position last set, from any thread
    virtual void show() = 0;                     // modeless
    virtual void hide() = 0;
    virtual void close() = 0;                    // ends a modal wait, otherwise hides
    // One reported step of a longer operation: the status text, then the position.
    void showStep(const std::string& text, int position) {
        setStatusText(text);
        setPosition(position);
    }
};

// Which way a fragment of link traffic went, for logs that mark it.
enum class TTraffic {
    Sent,
    Received,  // handed to the protocol, byte by byte
    Arrived,   // taken from the network in one piece, before it is handed out byte by byte
};

// The debug log: a fragment holding a carriage return starts a new line, any other fragment
// extends the last line.
class TDebugLog {
public:
    virtual ~TDebugLog() = default;
    virtual void appendText(const std::string& text, TColor color) = 0;
    // Link traffic. The app's log shows it like any fragment, in its colour; a log without
    // colours may mark the direction instead.
    virtual void appendTraffic(const std::string& text, TColor color, TTraffic) { appendText(text, color); }
};

// What the core asks of the main window.
class TMainServices {
public:
    virtual ~TMainServices() = default;
    // A message box with an OK button; returns when the operator has closed it.
    virtual void reportMessage(const std::string& text) = 0;
    // The traffic picture, shown until the next timer tick.
    virtual void setActivity(bool on) = 0;
    // The firmware text of the status bar's second panel ("Firmware v.1.0.22").
    virtual void setFirmwareText(const std::string& text) = 0;
    virtual void repaint() = 0;
    // Takes the link on or off line and brings the window up to date.
    virtual void switchOnline(bool on) = 0;
    // Called by blocking waits of the links, on the thread that waits: the app lets its
    // windows repaint here when that thread is the GUI thread. Does nothing by default.
    virtual void processPendingEvents() {}
};

// The per-user preference store: texts by key. Failures are reported to the operator by the
// store itself and never raised; a missing key reads as an empty text.
class TPreferences {
public:
    virtual ~TPreferences() = default;
    virtual std::string readPreference(const std::string& key) = 0;
    virtual void writePreference(const std::string& key, const std::string& value) = 0;
};

// Time as the core sees it. Fixed pauses and time-outs go through this, so that tests can run
// them on a clock of their own; the product uses the machine's steady clock.
class TClock {
public:
    virtual ~TClock() = default;
    virtual int64_t nowMs() = 0;       // milliseconds on a monotonic clock
    virtual void sleepMs(int ms) = 0;  // a fixed pause
};

// The steady clock of the machine.
class TSystemClock : public TClock {
public:
    int64_t nowMs() override;
    void sleepMs(int ms) override;
};

// Everything the core needs from outside, handed in as one bundle. The referenced objects
// outlive every core object that holds the bundle.
struct TOperator {
    TProgress& progress;
    TDebugLog& log;
    TMainServices& window;
    TPreferences& prefs;
    TClock& clock;
};
