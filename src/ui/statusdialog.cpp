#include "ui/statusdialog.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QStatusBar>

#include <algorithm>

#include "ui/devicetext.h"

namespace {

constexpr int barLeft = 24, barTop = 24, barWidth = 337, barHeight = 33;
constexpr int statusHeight = 25;

}  // namespace

TStatusBarDlg::TStatusBarDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("TStatusBarDlg");
    setWindowTitle("Progress...");
    setFixedSize(clientWidth, clientHeight);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName("progressBar");
    progressBar->setGeometry(barLeft, barTop, barWidth, barHeight);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setGeometry(0, clientHeight - statusHeight, clientWidth, statusHeight);
    statusLine = new QLabel(StatusBar1);
    statusLine->setObjectName("statusLine");
    statusLine->setTextFormat(Qt::PlainText);  // file names, setting names
    StatusBar1->addWidget(statusLine, 1);
}

void TStatusBarDlg::setCaption(const std::string& text) { setWindowTitle(deviceText(text)); }

void TStatusBarDlg::setStatusText(const std::string& text) {
    statusLine->setText(deviceText(text));
}

QString TStatusBarDlg::statusText() const { return statusLine->text(); }

void TStatusBarDlg::setPosition(int value) {
    const int clamped = std::clamp(value, 0, 100);
    position.store(clamped);
    progressBar->setValue(clamped);
}

void TStatusBarDlg::show() {
    if (isVisible()) return;
    QDialog::show();
}

void TStatusBarDlg::hide() { QDialog::hide(); }

void TStatusBarDlg::close() {
    // done() hides the dialog and ends the modal wait when there is one.
    QDialog::done(QDialog::Accepted);
}

void TStatusBarDlg::showModal() {
    if (modalWait) return;
    if (isVisible()) QDialog::hide();  // shown modeless: show again as a modal dialog
    modalWait = true;
    exec();
    modalWait = false;
}

void TStatusBarDlg::reject() {
    // Escape: the operation decides when the dialog goes.
}

void TStatusBarDlg::closeEvent(QCloseEvent* event) { event->ignore(); }

void TStatusBarDlg::showEvent(QShowEvent* event) {
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}
