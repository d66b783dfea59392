// The main window as the operator drives it, against the simulated ECU running as a separate
// process over loopback TCP or a pseudo-terminal. Its modal dialogs (file choosers, message
// boxes, the reflash question, the settings dialog) are answered by a scripted runner.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "ecu/ecu.h"
#include "ecu/ecuctl.h"
#include "link/linkfactory.h"
#include "support/fakes.h"
#include "support/realpeers.h"
#include "support/simprocess.h"
#include "support/tempdir.h"
#include "ui/debug.h"
#include "ui/filesettings.h"
#include "ui/hwconfig.h"
#include "ui/mainapp.h"
#include "ui/notstored.h"
#include "ui/settingstable.h"
#include "ui/signalclose.h"
#include "ui/statusdialog.h"

namespace {

using Store = std::map<std::string, std::string>;
using TPicture = TMainWindow::TPicture;

// Shows the window's modal dialogs without waiting in them and answers them in order; without
// an answer left, a message box gets OK and any other dialog is cancelled.
class TScriptedRunner : public TModalRunner {
public:
    using TAnswer = std::function<int(QDialog&)>;

    int run(QDialog& dialog) override {
        dialog.show();
        names << dialog.objectName();
        auto* box = qobject_cast<QMessageBox*>(&dialog);
        if (box) {
            // Every box shows plain text only, and fits the screen.
            for (QLabel* label : box->findChildren<QLabel*>())
                EXPECT_TRUE(label->text().isEmpty() || label->textFormat() == Qt::PlainText) << label->text().toStdString();
            EXPECT_LE(box->frameGeometry().height(), box->screen()->availableGeometry().height()) << dialog.objectName().toStdString();
        }
        if (box && dialog.objectName() == "messageBox") {
            messages << box->text() + (box->informativeText().isEmpty() ? "" : "\n" + box->informativeText());
            details << box->detailedText();
        }
        int result = box ? int(QMessageBox::Ok) : int(QDialog::Rejected);
        if (!answers.empty()) {
            result = answers.front()(dialog);
            answers.pop_front();
        }
        dialog.hide();
        return result;
    }
    void forget() { names.clear(), messages.clear(), details.clear(); }

    QStringList names;     // object names of the dialogs run, in order
    QStringList messages;  // message box texts, and their reasons on a line of their own
    QStringList details;   // their texts under Show Details
    std::deque<TAnswer> answers;
};

TScriptedRunner::TAnswer chooseFile(const std::string& path) {
    return [path](QDialog& dialog) {
        static_cast<QFileDialog&>(dialog).selectFile(QString::fromStdString(path));
        return int(QDialog::Accepted);
    };
}

TScriptedRunner::TAnswer press(QMessageBox::StandardButton button) {
    return [button](QDialog&) { return int(button); };
}

// The user's store, as the app reads it.
void resetStore(const Store& values) {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Harnwick", "Veltrace");
    store.clear();
    for (const auto& [key, value] : values) store.setValue(QString::fromStdString(key), QString::fromStdString(value));
    store.sync();
}

std::string stored(const char* key) {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Harnwick", "Veltrace");
    return store.value(key).toString().toStdString();
}

int countEvents(const std::vector<TSimLogLine>& log, const std::string& text) {
    return static_cast<int>(
        std::count_if(log.begin(), log.end(), [&](const TSimLogLine& l) { return l.kind == "ev" && l.text == text; }));
}

bool received(const TSimProcess& sim, const std::string& bytes) {
    return joinedBytes(sim.transcript(), "rx").find(bytes) != std::string::npos;
}

// The settings window is not among them: offline it opens settings files.
constexpr const char* onlineOnly[] = {"Import1",         "HardwareConfiguration1", "ShowConfiguration1",
                                      "FirmwareUpdate1", "Settings1"};

struct MainWindowTest : ::testing::Test {
    TScriptedRunner runner;
    TShortPauseClock clock;
    TTempDir dir;
    std::unique_ptr<TSerialPortsSetting> ports;
    std::unique_ptr<TMainWindow> window;

