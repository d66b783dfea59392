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

// What the worker did, in order, with a way to wait for it.
struct TJournal {
    void add(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(what);
        changed.notify_all();
    }
    Strings waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(3), [&] { return entries.size() >= count; });
        return entries;
    }
    std::mutex mutex;
    std::condition_variable changed;
    Strings entries;
};

// A command that notes when it runs and when it is destroyed, and may fail.
struct TNotingCommand : TECUCommand {
    TNotingCommand(TJournal& journal, std::string name, bool fails = false, Clock::time_point* startedAt = nullptr)
        : journal(journal), name(std::move(name)), fails(fails), startedAt(startedAt) {}
    ~TNotingCommand() override { journal.add("gone:" + name); }
    bool execute(TECU&) override {
        if (startedAt) *startedAt = Clock::now();
        journal.add("run:" + name);
        if (fails) throw std::runtime_error(name + " failed");
        return true;
    }
    TJournal& journal;
    std::string name;
    bool fails;
    Clock::time_point* startedAt;
};

// The fakes, and a scripted link for the TECU that counts the goodbyes it hears even after
// the TECU is gone.
template <class TheClock = TVirtualClock>
struct TBench {
    TFakeOperator<TheClock> fake;
    TVirtualClock linkClock;
    std::atomic<int> goodbyes{0};
    TScriptedLink* link = nullptr;

    TLinkFactory factory() {
        return [this](TLinkKind, TOperator& op) {
            auto l = std::make_unique<TScriptedLink>(op, linkClock);
            l->responder = [this](const std::string& text) {
                if (text != "bye") return std::string();
                ++goodbyes;
                return std::string("Bye\r");
            };
            link = l.get();
            return l;
        };
    }
};

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

}  // namespace

// Newest first, each destroyed after it ran; a failing one ends the operator's modal wait and
// is reported, and the worker goes on.
TEST(EcuController, CommandsRunNewestFirstAndAFailureIsReported) {
    TBench<> bench;
    TJournal journal;
    TEcuController controller(bench.fake.op, bench.factory(), /*startSuspended=*/true);
    controller.queueCommand(std::make_unique<TNotingCommand>(journal, "older"));
    controller.queueCommand(std::make_unique<TNotingCommand>(journal, "newer", true));
    EXPECT_THROW(controller.isOnline(), EControllerError);  // no worker, no TECU yet
    controller.start();
    EXPECT_EQ(journal.waitFor(4), (Strings{"run:newer", "gone:newer", "run:older", "gone:older"}));
    EXPECT_EQ(bench.fake.progress.calls(), (Strings{"close"}));
    EXPECT_EQ(bench.fake.window.messages(), (Strings{"newer failed"}));
}

TEST(EcuController, AnIdleWorkerStartsAQueuedCommandWithin25Ms) {
    TBench<TSystemClock> bench;
    TJournal journal;
    TEcuController controller(bench.fake.op, bench.factory());
    controller.ecu();  // created: the worker is idle from now on
    std::vector<double> latencies;
    for (size_t i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 7));  // anywhere in its wait
        Clock::time_point startedAt;
        const auto queuedAt = Clock::now();
        controller.queueCommand(std::make_unique<TNotingCommand>(journal, "c", false, &startedAt));
        ASSERT_EQ(journal.waitFor(2 * i + 2).size(), 2 * i + 2);
        latencies.push_back(std::chrono::duration<double, std::milli>(startedAt - queuedAt).count());
    }
    std::sort(latencies.begin(), latencies.end());
    std::cout << "queue start latency: median " << latencies[10] << " ms, max " << latencies.back() << " ms\n";
    EXPECT_LT(latencies[10], 25.0);
    EXPECT_LT(latencies.back(), 25.0 + 100.0);  // slack for a loaded machine
}

