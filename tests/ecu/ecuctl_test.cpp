// The controller: its worker thread, the command list and the forwarding operations.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <thread>

#include "data/ihexfile.h"
#include "ecu/ecuctl.h"
#include "support/scriptedlink.h"

namespace {

using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// What happened on the worker, in order, and a way to wait for it.
struct TJournal {
    void add(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(what);
        changed.notify_all();
    }
    bool waitFor(size_t count, int ms = 3000) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return entries.size() >= count; });
    }
    Strings all() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }
    std::mutex mutex;
    std::condition_variable changed;
    Strings entries;
};

// A command that notes when it runs and when it is destroyed, and may fail.
class TNotingCommand : public TECUCommand {
public:
    TNotingCommand(TJournal& journal, std::string name, bool fails = false, Clock::time_point* startedAt = nullptr)
        : journal(journal), name(std::move(name)), fails(fails), startedAt(startedAt) {}
    ~TNotingCommand() override { journal.add("gone:" + name); }
    bool execute(TECU& ecu) override {
        if (startedAt) *startedAt = Clock::now();
        TECUCommand::execute(ecu);
        journal.add("run:" + name);
        if (fails) throw std::runtime_error(name + " failed");
        return true;
    }

private:
    TJournal& journal;
    std::string name;
    bool fails;
    Clock::time_point* startedAt;
};

// The fakes, a scripted link for every TECU the worker creates, and a record of the texts sent
// over it that outlives the TECU.
template <class TheClock = TVirtualClock>
struct TControllerBench {
    TFakeOperator<TheClock> fake;
    TVirtualClock linkClock;
    std::mutex sentMutex;
    Strings sent;
    TScriptedLink* link = nullptr;

    TLinkFactory factory() {
        return [this](TLinkKind, TOperator& op) {
            auto l = std::make_unique<TScriptedLink>(op, linkClock);
            l->responder = [this](const std::string& text) {
                std::lock_guard<std::mutex> lock(sentMutex);
                sent.push_back(text);
                return text == "bye" ? std::string("Bye\r") : std::string();
            };
            link = l.get();
            return l;
        };
    }
    long goodbyes() {
        std::lock_guard<std::mutex> lock(sentMutex);
        return std::count(sent.begin(), sent.end(), "bye");
    }
};

}  // namespace

TEST(EcuController, CommandsWaitingTogetherRunNewestFirstAndAreDestroyedAfterwards) {
    TControllerBench<> bench;
    TJournal journal;
    TEcuController controller(bench.fake.op, bench.factory(), /*startSuspended=*/true);
    controller.queueCommand(std::make_unique<TNotingCommand>(journal, "older"));
    controller.queueCommand(std::make_unique<TNotingCommand>(journal, "newer"));
    EXPECT_THROW(controller.isOnline(), EControllerError);  // no worker, no TECU yet
    controller.start();
    ASSERT_TRUE(journal.waitFor(4));
    EXPECT_EQ(journal.all(), (Strings{"run:newer", "gone:newer", "run:older", "gone:older"}));
}

TEST(EcuController, AnIdleWorkerStartsAQueuedCommandWithin25Ms) {
    TControllerBench<TSystemClock> bench;
    TJournal journal;
    TEcuController controller(bench.fake.op, bench.factory());
    controller.ecu();  // created, so the worker is idle
    std::vector<double> latencies;
    for (int i = 0; i < 20; ++i) {
        // Let the worker settle into its wait, at a different point of its poll each time.
        std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 7));
        Clock::time_point startedAt;
        auto command = std::make_unique<TNotingCommand>(journal, "c", false, &startedAt);
        const auto queuedAt = Clock::now();
        controller.queueCommand(std::move(command));
        ASSERT_TRUE(journal.waitFor(static_cast<size_t>(2 * i + 2)));  // run and destroyed
        latencies.push_back(std::chrono::duration<double, std::milli>(startedAt - queuedAt).count());
    }
    std::sort(latencies.begin(), latencies.end());
    std::cout << "queue start latency: median " << latencies[latencies.size() / 2] << " ms, max "
              << latencies.back() << " ms\n";
    EXPECT_LT(latencies[latencies.size() / 2], 25.0);
    EXPECT_LT(latencies.back(), 25.0 + 100.0);  // slack for a loaded machine
}