    void open(const Store& values) {
        window.reset();
        resetStore(values);
        window = std::make_unique<TMainWindow>(realLinkFactory(), &runner, &clock);
        window->show();
        QCoreApplication::processEvents();  // the first-run check
        window->ecuController().ecu().backupFolder = dir.path;
    }
    void overTcp(const TSimProcess& sim) {
        open({{"com.Type", "network"}, {"comm.hostname", "127.0.0.1"}, {"comm.portnum", std::to_string(sim.port())}});
    }
    void overPty(const TSimProcess& sim, int rate) {
        ports.reset();
        ports = std::make_unique<TSerialPortsSetting>(sim.ptyPath());
        open({{"com.Type", "serial"}, {"comm.comport", "1"}, {"comm.baudrate", std::to_string(rate)}});
    }
    QAction* item(const char* name) const { return window->menuAction(name); }

    // The menus, status panel and picture of the online or the offline state.
    void expectState(bool online) const {
        for (const char* name : onlineOnly) EXPECT_EQ(item(name)->isEnabled(), online) << name;
        EXPECT_EQ(item("NewMap1")->isEnabled(), !online);
        EXPECT_EQ(item("Online1")->isChecked(), online);
        EXPECT_EQ(window->shownPicture(), online ? TPicture::connected : TPicture::idle);
        if (online) {
            EXPECT_EQ(window->statusPanel(0), " Connected ");
        } else {
            EXPECT_EQ(window->statusPanel(1), "");  // no version
        }
    }
    std::string makeFirmware(const std::string& version, const std::string& layout) {
        return makeSimFirmware(dir.path, version, layout);
    }
    std::string writeFile(const std::string& name, const std::string& text) {
        const std::string path = dir.path + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    void TearDown() override { window.reset(); }
};

const char* newLayout = "fan_hyst=9\nfan_temp=80\nbrand_new=33\nlcd_c0=40\nwbo2_calibration=100\n";

}  // namespace

TEST_F(MainWindowTest, TheFormAsItStarts) {
    open({{"com.Type", "network"}, {"comm.portnum", "1"}});
    EXPECT_EQ(window->windowTitle(), "Veltrace");
    EXPECT_EQ(window->size() - QSize(0, window->menuBar()->height()), QSize(576, 507));

    // Every menu with its items ("" a separator) and those disabled at the start.
    const struct {
        QString title, items, disabled;
    } menus[] = {
        {"&File", "&New Map|&Open Map|&Save Map|Save Map &As||Import|Software S&ettings||E&xit", "Import"},
        {"&Edit", "Edit &Region", "Edit &Region"},
        {"E&CU", "&Online|Hardware Configuration|Show Configuration|Settings Table|Firmware Update",
         "Hardware Configuration|Show Configuration|Firmware Update"},
        {"&Settings", "Start Enrichments|CLT Enrichment", ""},
        {"&Tools", "Setup Wizard|Debug Window", ""},
        {"&Help", "&Contents|&Search for Help On...|&About...", ""},
    };
    const QList<QAction*> bar = window->menuBar()->actions();
    ASSERT_EQ(bar.size(), int(std::size(menus)));
    for (int m = 0; m < bar.size(); ++m) {
        QStringList items, disabled;
        for (QAction* action : bar[m]->menu()->actions()) {
            items << action->text();
            if (!action->isEnabled()) disabled << action->text();
        }
        EXPECT_EQ(bar[m]->text(), menus[m].title);
        EXPECT_EQ(items.join('|'), menus[m].items);
        EXPECT_EQ(disabled.join('|'), menus[m].disabled);
        EXPECT_EQ(bar[m]->isEnabled(), menus[m].title != "&Settings");
    }
    EXPECT_TRUE(item("Online1")->isCheckable());
    EXPECT_TRUE(item("DebugWindow1")->isCheckable());
    EXPECT_EQ(window->statusPanel(0), " Disconnected");
    EXPECT_EQ(window->shownPicture(), TPicture::idle);
    EXPECT_EQ(window->connectImage->geometry(), QRect(138, 6, 32, 32));

    // The traffic picture lasts one 25 ms tick; a second call restarts nothing.
    window->setActivity(true);
    EXPECT_EQ(window->shownPicture(), TPicture::activity);
    window->setActivity(true);
    EXPECT_EQ(window->iconTimer->interval(), 25);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->shownPicture() == TPicture::idle; }, 1000));
    EXPECT_FALSE(window->iconTimer->isActive());

    // Commands that need no ECU.
    window->StartEnrichments1Click();
    window->StartEnrichments1Click();
    EXPECT_EQ(window->mdiArea->subWindowList().size(), 2);
    window->About1Click();
    window->ShowConfiguration1Click();
    EXPECT_EQ(runner.names, QStringList({"AboutBox", "messageBox"}));
    EXPECT_EQ(runner.messages, QStringList({"Not implemented yet!"}));
    EXPECT_EQ(window->statusPanel(0), " Disconnected");
}

