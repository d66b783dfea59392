// The seams between the ECU worker and the GUI thread.

#include "ui/guiseams.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <thread>

#include "ecu/ecuctl.h"
#include "support/scriptedlink.h"
#include "ui/debug.h"
#include "ui/statusdialog.h"

namespace {

using Strings = std::vector<std::string>;

// GUI-side implementations that write every call into one journal, and note calls that did not
// arrive on the GUI thread.
struct TGuiJournal {
    Strings calls;
    int offThread = 0;
    void add(std::string call) {
        if (QThread::currentThread() != qApp->thread()) ++offThread;
        calls.push_back(std::move(call));
    }
};

struct TJournalProgress : TProgress {
    explicit TJournalProgress(TGuiJournal& j) : j(j) {}
    void setCaption(const std::string& t) override { j.add("caption:" + t); }
    void setStatusText(const std::string& t) override { j.add("status:" + t); }
    void setPosition(int p) override { j.add("position:" + std::to_string(p)); }
    int getPosition() override { return 0; }
    void show() override { j.add("show"); }
    void hide() override { j.add("hide"); }
    void close() override { j.add("close"); }
    TGuiJournal& j;
};

struct TJournalLog : TDebugLog {
    explicit TJournalLog(TGuiJournal& j) : j(j) {}
    void appendText(const std::string& t, TColor) override { j.add("log:" + t); }
    TGuiJournal& j;
};

// The main window's side. A message box stays open for `boxOpenMs` (the operator reading it),
// with the GUI's events flowing, as under a real box.
struct TJournalWindow : TMainServices {
    explicit TJournalWindow(TGuiJournal& j) : j(j) {}
    void reportMessage(const std::string& t) override {
        j.add("message:" + t);
        QEventLoop box;
        QTimer::singleShot(boxOpenMs, &box, &QEventLoop::quit);
        box.exec();
        if (t == "refuse") throw std::runtime_error("box refused");
    }
    void setActivity(bool on) override { j.add(on ? "activity:on" : "activity:off"); }
    void setFirmwareText(const std::string& t) override { j.add("firmware:" + t); }
    void repaint() override { j.add("repaint"); }
    void switchOnline(bool on) override {
        j.add(on ? "online:on" : "online:off");
        if (onSwitch) onSwitch(on);
    }
    TGuiJournal& j;
    int boxOpenMs = 0;
    std::function<void(bool)> onSwitch;
};

// Keeps the GUI's events flowing until `done` or a time-out.
bool pumpUntil(const std::function<bool()>& done, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace

TEST(GuiSeams, WorkerCallsReachTheGuiThreadInTheOrderTheyWereMade) {
    TGuiJournal journal;
    TJournalProgress progress(journal);
    TJournalLog log(journal);
    TJournalWindow window(journal);
    TAppOperator seams(progress, log, window);

    Strings made;
    int positionMisreads = 0;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        for (int i = 0; i < 1000; ++i) {
            const int position = i % 120 - 10;  // some outside 0..100
            seams.op.progress.setPosition(position);
            made.push_back("position:" + std::to_string(position));
            if (seams.op.progress.getPosition() != std::clamp(position, 0, 100)) ++positionMisreads;
            seams.op.progress.setStatusText("block " + std::to_string(i));
            made.push_back("status:block " + std::to_string(i));
            seams.op.log.appendText(std::to_string(i % 10), receivedColor);
            made.push_back("log:" + std::to_string(i % 10));
            if (i % 100 == 0) {
                seams.op.window.setActivity(true);
                made.push_back("activity:on");
            }
        }
        seams.op.progress.close();
        made.push_back("close");
        seams.op.window.reportMessage("done");  // returns once the GUI thread has shown it
        made.push_back("message:done");
        finished = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return finished.load(); }));
    worker.join();
    EXPECT_EQ(journal.calls, made);
    EXPECT_EQ(journal.offThread, 0);
    EXPECT_EQ(positionMisreads, 0);
}

