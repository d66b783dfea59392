// Every handler of the windows and every menu item that reaches the ECU, on a link that raises
// each of the core's errors: the error reaches the operator as a message and never leaves the
// handler.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QFileDialog>
#include <QMessageBox>
#include <QLineEdit>
#include <QAction>
#include <QMdiArea>
#include <QSettings>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>

#include <fstream>
#include <functional>
#include <sstream>

#include "data/ihexfile.h"
#include "ecu/ecu.h"
#include "ecu/ecuctl.h"
#include "platform/convert.h"
#include "support/scriptedlink.h"
#include "support/simprocess.h"
#include "support/tempdir.h"
#include "ui/hwconfig.h"
#include "ui/mainapp.h"
#include "ui/modalrunner.h"
#include "ui/settingstable.h"
#include "ui/statusdialog.h"

namespace {

struct TFileRunner : TModalRunner {
    // A file chooser gets the file; a question (write these? reflash?) gets Yes.
    int run(QDialog& dialog) override {
        if (auto* chooser = qobject_cast<QFileDialog*>(&dialog)) {
            chooser->selectFile(file);
            return QDialog::Accepted;
        }
        if (auto* box = qobject_cast<QMessageBox*>(&dialog); box && box->objectName() == "messageBox")
            shown.push_back((box->text() + "\n" + box->informativeText()).toStdString());
        return QMessageBox::Yes;
    }
    QString file;
    std::vector<std::string> shown;  // the main window's messages
};

struct TError {
    const char* text;
    std::function<void()> raise;
};
const TError errors[] = {
    {"flash error", [] { throw EFlashError("flash error"); }},
    {"link lost", [] { throw ELinkLost("link lost"); }},
    {"reply error", [] { throw EReplyError("reply error"); }},
    {"convert error", [] { throw EConvertError("convert error", "ZZ"); }},
    {"in-out error", [] { throw EInOutError("in-out error"); }},
};

struct GuardedHandlers : ::testing::Test {
    TTempDir dir;
    TFakeOperator<> fake;
    TScriptedLink* link = nullptr;
    std::unique_ptr<TECU> ecu;
    TFileRunner runner;
    QMdiArea area;
    std::unique_ptr<TSettingsTable> table;
    std::unique_ptr<ThardwareConfig> hardware;

    std::string settingsLines;  // the simulator's table as its firmware sends it

    void SetUp() override {
        fake.prefs.values["com.Type"] = "network";
        ecu = std::make_unique<TECU>(fake.op, [this](TLinkKind, TOperator& op) {
            auto made = std::make_unique<TScriptedLink>(op, fake.clock);
            link = made.get();
            return made;
        });
        // The simulator's own table, as its firmware sends it.
        std::istringstream rows(runProgram({ecusimProgram(), "default-settings"}).out);
        std::string row, lines, backup;
        while (std::getline(rows, row)) {
            const size_t a = row.find('\t'), b = row.rfind('\t');
            if (a == std::string::npos || a == b) continue;
            lines += row.substr(a + 1, b - a - 1) + "=" + hexHH(std::stoi(row.substr(b + 1))) + "\r\n";
            // The backup differs in its first value, so that a restore has something to write.
            backup += backup.empty() ? row.substr(0, b + 1) + std::to_string((std::stoi(row.substr(b + 1)) + 1) % 256) + "\n"
                                     : row + "\n";
        }
        std::ofstream(dir.path + "/backup.txt") << backup;
        settingsLines = lines;
        runner.file = QString::fromStdString(dir.path + "/backup.txt");
        link->reply("Man", "Hello>\r");
        link->reply("mdV", "VIVU v3\n1.0.22\n");
        link->reply("mcd", lines);
        ecu->setOnline(true);
        ASSERT_TRUE(ecu->connect());
        table = std::make_unique<TSettingsTable>(*ecu, fake.op, runner, &area);
        hardware = std::make_unique<ThardwareConfig>(*ecu, fake.op);
        hardware->LCDShow();
        hardware->WBO2Show();
        hardware->outputPageShow();
    }
    void TearDown() override {
        link->responder = nullptr;
        hardware.reset();
        table.reset();
    }
};

}  // namespace