TEST_F(MainWindowTest, AStoredBitRateTheEcuDoesNotKnowIsToldAtTheStart) {
    open({{"com.Type", "serial"}, {"comm.comport", "1"}, {"comm.baudrate", "12345"}});
    EXPECT_EQ(runner.messages, QStringList{"The stored bit rate 12345 (comm.baudrate) is not one the ECU knows "
                                           "(9600, 19200, 38400, 57600 and 115200): 9600 bit/s is used."});
}

TEST_F(MainWindowTest, FirstRunAsksForTheLinkTypeUntilOneIsStored) {
    const struct {
        const char* type;  // null: absent
        bool asks;
    } cases[] = {{nullptr, true}, {"", true}, {"Serial", true}, {"tcp", true}, {"serial", false}, {"network", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type ? c.type : "(absent)");
        runner.forget();
        open(c.type ? Store{{"com.Type", c.type}} : Store{});
        EXPECT_EQ(runner.names, c.asks ? QStringList{"F_Settings"} : QStringList{});
    }

    // The dialog comes without Cancel, and Escape does not pass it; OK with Network stores it.
    bool cancelEnabled = true, escaped = false;
    runner.answers.push_back([&](QDialog& dialog) {
        auto& settings = static_cast<TF_Settings&>(dialog);
        cancelEnabled = settings.BTN_Cancel->isEnabled();
        QSignalSpy finished(&settings, &QDialog::finished);
        settings.reject();
        escaped = !finished.isEmpty();
        settings.cbxType->setCurrentIndex(0);
        settings.hostname->setText("127.0.0.1");
        settings.port->setText("32000");
        settings.BTN_Exit->click();
        return settings.result();
    });
    runner.forget();
    open({});
    EXPECT_FALSE(cancelEnabled);
    EXPECT_FALSE(escaped);
    EXPECT_TRUE(window->settingsDialog->BTN_Cancel->isEnabled());
    EXPECT_EQ(stored("com.Type"), "network");
    EXPECT_EQ(stored("comm.portnum"), "32000");

    runner.forget();
    window.reset();
    window = std::make_unique<TMainWindow>(realLinkFactory(), &runner, &clock);
    window->show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(runner.names.isEmpty());
}

TEST_F(MainWindowTest, OnlineAndOfflineOverTcp) {
    TSimProcess sim(simTcp());
    overTcp(sim);
    window->Online1Click();
    expectState(true);
    EXPECT_EQ(window->statusPanel(1), "Firmware v.1.0.22");
    EXPECT_TRUE(runner.messages.isEmpty()) << runner.messages.join("|").toStdString();

    window->Online1Click();
    expectState(false);
    EXPECT_EQ(window->statusPanel(0), " Disconnected ");
    EXPECT_EQ(window->statusPanel(1), "");
    EXPECT_TRUE(QTest::qWaitFor([&] { return received(sim, "bye"); }, 3000));

    // The debug window shown: the traffic of the next connect lands in it.
    item("DebugWindow1")->trigger();
    EXPECT_TRUE(window->debugWindow->isVisible());
    window->Online1Click();
    expectState(true);
    EXPECT_TRUE(window->ecuController().debugEcho);
    EXPECT_TRUE(window->debugWindow->lines().join("\n").contains("Expect: Hello>"));
    item("DebugWindow1")->trigger();
    EXPECT_FALSE(window->ecuController().debugEcho);

    // OK in the settings dialog while online: goodbye, offline, then the new link.
    runner.answers.push_back([&](QDialog& dialog) {
        auto& settings = static_cast<TF_Settings&>(dialog);
        settings.port->setText("4000");
        settings.BTN_Exit->click();
        return settings.result();
    });
    const size_t before = joinedBytes(sim.transcript(), "rx").size();
    item("SoftwareSettings1")->trigger();
    expectState(false);
    EXPECT_EQ(window->statusPanel(0), " Disconnected ");
    EXPECT_EQ(window->ecuController().getLinkBaudRate(), 4000);
    EXPECT_FALSE(window->ecuController().isOnline());
    EXPECT_TRUE(QTest::qWaitFor([&] { return joinedBytes(sim.transcript(), "rx").substr(before) == "bye"; }, 3000));
    EXPECT_EQ(stored("comm.portnum"), "4000");
}

