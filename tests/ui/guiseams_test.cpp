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

// The GUI side of all three seams: every call goes into one journal, and a call that does not
// arrive on the GUI thread is counted. A message box stays open for `boxOpenMs` with the GUI's
// events flowing, as under a real box.
struct TGuiSide : TProgress, TDebugLog, TMainServices {
    void add(std::string call) {
        if (QThread::currentThread() != qApp->thread()) ++offThread;
        calls.push_back(std::move(call));
    }
    void setCaption(const std::string& t) override { add("caption:" + t); }
    void setStatusText(const std::string& t) override { add("status:" + t); }
    void setPosition(int p) override { add("position:" + std::to_string(p)); }
    int getPosition() override { return 0; }
    void show() override { add("show"); }
    void hide() override { add("hide"); }
    void close() override { add("close"); }
    void appendText(const std::string& t, TColor) override { add("log:" + t); }
    void reportMessage(const std::string& t) override {
        add("message:" + t);
        QEventLoop box;
        QTimer::singleShot(boxOpenMs, &box, &QEventLoop::quit);
        box.exec();
        if (t == "refuse") throw std::runtime_error("box refused");
    }
    void setActivity(bool on) override { add(on ? "activity:on" : "activity:off"); }
    void setFirmwareText(const std::string& t) override { add("firmware:" + t); }
    void repaint() override { add("repaint"); }
    void switchOnline(bool on) override {
        add(on ? "online:on" : "online:off");
        if (onSwitch) onSwitch(on);
    }

    Strings calls;
    int offThread = 0;
    int boxOpenMs = 0;
    std::function<void(bool)> onSwitch;
};

// Runs `work` on a thread of its own while the GUI's events flow.
void onWorker(const std::function<void()>& work) {
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        work();
        finished = true;
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!finished && std::chrono::steady_clock::now() < end) QApplication::processEvents(QEventLoop::AllEvents, 5);
    worker.join();
}

}  // namespace

TEST(GuiSeams, WorkerCallsReachTheGuiThreadInTheOrderTheyWereMade) {
    TGuiSide gui;
    TAppOperator seams(gui, gui, gui);
    Strings made;
    int positionMisreads = 0;
    onWorker([&] {
        for (int i = 0; i < 1000; ++i) {
            const int position = i % 120 - 10;  // some outside 0..100
            seams.op.progress.setPosition(position);
            if (seams.op.progress.getPosition() != std::clamp(position, 0, 100)) ++positionMisreads;
            seams.op.progress.setStatusText("block " + std::to_string(i));
            seams.op.log.appendText(std::to_string(i % 10), receivedColor);
            made.insert(made.end(), {"position:" + std::to_string(position), "status:block " + std::to_string(i),
                                     "log:" + std::to_string(i % 10)});
            if (i % 100 == 0) {
                seams.op.window.setActivity(true);
                made.push_back("activity:on");
            }
        }
        seams.op.progress.close();
        seams.op.window.reportMessage("done");
        made.insert(made.end(), {"close", "message:done"});
    });
    EXPECT_EQ(gui.calls, made);
    EXPECT_EQ(gui.offThread, 0);
    EXPECT_EQ(positionMisreads, 0);
}

TEST(GuiSeams, AMessageFromTheWorkerReturnsWhenTheBoxIsClosed) {
    TGuiSide gui;
    gui.boxOpenMs = 150;
    TAppOperator seams(gui, gui, gui);
    double waitedMs = 0;
    std::string raised;
    onWorker([&] {
        const auto start = std::chrono::steady_clock::now();
        seams.op.window.reportMessage("Lost connection with ECU!");
        waitedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        try {
            seams.op.window.reportMessage("refuse");  // what the GUI side raised comes back
        } catch (const std::exception& e) {
            raised = e.what();
        }
    });
    EXPECT_GE(waitedMs, 150.0);
    EXPECT_EQ(raised, "box refused");
    EXPECT_EQ(gui.calls, (Strings{"message:Lost connection with ECU!", "message:refuse"}));
}

// The firmware update flow with the real progress dialog and log: the GUI thread waits in the
// dialog modally while the worker runs the command; a command that fails ends the wait and is
// reported; destroying the controller on the GUI thread lets the worker take the link off line
// there, through the controller, as the main window does.
TEST(GuiSeams, AFailingCommandEndsTheModalWaitAndTheControllerEndsCleanly) {
    TGuiSide gui;
    TStatusBarDlg dialog;
    TDebugDlg debugWindow;
    TAppOperator seams(dialog, debugWindow, gui);
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
    QTimer rescue;  // ends a wait that would otherwise hang the test
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, [&] { dialog.done(0); });

    TScriptedLink* link = nullptr;
    {
        TEcuController controller(seams.op, [&](TLinkKind, TOperator& op) {
            auto made = std::make_unique<TScriptedLink>(op, linkClock);
            made->reply("bye", "Bye\r");
            link = made.get();
            return made;
        });
        gui.onSwitch = [&](bool on) {
            controller.setOnline(on);
            gui.add("link:" + link->wire.back());
        };
        controller.setOnline(true);
        controller.queueCommand(std::make_unique<TFailingFlash>(seams.op));
        rescue.start(5000);
        dialog.showModal();
        EXPECT_TRUE(rescue.isActive());
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.statusText(), "Programming block 1 of 2");
        EXPECT_EQ(dialog.getPosition(), 25);
        EXPECT_EQ(debugWindow.lines(), (QStringList{"", "Settings backed up", ""}));
        for (int i = 0; i < 500 && gui.calls.empty(); ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(gui.calls, (Strings{"message:ECU did not accept block 1 of 2"}));
    EXPECT_EQ(gui.offThread, 0);
}
