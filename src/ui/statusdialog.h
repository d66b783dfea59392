#pragma once
// The progress dialog: a bar from 0 to 100 and one status line, shown while the tool connects,
// imports or flashes. One instance lives for the whole program. The operator cannot close it:
// it has no title-bar buttons and ignores Escape and the window manager's close.
//
// Every operation belongs to the GUI thread except getPosition; calls from the ECU worker go
// through TGuiProgress (guiseams.h).

#include <QDialog>

#include <atomic>
#include <string>

#include "platform/services.h"

class QLabel;
class QProgressBar;
class QStatusBar;

class TStatusBarDlg : public QDialog, public TProgress {
    Q_OBJECT

public:
    explicit TStatusBarDlg(QWidget* parent = nullptr);

    void setCaption(const std::string& text) override;
    void setStatusText(const std::string& text) override;
    // Values outside 0..100 take the nearer end.
    void setPosition(int position) override;
    // The position last set; safe from any thread.
    int getPosition() override { return position.load(); }
    // Visible without blocking; a dialog already visible (also a modal one) stays as it is.
    void show() override;
    void hide() override;
    // Ends a showModal in progress; otherwise hides the dialog.
    void close() override;
    // Visible, with the application's other windows disabled, until close; hidden afterwards.
    // The GUI's events keep flowing meanwhile, so the worker's updates show and its close ends
    // the wait.
    void showModal();
    bool isShownModal() const { return modalWait; }

    QString statusText() const;

    QProgressBar* progressBar = nullptr;
    QStatusBar* StatusBar1 = nullptr;

    static constexpr int clientWidth = 384;
    static constexpr int clientHeight = 105;

protected:
    void reject() override;  // Escape
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QLabel* statusLine = nullptr;  // the status bar's one text
    std::atomic<int> position{0};
    bool modalWait = false;
};