TEST_F(MainWindowTest, HardwareConfigurationAndTheSettingsTable) {
    TSimProcess sim(simTcp());
    overTcp(sim);
    window->Online1Click();
    item("SettingsTable1")->trigger();
    QPointer<TSettingsTable> table = window->settingsTable;
    ASSERT_TRUE(table);
    EXPECT_EQ(window->mdiArea->activeSubWindow(), table);
    QAbstractItemModel* rows = table->table->model();
    const auto shown = [&](const QString& name) {
        for (int r = 0; r < rows->rowCount(); ++r)
            if (rows->index(r, 1).data() == name) return rows->index(r, 2).data().toInt();
        return -1;
    };

    // The editor opens on the ECU, on its last page; what it writes shows in the table at once,
    // and the output it left on is switched off as it closes.
    int shownWhileOpen = -1;
    runner.answers.push_back([&](QDialog& dialog) {
        auto& editor = dynamic_cast<ThardwareConfig&>(dialog);
        EXPECT_EQ(editor.windowTitle(), "hardwareConfig");
        EXPECT_EQ(editor.hwConfigs->currentIndex(), editor.hwConfigs->count() - 1);
        QTest::mouseClick(editor.panel("LED1"), Qt::LeftButton);
        editor.hwConfigs->setCurrentIndex(0);
        QLineEdit* contrast = editor.box("lcd_c0");
        contrast->selectAll();
        QTest::keyClicks(contrast, "41");
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(contrast, &out);
        shownWhileOpen = shown("lcd_c0");
        editor.Close->click();
        return editor.result();
    });
    item("HardwareConfiguration1")->trigger();
    EXPECT_EQ(runner.names, QStringList{"hardwareConfig"});
    EXPECT_EQ(shownWhileOpen, 41);
    EXPECT_TRUE(QTest::qWaitFor([&] { return received(sim, "mdhA7mttg"); }, 3000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return countEvents(sim.transcript(), "output 39 off") == 1; }, 3000));
    EXPECT_TRUE(window->debugWindow->lines().join("\n").contains("LED1 (onboard) (output 39) switched off again"));

    // Offline the table stays, read-only; it is not opened twice. The contrast written but not
    // stored is left behind on purpose.
    runner.answers.push_back(press(QMessageBox::Discard));
    window->Online1Click();
    EXPECT_FALSE(table->btnRestore->isEnabled());
    window->Online1Click();
    EXPECT_TRUE(table->btnRestore->isEnabled());
    item("SettingsTable1")->trigger();
    EXPECT_EQ(window->mdiArea->subWindowList().size(), 1);
}

TEST_F(MainWindowTest, NoEcuLeavesTheWindowOffline) {
    // Nothing listens on the port any more, or an ECU that takes nothing in.
    int closedPort = 0;
    {
        TSimProcess gone(simTcp({}));
        closedPort = gone.port();
    }
    open({{"com.Type", "network"}, {"comm.hostname", "127.0.0.1"}, {"comm.portnum", std::to_string(closedPort)}});
    window->Online1Click();
    ASSERT_EQ(runner.messages.size(), 1);
    EXPECT_TRUE(runner.messages[0].startsWith("Unable to open connection to ECU!\n127.0.0.1:" +
                                                QString::number(closedPort) + ": connection refused"))
        << runner.messages[0].toStdString();
    EXPECT_EQ(window->statusPanel(0), " Disconnected ");
    expectState(false);

    TSimProcess deaf(simPty({"--silent-after", "0"}));
    runner.forget();
    overPty(deaf, 9600);
    window->Online1Click();
    EXPECT_EQ(runner.messages, QStringList{"Unable to establish communications with ECU."});
    EXPECT_FALSE(window->ecuController().isOnline());
    expectState(false);
}

