#include "ui/guiseams.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>

// ---- Call queue -------------------------------------------------------------------------

TGuiCallQueue::TGuiCallQueue(QObject* parent) : QObject(parent) {}

TGuiCallQueue::~TGuiCallQueue() {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    items.clear();
    ran.notify_all();
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
    if (done->error) std::rethrow_exception(done->error);
}

void TGuiCallQueue::enqueue(TItem item) {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed) return;
    items.push_back(std::move(item));
    if (wakePending) return;
    wakePending = true;
    QMetaObject::invokeMethod(this, &TGuiCallQueue::drain, Qt::QueuedConnection);
}

void TGuiCallQueue::drain() {
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
            std::lock_guard<std::mutex> lock(mutex);
            item.done->error = error;
            item.done->ran = true;
            ran.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (items.empty() || closed)
        wakePending = false;
    else
        QMetaObject::invokeMethod(this, &TGuiCallQueue::drain, Qt::QueuedConnection);
}

// ---- Progress dialog --------------------------------------------------------------------

TGuiProgress::TGuiProgress(TGuiCallQueue& queue, TProgress& dialog)
    : queue(queue), dialog(dialog), position(dialog.getPosition()) {}

void TGuiProgress::route(std::function<void()> call) { queue.post(std::move(call)); }

void TGuiProgress::setCaption(const std::string& text) {
    route([this, text] { dialog.setCaption(text); });
}

void TGuiProgress::setStatusText(const std::string& text) {
    route([this, text] { dialog.setStatusText(text); });
}

void TGuiProgress::setPosition(int value) {
    position.store(std::clamp(value, 0, 100));
    route([this, value] { dialog.setPosition(value); });
}

void TGuiProgress::show() {
    route([this] { dialog.show(); });
}

void TGuiProgress::hide() {
    route([this] { dialog.hide(); });
}

void TGuiProgress::close() {
    route([this] { dialog.close(); });
}

// ---- Debug log --------------------------------------------------------------------------

void TGuiDebugLog::appendText(const std::string& text, TColor color) {
    if (text.empty()) return;
    queue.post([this, text, color] { window.appendText(text, color); });
}

// ---- Main window ------------------------------------------------------------------------

void TGuiMainServices::reportMessage(const std::string& text) {
    queue.invoke([this, &text] { window.reportMessage(text); });
}

void TGuiMainServices::setActivity(bool on) {
    queue.post([this, on] { window.setActivity(on); });
}

void TGuiMainServices::setFirmwareText(const std::string& text) {
    queue.post([this, text] { window.setFirmwareText(text); });
}

void TGuiMainServices::repaint() {
    queue.post([this] { window.repaint(); });
}

void TGuiMainServices::switchOnline(bool on) {
    queue.invoke([this, on] { window.switchOnline(on); });
}

void TGuiMainServices::processPendingEvents() {
    if (queue.onGuiThread()) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}
