#include "ui/mainapp.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <atomic>
#include <cctype>
#include <chrono>
#include <exception>
#include <thread>

#include "data/ihexfile.h"
#include "ecu/ecu.h"
#include "ecu/ecuctl.h"
#include "ecu/firmwareimage.h"
#include "link/linkfactory.h"
#include "link/linkname.h"
#include "ui/debug.h"
#include "ui/devicetext.h"
#include "ui/ecuwork.h"
#include "ui/filesettings.h"
#include "ui/form2d.h"
#include "ui/guiseams.h"
#include "ui/helpabout.h"
#include "ui/hwconfig.h"
#include "ui/messagebox.h"
#include "ui/notstored.h"
#include "ui/pictures.h"
#include "ui/settingstable.h"
#include "ui/statusdialog.h"

namespace {

constexpr const char* windowCaption = "Veltrace";
constexpr int iconIntervalMs = 25;
constexpr int pictureSize = 32;
constexpr QPoint picturePlace(138, 6);
constexpr int pictureStripHeight = 44;
constexpr int panelWidths[2] = {100, 50};
// The flash report's name lists are wrapped narrower than a terminal's: a message box is read
// at a glance.
constexpr size_t reportWidth = 64;
constexpr int flashEndPollMs = 10;  // how often the window looks whether the worker is done with a flash
constexpr const char* closeWhileFlashing =
    "A firmware update is running. Veltrace can be closed when it has ended: an ECU cut off in the "
    "middle of it is left without a firmware.";

// When a menu item is enabled.
enum class TRule {
    always,
    never,
    offline,  // disabled while online
    online,   // enabled while online
};

struct TMenuSpec {
    const char* title;
    const char* name;
    TRule rule;
};

// The menu bar, left to right.
constexpr TMenuSpec menuSpecs[] = {
    {"&File", "File1", TRule::always},     {"&Edit", "Edit1", TRule::always},
    {"E&CU", "ECU1", TRule::always},       {"&Settings", "Settings1", TRule::online},
    {"&Tools", "Tools1", TRule::always},   {"&Help", "Help1", TRule::always},
};

struct TItemSpec {
    int menu;          // into menuSpecs
    const char* text;  // null: a separator
    const char* name;
    TRule rule;
    void (TMainWindow::*click)();  // null: the item does nothing
};

constexpr TItemSpec itemSpecs[] = {
    {0, "&New Map", "NewMap1", TRule::offline, nullptr},
    {0, "&Open Map", "OpenMap1", TRule::always, nullptr},
    {0, "&Save Map", "SaveMap1", TRule::always, nullptr},
    {0, "Save Map &As", "SaveMapAs1", TRule::always, nullptr},
    {0, nullptr, "N1", TRule::always, nullptr},
    {0, "Import", "Import1", TRule::online, &TMainWindow::Import1Click},
    {0, "Software S&ettings", "SoftwareSettings1", TRule::always, &TMainWindow::SoftwareSettings1Click},
    {0, nullptr, "N2", TRule::always, nullptr},
    {0, "E&xit", "Exit1", TRule::always, &TMainWindow::Exit1Click},
    {1, "Edit &Region", "EditRegion1", TRule::never, nullptr},
    {2, "&Online", "Online1", TRule::always, &TMainWindow::Online1Click},
    {2, "Hardware Configuration", "HardwareConfiguration1", TRule::online, &TMainWindow::HardwareConfiguration1Click},
    {2, "Show Configuration", "ShowConfiguration1", TRule::online, &TMainWindow::ShowConfiguration1Click},
    {2, "Settings Table", "SettingsTable1", TRule::always, &TMainWindow::SettingsTable1Click},
    {2, "Firmware Update", "FirmwareUpdate1", TRule::online, &TMainWindow::FirmwareUpdate1Click},
    {3, "Start Enrichments", "StartEnrichments1", TRule::always, &TMainWindow::StartEnrichments1Click},
    {3, "CLT Enrichment", "CLTEnrichment1", TRule::always, nullptr},
    {4, "Setup Wizard", "SetupWizard1", TRule::always, nullptr},
    {5, "&Contents", "Contents1", TRule::always, nullptr},
    {5, "&Search for Help On...", "SearchforHelpOn1", TRule::always, nullptr},
    {5, "&About...", "About1", TRule::always, &TMainWindow::About1Click},
};

// A file chooser of the window: the file and its folder must exist.
struct TChooserSpec {
    const char* name;
    const char* title;
    const char* filter;
    const char* suffix;
};
constexpr TChooserSpec firmwareChooserSpec{"firmwareOpenDlg", "Select Firmware Image", "Firmware File (*.hex)", "hex"};
constexpr TChooserSpec configChooserSpec{"OpenConfigDialog", "Select Config File", "Config File (*.mtt)", "mtt"};

QFileDialog* makeChooser(QWidget* parent, const TChooserSpec& entry) {
    auto* dialog = new QFileDialog(parent, QString::fromLatin1(entry.title));
    dialog->setObjectName(QString::fromLatin1(entry.name));
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilter(QString::fromLatin1(entry.filter));
    dialog->setDefaultSuffix(QString::fromLatin1(entry.suffix));
    dialog->setSizeGripEnabled(true);
    return dialog;
}


// What the operator reads after a firmware update that ran to its end.
std::string flashReport(const TECU& ecu) {
    const TCarryOverReport& r = ecu.lastCarryOver;
    std::string text = flashReportText(r, ecu.firmwareText, reportWidth);
    if (std::string unwritten = unwrittenReportText(r); !unwritten.empty()) {
        unwritten[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(unwritten[0])));
        text += unwritten + "\n";
    }
    return text;
}