TEST_F(MainWindowTest, ABootloaderOnlyEcuIsOfferedAFirmwareAtOnce) {
    TSimProcess sim(simPty({"--bootloader-only", "--erase-ms", "0"}));
    overPty(sim, 9600);
    window->Online1Click();  // the chooser is cancelled
    EXPECT_EQ(runner.names, QStringList{"firmwareOpenDlg"});
    expectState(true);
    EXPECT_TRUE(window->ecuController().isOnline());
    EXPECT_TRUE(window->ecuController().needsFirmware());
    // Nothing that writes to the ECU opens: the bootloader would take the bytes for commands.
    runner.forget();
    item("HardwareConfiguration1")->trigger();
    EXPECT_TRUE(runner.names == QStringList{"messageBox"} &&
                runner.messages[0].startsWith("The ECU answered only through its bootloader"))
        << runner.names.join(",").toStdString();

    // No goodbye into the bootloader: its erase command is the "e" of "bye".
    window->Online1Click();
    expectState(false);
    EXPECT_FALSE(received(sim, "bye"));

    // Flashed into life from the menu, the ECU is not offered a firmware at the next connect.
    window->Online1Click();
    runner.forget();
    runner.answers = {chooseFile(makeFirmware("1.5.0", newLayout)), press(QMessageBox::Yes)};
    window->FirmwareUpdate1Click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return runner.messages.size() == 1; }, 10000));
    EXPECT_TRUE(runner.messages[0].startsWith("Firmware updated: Firmware v.1.5.0\n\nNo settings backup"))
        << runner.messages[0].toStdString();
    window->Online1Click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return received(sim, "bye"); }, 3000));
    runner.forget();
    window->Online1Click();
    expectState(true);
    EXPECT_TRUE(runner.names.isEmpty()) << runner.names.join(",").toStdString();
    EXPECT_FALSE(window->ecuController().needsFirmware());
}

TEST_F(MainWindowTest, AFirmwareUpdateEndToEnd) {
    TSimProcess sim(simPty({"--state", dir.path + "/state", "--erase-ms", "300"}));
    overPty(sim, 115200);
    window->Online1Click();
    expectState(true);
    item("SettingsTable1")->trigger();
    ASSERT_TRUE(window->settingsTable);
    const std::string firmware = makeFirmware("2.0.0", newLayout);

    QFileDialog* chooser = nullptr;
    QMessageBox* question = nullptr;
    runner.answers.push_back([&](QDialog& dialog) {
        chooser = qobject_cast<QFileDialog*>(&dialog);
        return chooseFile(firmware)(dialog);
    });
    runner.answers.push_back([&](QDialog& dialog) {
        question = qobject_cast<QMessageBox*>(&dialog);
        EXPECT_EQ(question->standardButtons(), QMessageBox::Yes | QMessageBox::Abort);
        EXPECT_EQ(question->windowTitle(), "Warning");
        EXPECT_EQ(question->text(),
                  "You are about to reflash the firmware in your ECU. It is very important that you do not power off "
                  "your ECU during the flash process! Are you sure you want to do this?");
        return int(QMessageBox::Yes);
    });
    // While it flashes the window refuses to close.
    bool modal = false, stillShown = false;
    QTimer::singleShot(150, [&] {
        modal = window->statusDialog->isShownModal();
        window->close();
        stillShown = window->isVisible();
    });
    item("FirmwareUpdate1")->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return runner.messages.size() == 2; }, 10000)) << runner.names.join(",").toStdString();

    ASSERT_TRUE(chooser);
    EXPECT_EQ(chooser->windowTitle(), "Select Firmware Image");
    EXPECT_EQ(chooser->nameFilters(), QStringList{"Firmware File (*.hex)"});
    EXPECT_EQ(chooser->defaultSuffix(), "hex");
    EXPECT_EQ(chooser->fileMode(), QFileDialog::ExistingFile);
    EXPECT_TRUE(question);

    EXPECT_TRUE(modal);
    EXPECT_TRUE(stillShown);
    EXPECT_TRUE(runner.messages[0].startsWith("A firmware update is running.")) << runner.messages[0].toStdString();
    const QString report = runner.messages[1];
    EXPECT_TRUE(report.startsWith("Firmware updated: Firmware v.2.0.0\n")) << report.toStdString();
    EXPECT_TRUE(report.contains("Carried over 4 settings; 1 new, 215 no longer in the firmware"));
    const auto& carried = window->ecuController().ecu().lastCarryOver;
    EXPECT_TRUE(report.contains(QString::fromStdString("Report written to " + carried.reportFile)));
    // 215 names are more than the screen holds: the box cuts them, its details hold them all.
    EXPECT_TRUE(report.contains(QRegularExpression("\\.\\.\\. and \\d+ more lines"))) << report.toStdString();
    for (const std::string& name : carried.droppedNames)
        EXPECT_TRUE(runner.details[1].contains(QString::fromStdString(name))) << name;
    EXPECT_TRUE(std::filesystem::exists(carried.reportFile));
    EXPECT_EQ(window->statusDialog->windowTitle(), "Updating Firmware...");
    EXPECT_FALSE(window->statusDialog->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isFlashing(); }, 1000));
    EXPECT_EQ(window->statusPanel(1), "Firmware v.2.0.0");
    expectState(true);
    // The settings table window shows the new firmware's table.
    EXPECT_EQ(window->settingsTable->table->model()->rowCount(), 5);

    // The simulator took every block and the settings by name, and stored them.
    const auto log = sim.transcript();
    EXPECT_EQ(countEvents(log, "firmware 2.0.0 5 slots"), 1);
    for (int j = 0; j < 32; ++j)
        EXPECT_EQ(countEvents(log, "block " + std::to_string(j) + " at " + std::to_string(j * 128) + " written"), 1) << j;
    EXPECT_EQ(joinedBytes(log, "rx-lost"), "");
    std::ifstream state(dir.path + "/state");
    const std::string stateText((std::istreambuf_iterator<char>(state)), {});
    EXPECT_NE(stateText.find("\tfan_temp\t95"), std::string::npos) << stateText;
    EXPECT_NE(stateText.find("\tbrand_new\t33"), std::string::npos) << stateText;

    window->Online1Click();
    expectState(false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return received(sim, "bye"); }, 3000));
}

