#pragma once
// The main window: the application's frame with the menus, the connection picture, the status
// bar and the document area for chart windows. It owns the ECU controller, through which every
// ECU operation runs, and the windows the controller reports into.
//
// What is made, in order: the form and its three pictures; the progress dialog and the debug
// log (hidden), which the seams to the worker thread need; the seams; the controller, whose
// worker starts at once and makes the ECU object; the settings dialog and the about box
// (hidden). The first time the window is shown it checks that a link type has been chosen.

#include <QMainWindow>
#include <QPixmap>
#include <QPointer>

#include <memory>
#include <string>

#include "link/communicator.h"
#include "platform/services.h"
#include "ui/modalrunner.h"

class QAction;
class QFileDialog;
class QLabel;
class QMdiArea;
class QMenu;
class QTimer;
class TAboutBox;
class TDebugDlg;
class TECU;
class TEcuController;
class TF_Settings;
class TIHexFile;
class TNotStoredPanel;
class TSettingsTable;
class TStatusBarDlg;
struct TAppOperator;

class TMainWindow : public QMainWindow, public TMainServices {
    Q_OBJECT

public:
    // `links` makes the ECU's links; `runner` runs the modal dialogs (the window's own, which
    // shows them, when none is given); `clock` times the ECU's pauses (the machine's when none
    // is given). Both outlive the window.
    explicit TMainWindow(TLinkFactory links, TModalRunner* runner = nullptr, TClock* clock = nullptr,
                         QWidget* parent = nullptr);
    // The product's links.
    TMainWindow();
    // Goes offline (the goodbye while online), then ends the controller, then the seams, then
    // the windows.
    ~TMainWindow() override;

    // ---- Services to the ECU, on the GUI thread (the seams carry the worker's calls here) ----
    // A message box with an OK button; returns when it is closed.
    void reportMessage(const std::string& text) override;
    // The same with a second, smaller text under the message (the reason).
    void reportMessage(const std::string& text, const std::string& detail);
    // The red picture while `on`, for one timer interval.
    void setActivity(bool on) override;
    void setFirmwareText(const std::string& text) override;
    void repaint() override;
    // Takes the link on or off line and brings the picture up to date; going online runs the
    // handshake and, for an ECU that has only its bootloader, the firmware update.
    void switchOnline(bool on) override;

    // ---- Menu commands ----
    // "&Online": online with the online-only items enabled, or offline again.
    void Online1Click();
    void FirmwareUpdate1Click();
    void Import1Click();
    void SoftwareSettings1Click();
    void ShowConfiguration1Click();
    // The settings table window, made on first use and brought to the front afterwards.
    void SettingsTable1Click();
    // The hardware configuration editor on the ECU, modally (through the controller).
    void HardwareConfiguration1Click();
    void StartEnrichments1Click();
    void About1Click();
    void Exit1Click();
    // The first-run check: the settings dialog, without Cancel, while no link type is stored.
    void checkLinkType();

    // The menu item or menu with that object name ("Online1", "Settings1"); null when none.
    QAction* menuAction(const QString& name) const;
    // A firmware update is on its way: the window refuses to close meanwhile.
    bool isFlashing() const;
    QString statusPanel(int panel) const;
    // Which of the three pictures connectImage shows.
    enum class TPicture { idle, connected, activity };
    TPicture shownPicture() const { return picture; }

    TEcuController& ecuController() { return *controller; }
    TPreferences& preferences();

    // The form's parts, by their names.
    QMdiArea* mdiArea = nullptr;
    QLabel* connectImage = nullptr;
    QLabel* statusPanels[2] = {nullptr, nullptr};
    QTimer* iconTimer = nullptr;
    // "Not stored: N settings" while the ECU holds writes no store has followed.
    TNotStoredPanel* notStoredPanel = nullptr;
    TStatusBarDlg* statusDialog = nullptr;
    TDebugDlg* debugWindow = nullptr;
    TF_Settings* settingsDialog = nullptr;
    TAboutBox* aboutBox = nullptr;
    QPointer<TSettingsTable> settingsTable;  // while it is open
    // Made on first use.
    QFileDialog* firmwareOpenDlg();
    QFileDialog* OpenConfigDialog();

    // The client area: the window without its menu bar.
    static constexpr int clientWidth = 576;
    static constexpr int clientHeight = 507;

signals:
    // The ECU object's settings table changed: a new connection, a firmware update, a value
    // written by the hardware editor.
    void ecuSettingsChanged();

protected:
    void showEvent(QShowEvent* event) override;
    // Refused while a firmware update runs; while online the link is closed with a goodbye
    // first.
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenus();
    // What the link found wrong with its stored values when the ECU object was made (a bit
    // rate the ECU does not know), told once the window's events run.
    void showLinkWarning();
    void showPicture(TPicture which);
    // The picture of a link that is up (green) or down (pale), which the traffic picture
    // returns to.
    void showLinkPicture(bool up);
    // A link found lost while the window shows it online: offline, as it is.
    void followLostLink();
    // The menu items and status panels of the online and the offline state.
    void showOnlineState(bool online);
    // The not-stored panel brought up to date; and the question before such writes are left
    // behind (false: the operator cancelled).
    void showNotStored();
    bool settleNotStored();
    // Choose a firmware file, read it, ask, flash it with the progress dialog shown modally.
    void runFirmwareUpdate();
    // Reads and checks the chosen file; null (the operator told why) when it cannot be flashed.
    std::unique_ptr<TIHexFile> readFirmware(const QString& fileName);
    bool askReflash();
    // The chosen file, or an empty text when the operator cancelled.
    QString chooseFile(QFileDialog& dialog);
    // Runs a menu command; an error it raises is shown with its own text.
    template <class Command>
    void guarded(Command command);
    void onDebugWindowShown(bool shown);
    // The hardware configuration editor, run modally on the GUI thread.
    void runHardwareEditor(TECU& ecu);

    TModalRunner ownRunner;
    TModalRunner& runner;
    QPixmap idleIcon, connectedIcon, activityIcon;
    bool activityShown = false;
    TPicture picture = TPicture::idle;
    TPicture restingPicture = TPicture::idle;
    bool flashing = false;  // a firmware update, until the worker is done with it
    bool onlineShown = false;  // the online state the menus and status bar show
    bool firstShow = true;
    QFileDialog* firmwareChooser = nullptr;
    QFileDialog* configChooser = nullptr;

    std::unique_ptr<TAppOperator> seams;
    std::unique_ptr<TEcuController> controller;
};