// The firmware update the window queues: after a flash that ran to its end the operator reads
// what became of the settings (a flash that failed is reported by the controller). `finished`
// turns true when the worker is done with the command; a command dropped without running
// still ends the window's wait in the progress dialog.
class TReportedFlash : public TECUFlashUpdate {
public:
    TReportedFlash(std::unique_ptr<TIHexFile> image, TOperator& op, std::shared_ptr<std::atomic<bool>> finished)
        : TECUFlashUpdate(std::move(image)), op(op), finished(std::move(finished)) {}
    ~TReportedFlash() override {
        if (!ran) op.progress.close();
        finished->store(true);
    }

    bool execute(TECU& ecu) override {
        ran = true;  // the flash closes the progress dialog however it ends
        if (!TECUFlashUpdate::execute(ecu)) return false;
        op.window.reportMessage(flashReport(ecu));
        return true;
    }

private:
    TOperator& op;
    std::shared_ptr<std::atomic<bool>> finished;
    bool ran = false;
};

}  // namespace

template <class Command>
void TMainWindow::guarded(Command command) {
    ::guarded(*this, command);
    followLostLink();
}

TMainWindow::TMainWindow() : TMainWindow(realLinkFactory()) {}

TMainWindow::TMainWindow(TLinkFactory links, TModalRunner* runner, TClock* clock, QWidget* parent)
    : QMainWindow(parent), runner(runner ? *runner : ownRunner) {
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QString::fromLatin1(windowCaption));
    setWindowIcon(programIcon());

    // The form: the picture above the document area, the menus, the two status panels.
    auto* client = new QWidget(this);
    auto* strip = new QWidget(client);
    strip->setFixedHeight(pictureStripHeight);
    connectImage = new QLabel(strip);
    connectImage->setObjectName(QStringLiteral("connectImage"));
    connectImage->setGeometry(QRect(picturePlace, QSize(pictureSize, pictureSize)));
    mdiArea = new QMdiArea(client);
    mdiArea->setObjectName(QStringLiteral("MDIClient"));
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(strip);
    layout->addWidget(mdiArea, 1);
    setCentralWidget(client);

    statusBar()->setObjectName(QStringLiteral("StatusBar1"));
    statusBar()->setSizeGripEnabled(false);
    for (int i = 0; i < 2; ++i) {
        statusPanels[i] = new QLabel(this);
        statusPanels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        statusPanels[i]->setMinimumWidth(panelWidths[i]);
        statusPanels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        statusPanels[i]->setTextFormat(Qt::PlainText);  // the firmware's version as it came
        statusBar()->addWidget(statusPanels[i], i);  // the last panel takes the rest
    }
    statusPanels[0]->setText(QStringLiteral(" Disconnected"));
    notStoredPanel = new TNotStoredPanel(this);
    statusBar()->addPermanentWidget(notStoredPanel);

    iconTimer = new QTimer(this);
    iconTimer->setObjectName(QStringLiteral("iconTimer"));
    iconTimer->setInterval(iconIntervalMs);
    connect(iconTimer, &QTimer::timeout, this, [this] { setActivity(false); });

    idleIcon = connectionPicture(TConnectionPicture::idle);
    connectedIcon = connectionPicture(TConnectionPicture::connected);
    activityIcon = connectionPicture(TConnectionPicture::activity);
    showPicture(TPicture::idle);

    // The windows the worker reports into, the seams that carry its calls to this thread, and
    // the controller, whose worker starts at once.
    statusDialog = new TStatusBarDlg(this);
    debugWindow = new TDebugDlg(this);
    seams = std::make_unique<TAppOperator>(*statusDialog, *debugWindow, *this, clock);
    controller = std::make_unique<TEcuController>(seams->op, std::move(links));
    controller->setHardwareEditor([this](TECU& ecu) { runHardwareEditor(ecu); });
    QTimer::singleShot(0, this, &TMainWindow::showLinkWarning);

    buildMenus();
    connect(this, &TMainWindow::ecuSettingsChanged, this, &TMainWindow::showNotStored);
    connect(debugWindow, &TDebugDlg::shownChanged, this, &TMainWindow::onDebugWindowShown);
    resize(clientWidth, clientHeight + menuBar()->sizeHint().height());

    settingsDialog = new TF_Settings(*controller, seams->prefs, *this, this);
    settingsDialog->beforeLinkChange = [this] {
        // The new link replaces an open one: say goodbye and show the offline state first.
        if (!settleNotStored()) return false;
        if (onlineShown || controller->isOnline()) {
            switchOnline(false);
            showOnlineState(false);
        }
        return true;
    };
    aboutBox = new TAboutBox(programVersion(), this);
}