TEST_F(MainWindowTest, FirmwareFilesRefusedAndAFlashThatFails) {
    TSimProcess sim(simPty({"--refuse-block", "1", "--erase-ms", "0"}));
    overPty(sim, 115200);
    window->Online1Click();
    expectState(true);
    const std::string good = makeFirmware("2.0.3", newLayout);
    const struct {
        const char* name;
        std::string file;
        QString message;  // starts with
    } refused[] = {
        {"malformed", writeFile("bad.hex", ":10000000FF\r\n:00000001FF\r\n"),
         "Unable to read firmware image!\n" + QString::fromStdString(dir.path) + "/bad.hex: line 1"},
        {"cut short", writeFile("short.hex", ":0400000001020304F2\r\n"), "Unable to read firmware image!\n"},
        {"missing", dir.path + "/none.hex", "Cannot open"},
        {"too large", writeFile("large.hex", ":020000040002F8\r\n:0100000001FE\r\n:00000001FF\r\n"),
         "Unable to read firmware image!\n" + QString::fromStdString(dir.path) +
             "/large.hex: firmware image too large: 132096 bytes (the ECU takes at most 131072)"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.name);
        runner.forget();
        runner.answers.push_back(chooseFile(r.file));
        window->FirmwareUpdate1Click();
        EXPECT_EQ(runner.names, QStringList({"firmwareOpenDlg", "messageBox"}));
        ASSERT_EQ(runner.messages.size(), 1);
        EXPECT_TRUE(runner.messages[0].startsWith(r.message)) << runner.messages[0].toStdString();
    }

    // Abort: nothing goes to the ECU. A record the reader passed over is told before the question.
    runner.forget();
    const std::string skipped = writeFile("skip.hex", ":0400000300000000F9\r\n:020000000102FB\r\n:00000001FF\r\n");
    runner.answers = {chooseFile(skipped), press(QMessageBox::Ok), press(QMessageBox::Abort)};
    window->FirmwareUpdate1Click();
    EXPECT_EQ(runner.names, QStringList({"firmwareOpenDlg", "messageBox", "reflashQuestion"}));
    EXPECT_EQ(runner.messages, QStringList{"Parsed unsupported record type: 3"});
    EXPECT_FALSE(received(sim, "Mancb"));

    // A settings file goes out between the goodbye and the next greeting.
    runner.forget();
    runner.answers = {chooseFile(writeFile("table.mtt", "line one\r\nline two\r\n"))};
    item("Import1")->trigger();
    EXPECT_EQ(runner.names, QStringList{"OpenConfigDialog"});
    EXPECT_TRUE(received(sim, "byeline oneline twoMan"));

    // A block the ECU refuses every time: the progress ends, the error names the backup.
    runner.forget();
    runner.answers = {chooseFile(good), press(QMessageBox::Yes)};
    window->FirmwareUpdate1Click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !runner.messages.isEmpty(); }, 10000));
    EXPECT_TRUE(runner.messages[0].startsWith("ECU did not accept block 2 of 32. Your settings are saved in " +
                                                QString::fromStdString(dir.path)))
        << runner.messages[0].toStdString();
    EXPECT_FALSE(window->statusDialog->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isFlashing(); }, 1000));
    expectState(true);
    EXPECT_EQ(countEvents(sim.transcript(), "block 1 at 128 refused: --refuse-block"), 5);
}

