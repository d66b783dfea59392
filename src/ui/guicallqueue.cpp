#include "ui/guicallqueue.h"

#include <QThread>
#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#else
#include <QSocketNotifier>
#endif

TGuiCallQueue::TGuiCallQueue(QObject* parent) : QObject(parent) {
#ifdef Q_OS_WIN
    auto* watch = new QWinEventNotifier(reinterpret_cast<Qt::HANDLE>(wakeSignal.handle()), this);
    connect(watch, &QWinEventNotifier::activated, this, &TGuiCallQueue::drain);
#else
    auto* watch = new QSocketNotifier(static_cast<qintptr>(wakeSignal.handle()), QSocketNotifier::Read, this);
    connect(watch, &QSocketNotifier::activated, this, &TGuiCallQueue::drain);
#endif
    wakeWatch = watch;
}

TGuiCallQueue::~TGuiCallQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        items.clear();
        ran.notify_all();
    }
    delete wakeWatch;
}

bool TGuiCallQueue::onGuiThread() const { return QThread::currentThread() == thread(); }

void TGuiCallQueue::post(std::function<void()> call) {
    if (onGuiThread()) {
        try {
            call();
        } catch (...) {
        }
        return;
    }
    enqueue({std::move(call), nullptr});
}

void TGuiCallQueue::invoke(std::function<void()> call) {
    if (onGuiThread()) {
        call();
        return;
    }
    auto done = std::make_shared<TCompletion>();
    enqueue({std::move(call), done});
    std::unique_lock<std::mutex> lock(mutex);
    ran.wait(lock, [&] { return done->ran || closed; });
    std::exception_ptr error = std::move(done->error);
    done.reset();
    lock.unlock();
    if (error) std::rethrow_exception(error);
}

void TGuiCallQueue::enqueue(TItem item) {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed) return;
    items.push_back(std::move(item));
    if (wakePending) return;
    wakePending = true;
    wakeSignal.wake();
}

void TGuiCallQueue::drain() {
    wakeSignal.clear();
    std::deque<TItem> round;
    {
        std::lock_guard<std::mutex> lock(mutex);
        round.swap(items);
    }
    for (TItem& item : round) {
        std::exception_ptr error;
        try {
            item.call();
        } catch (...) {
            error = std::current_exception();
        }
        if (item.done) {
            // The error moves to the waiting worker whole: it alone lets go of it.
            std::lock_guard<std::mutex> lock(mutex);
            item.done->error = std::move(error);
            item.done->ran = true;
            item.done.reset();
            ran.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (items.empty() || closed)
        wakePending = false;
    else
        wakeSignal.wake();  // the next round after the GUI has had its turn
}