TMainWindow::~TMainWindow() {
    // Offline first, with the goodbye, while the windows and the seams are all there; then the
    // worker ends (it calls no window at its end), then the seams.
    try {
        if (controller->isOnline()) controller->setOnline(false);
    } catch (...) {
        // The ECU object could not be made: there is no link to close.
    }
    controller.reset();
    seams.reset();
}

void TMainWindow::buildMenus() {
    QMenu* menus[std::size(menuSpecs)];
    for (size_t m = 0; m < std::size(menuSpecs); ++m) {
        menus[m] = menuBar()->addMenu(QString::fromLatin1(menuSpecs[m].title));
        menus[m]->setObjectName(QString::fromLatin1(menuSpecs[m].name) + QStringLiteral("Menu"));
        menus[m]->menuAction()->setObjectName(QString::fromLatin1(menuSpecs[m].name));
        menus[m]->menuAction()->setEnabled(menuSpecs[m].rule != TRule::online);
    }
    for (const TItemSpec& entry : itemSpecs) {
        QMenu* menu = menus[entry.menu];
        QAction* action = entry.text ? menu->addAction(QString::fromLatin1(entry.text)) : menu->addSeparator();
        action->setObjectName(QString::fromLatin1(entry.name));
        action->setEnabled(entry.rule == TRule::always || entry.rule == TRule::offline);
        if (entry.click) {
            const auto click = entry.click;
            connect(action, &QAction::triggered, this, [this, click] { (this->*click)(); });
        }
    }
    menuAction(QStringLiteral("Online1"))->setCheckable(true);
    menus[4]->addAction(debugWindow->toggleAction());
}