TEST_F(MainWindowTest, MarkupInAVersionOrInSettingNamesIsShownAsItCameAndOpensNothing) {
    const std::string probe = writeFile("probe.png", "not a picture");
    const std::string markup = "<b>1.0</b><img src=" + probe + "><a href=\"file:///etc\">x</a>";
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, probe.c_str(), IN_OPEN | IN_ACCESS), 0);
    TSimProcess sim(simPty({"--version", markup, "--erase-ms", "0"}));
    overPty(sim, 115200);
    window->Online1Click();
    expectState(true);
    window->grab();  // laid out and drawn
    EXPECT_EQ(window->statusPanel(1).toStdString(), "Firmware v." + markup);
    EXPECT_EQ(window->statusPanels[1]->textFormat(), Qt::PlainText);

    // A firmware of that version with names in markup: the carry-over message and the table
    // show them as they are (the runner checks that every box is plain text).
    const std::string layout =
        writeFile("layout.txt", runProgram({ecusimProgram(), "default-settings"}).out + "<b>hot</b>=1\n<u>line</u> two=2\n");
    const TProgramResult made = runProgram(
        {ecusimProgram(), "make-firmware", "--version", markup, "--settings", layout, "-o", dir.path + "/fw.hex"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    runner.answers = {chooseFile(dir.path + "/fw.hex"), press(QMessageBox::Yes)};
    item("FirmwareUpdate1")->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return runner.messages.size() == 1; }, 10000));
    EXPECT_TRUE(runner.messages[0].startsWith(QString::fromStdString("Firmware updated: Firmware v." + markup + "\n")))
        << runner.messages[0].toStdString();
    EXPECT_TRUE(runner.messages[0].contains("(firmware's value kept): <b>hot</b>,\n    \"<u>line</u> two\"\n"))  // a line starts with one
        << runner.messages[0].toStdString();
    EXPECT_EQ(window->statusDialog->findChild<QLabel*>("statusLine")->textFormat(), Qt::PlainText);
    item("SettingsTable1")->trigger();
    QAbstractItemModel* rows = window->settingsTable->table->model();
    EXPECT_EQ(rows->index(rows->rowCount() - 1, 1).data().toString(), "<u>line</u> two");
    window->grab();
    char events[4096];
    EXPECT_LT(::read(watch, events, sizeof events), 0) << probe << " was opened";
    ::close(watch);
}

TEST_F(MainWindowTest, BytesFromTheEcuShowAsTheSameCharactersInTheListTheStatusBarTheLogAndABox) {
    // Bytes past ASCII in the version and in a setting name: one character of that code each.
    TSimProcess sim(simTcp({"--version", "1.0.\xe9\xff", "--odd-name", "3:caf\xe9"}));
    overTcp(sim);
    item("DebugWindow1")->trigger();
    window->Online1Click();
    expectState(true);
    item("SettingsTable1")->trigger();
    QAbstractItemModel* rows = window->settingsTable->table->model();
    QString listed;
    for (int r = 0; r < rows->rowCount(); ++r)
        if (rows->index(r, 1).data().toString().startsWith("caf")) listed = rows->index(r, 1).data().toString();
    window->reportMessage("while writing " + window->ecuController().ecu().settings->getName(3));
    const QString log = window->debugWindow->lines().join("\n");

    const struct {
        const char* where;
        QString shown, expected;
    } views[] = {
        {"status bar", window->statusPanel(1), QString("Firmware v.1.0.\u00e9\u00ff")},
        {"settings list", listed, QString("caf\u00e9")},
        {"message box", runner.messages.value(0), QString("while writing caf\u00e9")},
    };
    for (const auto& v : views) EXPECT_EQ(v.shown.toStdString(), v.expected.toStdString()) << v.where;
    for (const QString& reply : {QString("1.0.\u00e9\u00ff"), QString("caf\u00e9=")})
        EXPECT_TRUE(log.contains(reply)) << reply.toStdString() << " in the debug log:\n" << log.toStdString();
    // A message that names the operator's file keeps its path's characters (UTF-8 from Qt).
    runner.forget();
    window->reportMessage("Cannot write /home/j\xc3\xbcrgen/tune.txt");
    EXPECT_EQ(runner.messages.value(0).toStdString(), "Cannot write /home/j\u00fcrgen/tune.txt");
}

