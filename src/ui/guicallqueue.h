#pragma once
// Calls from the ECU worker carried out on the GUI thread, in order (see guiseams.h).

#include <QObject>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/wakesignal.h"

// Calls handed to the GUI thread, run there in the order they were handed over. Create it on
// the GUI thread. Calls still waiting when it is destroyed are dropped, and a worker waiting
// for one returns.
//
// The worker wakes the GUI thread through a system handle that the GUI's event loop watches
// (TWakeSignal): nothing but our own lock is shared between the threads.
class TGuiCallQueue : public QObject {
    Q_OBJECT

public:
    explicit TGuiCallQueue(QObject* parent = nullptr);
    ~TGuiCallQueue() override;

    bool onGuiThread() const;
    // Runs `call` on the GUI thread after every call handed over before it, and returns at
    // once. On the GUI thread it runs at once. An error raised by `call` is dropped.
    void post(std::function<void()> call);
    // Like post, but returns only when `call` has run, raising what it raised.
    void invoke(std::function<void()> call);

private:
    struct TCompletion {
        bool ran = false;
        std::exception_ptr error;
    };
    struct TItem {
        std::function<void()> call;
        std::shared_ptr<TCompletion> done;  // set for invoke
    };

    void enqueue(TItem item);
    // Runs the calls waiting now; calls that arrive meanwhile wait for the next round, so that
    // the GUI repaints between rounds however fast the worker hands calls over.
    void drain();

    std::mutex mutex;
    std::condition_variable ran;
    std::deque<TItem> items;
    bool wakePending = false;  // a drain is on its way to the GUI thread or running
    bool closed = false;
    TWakeSignal wakeSignal;              // set by the worker under `mutex`, watched by the GUI thread
    QObject* wakeWatch = nullptr;
};