void TMainWindow::showLinkWarning() {
    // The window may be closing already: its controller ends while it lets events through.
    if (!controller) return;
    std::string warning;
    try {
        warning = controller->ecu().link->settingsWarning;
    } catch (const EControllerError&) {
        return;  // no ECU object, no stored link: its failure is told where it is used
    }
    if (!warning.empty()) reportMessage(warning);
}

QAction* TMainWindow::menuAction(const QString& name) const { return findChild<QAction*>(name); }

QString TMainWindow::statusPanel(int panel) const { return statusPanels[panel]->text(); }

TPreferences& TMainWindow::preferences() { return seams->prefs; }

// ---- Services ---------------------------------------------------------------------------

void TMainWindow::reportMessage(const std::string& text) { reportMessage(text, {}); }

void TMainWindow::reportMessage(const std::string& text, const std::string& detail) {
    TMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(windowCaption), messageText(text),
                    messageText(detail), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("messageBox"));
    runner.run(box);
}

void TMainWindow::setActivity(bool on) {
    if (on == activityShown) return;
    activityShown = on;
    showPicture(on ? TPicture::activity : restingPicture);
    if (on)
        iconTimer->start();
    else
        iconTimer->stop();
}

void TMainWindow::setFirmwareText(const std::string& text) {
    statusPanels[1]->setText(deviceText(text));
}

void TMainWindow::repaint() { update(); }

void TMainWindow::showLinkPicture(bool up) {
    restingPicture = up ? TPicture::connected : TPicture::idle;
    activityShown = false;
    iconTimer->stop();
    showPicture(restingPicture);
}

void TMainWindow::showPicture(TPicture which) {
    picture = which;
    connectImage->setPixmap(which == TPicture::idle        ? idleIcon
                            : which == TPicture::connected ? connectedIcon
                                                           : activityIcon);
}

void TMainWindow::switchOnline(bool on) {
    // A call the worker made before its end may run while the controller is being destroyed.
    if (!controller) return;
    bool online = false;
    if (on) {
        TOnlineOutcome outcome;
        {
            ecu_work::TScope busyNow;
            outcome = controller->goOnline(debugWindow->echoWanted(), linkDisplayName(*controller->ecu().link));
        }
        online = outcome.online();
        if (!online) reportMessage(outcome.message(), outcome.detail());
        if (!outcome.closeFailure.empty()) reportMessage(outcome.closeFailure);
    } else {
        controller->setOnline(false);
    }
    menuAction(QStringLiteral("NewMap1"))->setEnabled(!online);
    showLinkPicture(online);
    if (!online) return;
    emit ecuSettingsChanged();
    if (controller->needsFirmware()) runFirmwareUpdate();
}

// ---- Online and offline -----------------------------------------------------------------

void TMainWindow::showOnlineState(bool online) {
    for (const TItemSpec& entry : itemSpecs)
        if (entry.rule == TRule::online) menuAction(QString::fromLatin1(entry.name))->setEnabled(online);
    for (const TMenuSpec& entry : menuSpecs)
        if (entry.rule == TRule::online) menuAction(QString::fromLatin1(entry.name))->setEnabled(online);
    onlineShown = online;
    if (settingsTable) settingsTable->setOnline(online);
    menuAction(QStringLiteral("Online1"))->setChecked(online);
    statusPanels[0]->setText(online ? QStringLiteral(" Connected ") : QStringLiteral(" Disconnected "));
    if (!online) {
        statusPanels[1]->clear();
        showLinkPicture(false);
    }
    showNotStored();
}