TEST_F(MainWindowTest, AfterALostLinkOrAFailedConnectTheWindowShowsWhatIsTrue) {
    // The line is cut in the middle of a flash.
    TSimProcess cut(simPty({"--drop-after", "3000", "--erase-ms", "0"}));
    overPty(cut, 115200);
    window->Online1Click();
    expectState(true);
    runner.answers = {chooseFile(makeFirmware("2.0.1", newLayout)), press(QMessageBox::Yes)};
    window->FirmwareUpdate1Click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !runner.messages.isEmpty() && !window->isFlashing(); }, 10000));
    EXPECT_TRUE(runner.messages[0].startsWith("Lost connection with ECU")) << runner.messages[0].toStdString();
    expectState(false);

    // A connect that read the version and then lost the line.
    TSimProcess dropped(simPty({"--drop-after", "8"}));
    runner.forget();
    overPty(dropped, 9600);
    window->Online1Click();
    EXPECT_EQ(runner.messages.size(), 1);
    QTest::qWait(100);  // the traffic picture's tick
    expectState(false);
}

TEST_F(MainWindowTest, ASignalDuringARestoreClosesTheWindowOnceTheRestoreHasEnded) {
    TSimProcess sim(simTcp({"--settings-gap", "15"}));
    overTcp(sim);
    closeOnSignals(*window);
    window->Online1Click();
    window->SettingsTable1Click();
    ASSERT_TRUE(window->settingsTable);
    const std::string file = writeFile("backup.txt", settingsToText(*window->ecuController().ecu().settings));
    QTimer::singleShot(50, [] { ::kill(::getpid(), SIGTERM); });
    EXPECT_TRUE(window->settingsTable->restoreFrom(QString::fromStdString(file)));
    EXPECT_FALSE(received(sim, "bye"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 5000));
    const std::string rx = joinedBytes(sim.transcript(), "rx");
    EXPECT_GT(rx.find("bye"), rx.rfind("mcd"));
}

TEST_F(MainWindowTest, WritesNotStoredAreShownAndAskedAboutBeforeTheyCouldBeLost) {
    TSimProcess sim(simTcp());
    overTcp(sim);
    const auto stores = [&] { return countEvents(sim.transcript(), "store"); };
    const auto panel = [&] { return window->notStoredPanel->isVisible() ? window->notStoredPanel->text() : QString(); };
    // Online with one setting written through the settings window.
    const auto writeOne = [&](const char* value) {
        if (!window->menuAction("Online1")->isChecked()) window->Online1Click();
        item("SettingsTable1")->trigger();
        QAbstractItemModel* rows = window->settingsTable->table->model();
        for (int r = 0; r < rows->rowCount(); ++r) {
            if (rows->index(r, 1).data() == "fan_temp") {
                ASSERT_TRUE(rows->setData(rows->index(r, 2), value));
            }
        }
    };
    window->Online1Click();
    EXPECT_EQ(panel(), "");  // nothing pending: no panel, no question
    window->Online1Click();
    EXPECT_EQ(runner.names, QStringList{});
    expectState(false);

    // Going offline: Cancel stays online, Store sends "mcs", Don't Store sends nothing.
    const struct {
        QMessageBox::StandardButton answer;
        bool online;
        int stores;
    } cases[] = {{QMessageBox::Cancel, true, 0}, {QMessageBox::Save, false, 1}, {QMessageBox::Discard, false, 1}};
    for (const auto& c : cases) {
        writeOne("91");
        EXPECT_EQ(panel(), " Not stored: 1 setting ");
        runner.forget();
        runner.answers.push_back(press(c.answer));
        window->Online1Click();
        EXPECT_EQ(runner.names, QStringList{"notStoredQuestion"}) << c.answer;
        expectState(c.online);
        QTest::qWait(200);  // what was sent has arrived
        EXPECT_EQ(stores(), c.stores) << c.answer;
        EXPECT_EQ(panel(), c.online ? " Not stored: 1 setting " : "") << c.answer;
    }

    // Closing the window asks too; Save Changes in the settings window clears the count.
    writeOne("92");
    runner.forget();
    runner.answers.push_back(press(QMessageBox::Cancel));
    EXPECT_FALSE(window->close());
    EXPECT_EQ(runner.names, QStringList{"notStoredQuestion"});
    window->settingsTable->btnSave->click();
    EXPECT_EQ(panel(), "");
    runner.forget();
    EXPECT_TRUE(window->close());
    EXPECT_EQ(runner.names, QStringList{});
}