TEST(EcuController, AFailingCommandEndsTheModalWaitIsReportedAndTheWorkerGoesOn) {
    TControllerBench<> bench;
    TJournal journal;
    TEcuController controller(bench.fake.op, bench.factory(), true);
    controller.queueCommand(std::make_unique<TNotingCommand>(journal, "after"));
    controller.queueCommand(std::make_unique<TNotingCommand>(journal, "broken", true));
    controller.start();
    ASSERT_TRUE(journal.waitFor(4));
    EXPECT_EQ(journal.all(), (Strings{"run:broken", "gone:broken", "run:after", "gone:after"}));
    EXPECT_EQ(bench.fake.progress.calls(), (Strings{"close"}));
    EXPECT_EQ(bench.fake.window.messages(), (Strings{"broken failed"}));
}

TEST(EcuController, AFlashThatEndsEarlyReportsFailureAndClosesTheDialog) {
    TControllerBench<> bench;
    TIHexFile image(8192, 1024);  // no data records: refused before anything is sent
    uint8_t status = 0;
    auto command = std::make_unique<TECUFlashUpdate>(image);
    command->statusByte = &status;
    TEcuController controller(bench.fake.op, bench.factory());
    controller.queueCommand(std::move(command));
    for (int i = 0; i < 300 && bench.fake.window.messages().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(bench.fake.window.messages(), (Strings{"Firmware image holds no data"}));
    EXPECT_EQ(status, TECUCommand::failed);
    const Strings calls = bench.fake.progress.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "close");
    EXPECT_TRUE(bench.sent.empty());
}

TEST(EcuController, BaseCommandCountsDownAndReportsItsOutcome) {
    TECUCommand command;
    command.countdown = 2;
    TControllerBench<> bench;
    TECU ecu(bench.fake.op, bench.factory());
    EXPECT_TRUE(command.execute(ecu));
    EXPECT_TRUE(command.execute(ecu));
    EXPECT_TRUE(command.execute(ecu));
    EXPECT_EQ(command.countdown, 0);
    command.reportOutcome(true);  // no status byte: nothing happens
    uint8_t status = 0;
    command.statusByte = &status;
    command.reportOutcome(true);
    EXPECT_EQ(status, 1);
    command.reportOutcome(false);
    EXPECT_EQ(status, 2);
}

TEST(EcuController, AForwardingCallWaitsForTheTecuAndFailsClearlyWithout) {
    // A link factory that holds the worker until released.
    struct TGate {
        std::mutex m;
        std::condition_variable cv;
        bool open = false;
        void release() {
            std::lock_guard<std::mutex> lock(m);
            open = true;
            cv.notify_all();
        }
        TLinkFactory around(TLinkFactory inner) {
            return [this, inner](TLinkKind k, TOperator& op) {
                std::unique_lock<std::mutex> lock(m);
                cv.wait(lock, [&] { return open; });
                return inner(k, op);
            };
        }
    };
    {
        // Created late: the call waits for it.
        TControllerBench<TSystemClock> bench;
        TGate gate;
        TEcuController controller(bench.fake.op, gate.around(bench.factory()));
        std::thread releaser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            gate.release();
        });
        EXPECT_FALSE(controller.isOnline());
        releaser.join();
    }
    {
        // Not there in time (a clock that runs a thousand times too fast).
        struct TRushingClock : TClock {
            int64_t nowMs() override { return real.nowMs() * 1000; }
            void sleepMs(int) override {}
            TSystemClock real;
        };
        TControllerBench<TRushingClock> bench;
        TGate gate;
        TEcuController controller(bench.fake.op, gate.around(bench.factory()));
        EXPECT_THROW(controller.needsFirmware(), EControllerError);
        gate.release();
    }
    {
        // Never created: the call fails with the reason, and a queued command does not hang
        // the operator in the progress dialog.
        TControllerBench<> bench;
        TJournal journal;
        TEcuController controller(bench.fake.op, [](TLinkKind, TOperator&) -> std::unique_ptr<TCommunicator> {
            throw std::runtime_error("no links today");
        });
        try {
            controller.getLinkAddress();
            ADD_FAILURE() << "no error";
        } catch (const EControllerError& e) {
            EXPECT_EQ(std::string(e.what()), "The ECU could not be set up: no links today");
        }
        controller.queueCommand(std::make_unique<TNotingCommand>(journal, "c"));
        ASSERT_TRUE(journal.waitFor(1));
        EXPECT_EQ(journal.all(), (Strings{"gone:c"}));
        EXPECT_EQ(bench.fake.progress.calls(), (Strings{"close"}));
        EXPECT_EQ(bench.fake.window.messages(), (Strings{"The ECU could not be set up: no links today"}));
        EXPECT_EQ(bench.fake.window.calls().back(), "message:The ECU could not be set up: no links today");
    }
}