void TMainWindow::showNotStored() {
    notStoredPanel->showCount(onlineShown && controller ? controller->ecu().unstored.count() : 0);
}

bool TMainWindow::settleNotStored() {
    if (!controller || !controller->isOnline()) return true;
    const bool goOn = settleUnstored(controller->ecu(), runner, *this, this);
    showNotStored();
    return goOn;
}

void TMainWindow::Online1Click() {
    // The mark follows the window's state, not the click.
    menuAction(QStringLiteral("Online1"))->setChecked(onlineShown);
    guarded([&] {
        if (!controller->isOnline()) {
            switchOnline(true);
            if (!controller->isOnline()) {
                // Nothing of the attempt stays (a version read before it failed), nor a link
                // that went while the window showed it online.
                showOnlineState(false);
                return;
            }
            showOnlineState(true);
        } else {
            if (!settleNotStored()) return;
            switchOnline(false);
            showOnlineState(false);
        }
    });
}

void TMainWindow::followLostLink() {
    if (!onlineShown || !controller) return;
    // The ECU is gone (a flash or a write that lost the link): the window shows it offline.
    try {
        if (!controller->ecu().link->isLost()) return;
        switchOnline(false);
    } catch (const std::exception& e) {
        reportMessage(e.what());
    }
    showOnlineState(false);
}

void TMainWindow::onDebugWindowShown(bool shown) {
    guarded([&] {
        if (onlineShown && controller->isOnline())
            controller->setDebugEcho(shown);
    });
}

// ---- Firmware update --------------------------------------------------------------------

QFileDialog* TMainWindow::firmwareOpenDlg() {
    if (!firmwareChooser) firmwareChooser = makeChooser(this, firmwareChooserSpec);
    return firmwareChooser;
}

QFileDialog* TMainWindow::OpenConfigDialog() {
    if (!configChooser) configChooser = makeChooser(this, configChooserSpec);
    return configChooser;
}

QString TMainWindow::chooseFile(QFileDialog& dialog) {
    if (runner.run(dialog) != QDialog::Accepted) return {};
    return dialog.selectedFiles().value(0);
}

void TMainWindow::FirmwareUpdate1Click() {
    guarded([this] { runFirmwareUpdate(); });
}

std::unique_ptr<TIHexFile> TMainWindow::readFirmware(const QString& fileName) {
    TFirmwareImage loaded = loadFirmwareImage(fileName.toStdString());
    // The records the reader passed over, as it met them; an image the ECU cannot take is
    // refused before the question.
    for (const std::string& warning : loaded.warnings) reportMessage(warning);
    if (!loaded.hex) reportMessage(loaded.message, loaded.detail);
    return std::move(loaded.hex);
}

bool TMainWindow::askReflash() {
    TMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"), QString::fromLatin1(reflashQuestionText), QString(),
                    QMessageBox::Yes | QMessageBox::Abort, this);
    box.setObjectName(QStringLiteral("reflashQuestion"));
    box.setDefaultButton(QMessageBox::Abort);
    return runner.run(box) == QMessageBox::Yes;
}

void TMainWindow::runFirmwareUpdate() {
    const QString fileName = chooseFile(*firmwareOpenDlg());
    if (fileName.isEmpty()) return;
    std::unique_ptr<TIHexFile> image = readFirmware(fileName);
    if (!image || !askReflash()) return;

    // The worker flashes with the image the command owns; this thread waits in the modal
    // progress dialog until the flash closes it, however the flash ends.
    auto finished = std::make_shared<std::atomic<bool>>(false);
    flashing = true;
    controller->queueCommand(std::make_unique<TReportedFlash>(std::move(image), seams->op, finished));
    statusDialog->setCaption("Updating Firmware...");
    statusDialog->hide();
    statusDialog->showModal();
    // The flash closes the progress dialog on its way out; the worker then says how it ended
    // (the report, or why it failed). The operator reads that before the window follows the
    // outcome, so the window waits for the worker to be done with the command.
    while (!finished->load()) {
        seams->op.window.processPendingEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(flashEndPollMs));
    }
    flashing = false;
    // The new firmware's table, or what was left of the old one.
    emit ecuSettingsChanged();
    followLostLink();
}