TEST(GuiSeams, AMessageFromTheWorkerReturnsWhenTheBoxIsClosed) {
    TGuiJournal journal;
    TJournalProgress progress(journal);
    TJournalLog log(journal);
    TJournalWindow window(journal);
    window.boxOpenMs = 150;
    TAppOperator seams(progress, log, window);

    double waitedMs = 0;
    std::string raised;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        const auto start = std::chrono::steady_clock::now();
        seams.op.window.reportMessage("Lost connection with ECU!");
        waitedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        try {
            seams.op.window.reportMessage("refuse");  // what the GUI side raised comes back
        } catch (const std::exception& e) {
            raised = e.what();
        }
        finished = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return finished.load(); }));
    worker.join();
    EXPECT_GE(waitedMs, 150.0);
    EXPECT_EQ(raised, "box refused");
    EXPECT_EQ(journal.calls, (Strings{"message:Lost connection with ECU!", "message:refuse"}));
}

TEST(GuiSeams, GuiThreadCallsGoStraightThroughAndLetTheWindowsRepaint) {
    TGuiJournal journal;
    TJournalProgress progress(journal);
    TJournalLog log(journal);
    TJournalWindow window(journal);
    TAppOperator seams(progress, log, window);
    seams.op.progress.setPosition(250);
    seams.op.window.reportMessage("now");
    EXPECT_EQ(journal.calls, (Strings{"position:250", "message:now"}));
    EXPECT_EQ(seams.op.progress.getPosition(), 100);

    bool ran = false;
    QMetaObject::invokeMethod(qApp, [&] { ran = true; }, Qt::QueuedConnection);
    seams.op.window.processPendingEvents();
    EXPECT_TRUE(ran);
}

// The firmware update flow with the real progress dialog: the GUI thread waits in it modally
// while the worker runs the command; a command that fails ends the wait and is reported, and
// destroying the controller on the GUI thread lets the worker take the link off line there
// (through the controller, as the main window does).
TEST(GuiSeams, AFailingCommandEndsTheModalWaitAndTheControllerEndsCleanly) {
    TGuiJournal journal;
    TStatusBarDlg dialog;
    TDebugDlg debugWindow;
    TJournalWindow window(journal);
    TAppOperator seams(dialog, debugWindow, window);
    TVirtualClock linkClock;

    struct TFailingFlash : TECUCommand {
        explicit TFailingFlash(TOperator& op) : op(op) {}
        bool execute(TECU&) override {
            op.progress.setStatusText("Programming block 1 of 2");
            op.progress.setPosition(25);
            op.progress.show();
            op.log.appendText("\rSettings backed up\r", expectedColor);
            throw std::runtime_error("ECU did not accept block 1 of 2");
        }
        TOperator& op;
    };
    bool rescued = false;
    QTimer rescue;
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, [&] {
        rescued = true;
        dialog.done(0);
    });
    TScriptedLink* link = nullptr;
    {
        TEcuController controller(seams.op, [&](TLinkKind, TOperator& op) {
            auto made = std::make_unique<TScriptedLink>(op, linkClock);
            made->reply("bye", "Bye\r");
            link = made.get();
            return made;
        });
        window.onSwitch = [&](bool on) {
            controller.setOnline(on);
            journal.add("link:" + link->wire.back());
        };
        controller.setOnline(true);
        controller.queueCommand(std::make_unique<TFailingFlash>(seams.op));
        dialog.setCaption("Updating Firmware...");
        dialog.hide();
        rescue.start(5000);
        dialog.showModal();
        rescue.stop();
        EXPECT_FALSE(rescued);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.statusText(), "Programming block 1 of 2");
        EXPECT_EQ(dialog.getPosition(), 25);
        EXPECT_EQ(debugWindow.lines(), (QStringList{"", "Settings backed up", ""}));
        ASSERT_TRUE(pumpUntil([&] { return !journal.calls.empty(); }));
        EXPECT_EQ(journal.calls, (Strings{"message:ECU did not accept block 1 of 2"}));
    }
    EXPECT_EQ(journal.calls, (Strings{"message:ECU did not accept block 1 of 2", "online:off", "link:close"}));
    EXPECT_EQ(journal.offThread, 0);
}