// The worker's last act takes the link off line through the main window; the TECU's own
// goodbye then finds the link closed. Either way the ECU hears one goodbye.
TEST(EcuController, DestructionJoinsTheWorkerAndSaysGoodbyeOnce) {
    for (const bool windowClosesTheLink : {true, false}) {
        TControllerBench<> bench;
        struct TClosingWindow : TRecordingWindow {
            TEcuController* controller = nullptr;
            bool closes = false;
            void switchOnline(bool on) override {
                TRecordingWindow::switchOnline(on);
                if (closes) controller->setOnline(on);
            }
        } window;
        window.closes = windowClosesTheLink;
        TOperator op{bench.fake.progress, bench.fake.log, window, bench.fake.prefs, bench.fake.clock};
        {
            TEcuController controller(op, bench.factory());
            window.controller = &controller;
            controller.setOnline(true);
            EXPECT_TRUE(controller.isOnline());
        }
        EXPECT_EQ(window.calls(), (Strings{"online:off"})) << windowClosesTheLink;
        EXPECT_EQ(bench.goodbyes(), 1) << windowClosesTheLink;
    }
}

TEST(EcuController, ConnectShowsTheDialogAndHidesItWhateverTheOutcome) {
    for (const bool ecuAnswers : {true, false}) {
        TControllerBench<> bench;
        TEcuController controller(bench.fake.op, bench.factory());
        TECU& ecu = controller.ecu();
        if (ecuAnswers) {
            bench.link->responder = nullptr;
            bench.link->reply("Man", "Hello>\r");
            bench.link->reply("mdV", "VIVU v3\n1.0.22\n");
            bench.link->reply("mcd", "a=01\r\n");
        }
        EXPECT_EQ(controller.connect(), ecuAnswers);
        EXPECT_EQ(ecu.versionText, ecuAnswers ? "1.0.22" : "0.0.0");
        const Strings calls = bench.fake.progress.calls();
        ASSERT_GE(calls.size(), 3u);
        EXPECT_EQ(calls[0], "caption:Connecting...");
        EXPECT_EQ(calls[1], "show");
        EXPECT_EQ(calls.back(), "hide");
    }
}

TEST(EcuController, ForwardingOperationsReachTheTecuAndItsLink) {
    TControllerBench<> bench;
    TEcuController controller(bench.fake.op, bench.factory());
    controller.setDebugEcho(true);
    controller.setDebugEcho(false);
    EXPECT_FALSE(controller.debugEcho);
    EXPECT_FALSE(controller.ecu().debugEcho);
    EXPECT_FALSE(bench.link->debugEcho);

    controller.useNetworkLink("ecu.local", 4000);
    EXPECT_EQ(controller.getLinkAddress(), "ecu.local");
    EXPECT_EQ(controller.getLinkBaudRate(), 4000);
    controller.saveLinkSettings();
    EXPECT_EQ(bench.link->wire.back(), "save");
    EXPECT_FALSE(controller.needsFirmware());

    EXPECT_THROW(controller.showHardwareConfig(), EControllerError);
    TECU* edited = nullptr;
    controller.setHardwareEditor([&](TECU& e) { edited = &e; });
    controller.showHardwareConfig();
    EXPECT_EQ(edited, &controller.ecu());
}