// ---- Other commands ---------------------------------------------------------------------

void TMainWindow::Import1Click() {
    guarded([this] {
        const QString fileName = chooseFile(*OpenConfigDialog());
        if (fileName.isEmpty()) return;
        ecu_work::TScope busyNow;
        const TImportOutcome outcome = controller->importSettings(fileName.toStdString());
        if (!outcome) reportMessage(outcome.failure);
        if (outcome.progressUp) seams->op.progress.hide();
        // The import read the table again: the windows show what the ECU holds now.
        emit ecuSettingsChanged();
    });
}

void TMainWindow::SoftwareSettings1Click() { runner.run(*settingsDialog); }

void TMainWindow::ShowConfiguration1Click() { reportMessage("Not implemented yet!"); }

void TMainWindow::SettingsTable1Click() {
    guarded([this] {
        if (settingsTable) {
            settingsTable->refresh();
            mdiArea->setActiveSubWindow(settingsTable);
            return;
        }
        settingsTable = new TSettingsTable(controller->ecu(), seams->op, runner, mdiArea);
        settingsTable->setOnline(onlineShown);
        connect(this, &TMainWindow::ecuSettingsChanged, settingsTable, &TSettingsTable::refresh);
        connect(settingsTable, &TSettingsTable::ecuWritten, this, &TMainWindow::showNotStored);
    });
}

void TMainWindow::HardwareConfiguration1Click() {
    guarded([this] { controller->showHardwareConfig(); });
}

void TMainWindow::runHardwareEditor(TECU& ecu) {
    if (refusedForBootloader(ecu, seams->window)) return;
    ThardwareConfig dialog(ecu, seams->op, this);
    connect(&dialog, &ThardwareConfig::settingsWritten, this, &TMainWindow::ecuSettingsChanged);
    runner.run(dialog);
    showNotStored();  // what the editor wrote, or stored
}

void TMainWindow::StartEnrichments1Click() { new TtableEdit2D(mdiArea); }

void TMainWindow::About1Click() { runner.run(*aboutBox); }

void TMainWindow::Exit1Click() { close(); }

void TMainWindow::checkLinkType() {
    const std::string type = preferences().readPreference("com.Type");
    if (type == "serial" || type == "network") return;
    settingsDialog->BTN_Cancel->setEnabled(false);
    runner.run(*settingsDialog);
    settingsDialog->BTN_Cancel->setEnabled(true);
}

// ---- Window -----------------------------------------------------------------------------

bool TMainWindow::isFlashing() const { return flashing; }

void TMainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (firstShow) {
        firstShow = false;
        // After the window is on the screen, not inside its show.
        QTimer::singleShot(0, this, &TMainWindow::checkLinkType);
    }
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    if (isFlashing()) {
        event->ignore();
        reportMessage(closeWhileFlashing);
        return;
    }
    if (ecu_work::busy()) {
        // In the middle of an exchange with the ECU: the close follows when it has ended.
        event->ignore();
        ecu_work::whenIdle([window = QPointer<TMainWindow>(this)] {
            QTimer::singleShot(0, window, [window] {
                if (window) window->close();
            });
        });
        return;
    }
    // Writes the ECU has not stored are not left behind unasked.
    bool goOn = true;
    guarded([&] { goOn = settleNotStored(); });
    if (!goOn) {
        event->ignore();
        return;
    }
    // Leaving while online: the goodbye first, then the link closes.
    guarded([this] {
        if (controller->isOnline()) {
            switchOnline(false);
            showOnlineState(false);
        }
    });
    event->accept();
}