TEST(EcuController, AFlashThatEndsEarlyReportsFailureAndClosesTheDialog) {
    TBench<> bench;
    uint8_t status = 0;
    // No data records: refused before anything is sent.
    auto command = std::make_unique<TECUFlashUpdate>(std::make_unique<TIHexFile>(8192, 1024));
    command->statusByte = &status;
    TEcuController controller(bench.fake.op, bench.factory());
    controller.queueCommand(std::move(command));
    for (int i = 0; i < 300 && bench.fake.window.messages().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(bench.fake.window.messages(), (Strings{"Firmware image holds no data"}));
    EXPECT_EQ(status, TECUCommand::failed);
    EXPECT_EQ(bench.fake.progress.calls().back(), "close");
}

TEST(EcuController, AForwardingCallWaitsForTheTecuAndFailsClearlyWithout) {
    {
        TBench<TSystemClock> bench;  // created late: the call waits
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
        // Not there in time, on a clock that runs a thousand times too fast.
        struct TRushingClock : TSystemClock {
            int64_t nowMs() override { return TSystemClock::nowMs() * 1000; }
        };
        TBench<TRushingClock> bench;
        TGate gate;
        TEcuController controller(bench.fake.op, gate.around(bench.factory()));
        EXPECT_THROW(controller.needsFirmware(), EControllerError);
        gate.release();
    }
    {
        // Never created: the reason, and a queued command does not leave the operator waiting.
        TBench<> bench;
        TJournal journal;
        TEcuController controller(bench.fake.op, [](TLinkKind, TOperator&) -> std::unique_ptr<TCommunicator> {
            throw std::runtime_error("no links today");
        });
        const std::string reason = "The ECU could not be set up: no links today";
        try {
            controller.getLinkAddress();
            ADD_FAILURE() << "no error";
        } catch (const EControllerError& e) {
            EXPECT_EQ(e.what(), reason);
        }
        controller.queueCommand(std::make_unique<TNotingCommand>(journal, "c"));
        EXPECT_EQ(journal.waitFor(1), (Strings{"gone:c"}));
        EXPECT_EQ(bench.fake.progress.calls(), (Strings{"close"}));
        EXPECT_EQ(bench.fake.window.messages(), (Strings{reason}));
    }
}

// The worker calls no window at its end; the TECU says goodbye while the link is open. The ECU
// hears one goodbye.
TEST(EcuController, DestructionJoinsTheWorkerAndSaysGoodbyeOnce) {
    for (const bool windowClosesTheLink : {true, false}) {
        TBench<> bench;
        struct TClosingWindow : TRecordingWindow {
            TEcuController* controller = nullptr;
            void switchOnline(bool on) override {
                TRecordingWindow::switchOnline(on);
                if (controller) controller->setOnline(on);
            }
        } window;
        TOperator op{bench.fake.progress, bench.fake.log, window, bench.fake.prefs, bench.fake.clock};
        {
            TEcuController controller(op, bench.factory());
            if (windowClosesTheLink) window.controller = &controller;
            controller.setOnline(true);
        }
        EXPECT_EQ(window.calls(), Strings{});  // the worker calls no window at its end
        EXPECT_EQ(bench.goodbyes, 1) << windowClosesTheLink;
    }
}

TEST(EcuController, ConnectShowsTheDialogAndHidesItWhateverTheOutcome) {
    for (const bool ecuAnswers : {true, false}) {
        TBench<> bench;
        TEcuController controller(bench.fake.op, bench.factory());
        controller.ecu();
        if (ecuAnswers) {
            bench.link->responder = nullptr;
            bench.link->reply("Man", "Hello>\r");
            bench.link->reply("mdV", "VIVU v3\n1.0.22\n");
            bench.link->reply("mcd", "a=01\r\n");
        }
        EXPECT_EQ(controller.connect(), ecuAnswers);
        const Strings calls = bench.fake.progress.calls();
        EXPECT_EQ(Strings(calls.begin(), calls.begin() + 2), (Strings{"caption:Connecting...", "show"}));
        EXPECT_EQ(calls.back(), "hide");

        controller.setDebugEcho(true);
        controller.setDebugEcho(false);
        EXPECT_FALSE(controller.debugEcho || controller.ecu().debugEcho || bench.link->debugEcho);
    }
}
