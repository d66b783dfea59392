#include "ui/guiseams.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <system_error>

// ---- Call queue -------------------------------------------------------------------------

TGuiCallQueue::TGuiCallQueue(QObject* parent) : QObject(parent) {
    if (::pipe2(wakeFds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "Cannot create the GUI thread's wake-up pipe");
    wakeWatch = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, this);
    connect(wakeWatch, &QSocketNotifier::activated, this, &TGuiCallQueue::drain);
}

TGuiCallQueue::~TGuiCallQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        items.clear();
        ran.notify_all();
    }
    delete wakeWatch;
    ::close(wakeFds[0]);
    ::close(wakeFds[1]);
}

void TGuiCallQueue::wake() {
    const char byte = 1;
    while (::write(wakeFds[1], &byte, 1) < 0 && errno == EINTR) {
    }
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
    wake();
}

void TGuiCallQueue::drain() {
    char bytes[16];
    while (::read(wakeFds[0], bytes, sizeof bytes) > 0) {
    }
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
        wake();  // the next round after the GUI has had its turn
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