TEST_F(GuardedHandlers, EveryErrorOfTheCoreEndsAsTheOperatorsMessage) {
    using Windows = GuardedHandlers;
    const struct {
        const char* handler;
        std::function<void(Windows&)> run;
    } handlers[] = {
        {"table: a value edited",
         [](Windows& w) { w.table->table->model()->setData(w.table->table->model()->index(0, 2), "7"); }},
        {"table: Save Changes", [](Windows& w) { w.table->setChangesPending(true), w.table->btnSave->click(); }},
        {"table: Restore...", [](Windows& w) { w.table->btnRestore->click(); }},
        {"hardware: a box left changed",
         [](Windows& w) { w.hardware->boxes[0]->setText("3"), w.hardware->boxes[0]->setModified(true),
                          w.hardware->commitBox(0); }},
        {"hardware: an output panel", [](Windows& w) { w.hardware->outputClick(0); }},
        {"hardware: Save Changes", [](Windows& w) { w.hardware->setChangesPending(true), w.hardware->btnSave->click(); }},
        {"hardware: Enable WBO2", [](Windows& w) { w.hardware->btn_wbenable->click(); }},
        {"hardware: Calibrate", [](Windows& w) { w.hardware->btnCalibrate->click(); }},
        {"hardware: calibration up", [](Windows& w) { w.hardware->btnCalUp->click(); }},
        {"hardware: fan channel", [](Windows& w) { w.hardware->fan_channelChange(); }},
        {"hardware: fan off temperature",
         [](Windows& w) { w.hardware->fan_off_temp->setText("1"), w.hardware->fan_off_temp->setModified(true),
                          w.hardware->fan_off_tempExit(); }},
        {"hardware: Test Fan", [](Windows& w) { w.hardware->testFanBtn->click(); }},
        {"hardware: closed with an output on", [](Windows& w) {
             w.link->responder = nullptr;
             ThardwareConfig::showPanel(w.hardware->panels[1], false);  // left down by the last round
             w.hardware->outputClick(1);
             w.link->responder = [](const std::string&) -> std::string { throw ELinkLost("link lost"); };
             w.hardware->Close->click();
         }},
    };
    for (const TError& error : errors) {
        for (const auto& h : handlers) {
            fake.window.forget();
            link->responder = [&](const std::string&) -> std::string {
                error.raise();
                return {};
            };
            EXPECT_NO_THROW(h.run(*this)) << h.handler << ", " << error.text;
            const auto shown = fake.window.messages();
            ASSERT_FALSE(shown.empty()) << h.handler << ", " << error.text;
            const bool closing = std::string(h.handler).find("closed") != std::string::npos;
            for (const std::string expected : {closing ? "may still be on: link lost" : error.text,
                                               closing ? "Power the ECU down" : error.text})
                EXPECT_NE(shown.back().find(expected), std::string::npos) << h.handler << ": " << shown.back();
        }
    }
}

// The main window's menu items that reach the ECU, each with a link that raises every error of
// the core at its first send.
TEST_F(GuardedHandlers, EveryMenuItemOfTheMainWindowEndsErrorsAsMessages) {
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Harnwick", "Veltrace");
        store.clear();
        store.setValue("com.Type", "network");
    }
    std::ofstream(dir.path + "/tune.mtt") << "lcd_c0=40\r\n";
    const std::string firmware = makeSimFirmware(dir.path, "1.5.0", "fan_hyst=9\nlcd_c0=40\n");
    const struct {
        const char* item;
        bool online;       // the item is used while online
        std::string file;  // what its file chooser is given
    } items[] = {
        {"Online1", false, ""},
        {"Import1", true, dir.path + "/tune.mtt"},
        {"FirmwareUpdate1", true, firmware},
        {"Online1", true, ""},  // going offline: the goodbye
    };
    TVirtualClock linkClock;
    TShortPauseClock clock;
    for (const TError& error : errors) {
        for (const auto& it : items) {
            TScriptedLink* windowLink = nullptr;
            TMainWindow window(
                [&](TLinkKind, TOperator& op) {
                    auto made = std::make_unique<TScriptedLink>(op, linkClock);
                    windowLink = made.get();
                    windowLink->reply("Man", "Hello>\r");
                    windowLink->reply("mdV", "VIVU v3\n1.0.22\n");
                    windowLink->reply("mcd", settingsLines);
                    return made;
                },
                &runner, &clock);
            window.ecuController().ecu().backupFolder = dir.path;
            if (it.online) {
                window.menuAction("Online1")->trigger();
                ASSERT_TRUE(window.menuAction("Online1")->isChecked()) << it.item;
            }
            runner.shown.clear();
            runner.file = QString::fromStdString(it.file);
            windowLink->responder = [&](const std::string&) -> std::string {
                error.raise();
                return {};
            };
            EXPECT_NO_THROW(window.menuAction(it.item)->trigger()) << it.item << ", " << error.text;
            ASSERT_FALSE(runner.shown.empty()) << it.item << ", " << error.text;
            EXPECT_NE(runner.shown.back().find(error.text), std::string::npos) << it.item << ": " << runner.shown.back();
            EXPECT_FALSE(window.statusDialog->isVisible()) << it.item << ", " << error.text;  // no dialog left up
            windowLink->responder = nullptr;
        }
    }
}
