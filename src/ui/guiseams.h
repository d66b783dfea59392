#pragma once
// The operator seams of the app, usable from both threads. The windows implement TProgress,
// TDebugLog and TMainServices for the GUI thread; the classes here wrap them so that a call
// made on the ECU worker is carried out on the GUI thread, after every call the worker made
// before it (progress texts, positions, log fragments and messages keep their order).
// Calls made on the GUI thread go straight through.
//
// The main window plugs in like this, and destroys the controller before the seams:
//
//     seams = std::make_unique<TAppOperator>(*statusDialog, *debugWindow, *this);
//     controller = std::make_unique<TEcuController>(seams->op, realLinkFactory());

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/services.h"
#include "ui/guicallqueue.h"
#include "qtstore/qtpreferences.h"

// The progress dialog from either thread. getPosition answers at once with the position last
// set on either thread, also before the GUI thread has shown it.
class TGuiProgress : public TProgress {
public:
    TGuiProgress(TGuiCallQueue& queue, TProgress& dialog);
    void setCaption(const std::string& text) override;
    void setStatusText(const std::string& text) override;
    void setPosition(int position) override;
    int getPosition() override { return position.load(); }
    void show() override;
    void hide() override;
    void close() override;

private:
    void route(std::function<void()> call);

    TGuiCallQueue& queue;
    TProgress& dialog;
    std::atomic<int> position;
};

// The debug log from either thread.
class TGuiDebugLog : public TDebugLog {
public:
    TGuiDebugLog(TGuiCallQueue& queue, TDebugLog& window) : queue(queue), window(window) {}
    void appendText(const std::string& text, TColor color) override;

private:
    TGuiCallQueue& queue;
    TDebugLog& window;
};

// The main window's services from either thread. reportMessage and switchOnline made on the
// worker return when the GUI thread has carried them out (the message box closed).
class TGuiMainServices : public TMainServices {
public:
    TGuiMainServices(TGuiCallQueue& queue, TMainServices& window) : queue(queue), window(window) {}
    void reportMessage(const std::string& text) override;
    void setActivity(bool on) override;
    void setFirmwareText(const std::string& text) override;
    void repaint() override;
    void switchOnline(bool on) override;
    // On the GUI thread: lets the windows repaint and the worker's calls run, but holds the
    // operator's input back, so that nothing else starts meanwhile. Elsewhere: nothing.
    void processPendingEvents() override;

private:
    TGuiCallQueue& queue;
    TMainServices& window;
};

// Everything the core needs from the app, as one bundle: the three windows' seams carried to
// the GUI thread, the user's preference store (its failures shown as message boxes) and the
// machine's clock (or the one given, which outlives the bundle). Create it on the GUI thread;
// the windows outlive it.
struct TAppOperator {
    TAppOperator(TProgress& progressDialog, TDebugLog& debugWindow, TMainServices& mainWindow,
                 TClock* clock = nullptr)
        : progress(queue, progressDialog),
          log(queue, debugWindow),
          window(queue, mainWindow),
          op{progress, log, window, prefs, clock ? *clock : systemClock} {}

    TGuiCallQueue queue;
    TGuiProgress progress;
    TGuiDebugLog log;
    TGuiMainServices window;
    TQtPreferences prefs{window};
    TSystemClock systemClock;
    TOperator op;
};
