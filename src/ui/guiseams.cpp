#include "ui/guiseams.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>

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
