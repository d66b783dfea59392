// TECU going online end to end over the real links, with a small scripted ECU on the far end of
// a pseudo-terminal or a loopback connection.

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "ecu/ecu.h"
#include "link/linkfactory.h"
#include "support/fakes.h"
#include "support/realpeers.h"

namespace {

struct TRule {
    std::string command;
    std::string reply;
    bool hangUpAfter = false;
};

// Plays the ECU on a descriptor in a thread of its own: each command is answered with its
// reply as soon as it has arrived.
class TEcuPeer {
public:
    // `attach` gives the descriptor (it may wait for a connection); `note` adds a remark to
    // every command recorded; the peer closes the descriptor when `ownsFd`.
    TEcuPeer(std::function<int()> attach, std::vector<TRule> rules, bool ownsFd,
             std::function<std::string(const std::string&)> note = {})
        : rules(std::move(rules)), note(std::move(note)) {
        worker = std::thread([this, attach, ownsFd] {
            const int fd = attach();
            if (fd >= 0) run(fd);
            if (fd >= 0 && ownsFd) ::close(fd);
        });
    }
    ~TEcuPeer() { stop(); }
    void stop() {
        quit = true;
        if (worker.joinable()) worker.join();
    }
    std::vector<std::string> commands() {
        std::lock_guard<std::mutex> lock(mutex);
        return heard;
    }

private:
    void run(int fd) {
        std::string pending;
        while (!quit) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return;
            pending.append(buf, static_cast<size_t>(n));
            // Commands can arrive back to back in one read: take them in order of arrival.
            for (;;) {
                const TRule* first = nullptr;
                size_t at = std::string::npos;
                for (const auto& rule : rules) {
                    const size_t pos = pending.find(rule.command);
                    if (pos < at) {
                        at = pos;
                        first = &rule;
                    }
                }
                if (!first) break;
                pending.erase(0, at + first->command.size());
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    heard.push_back(first->command + (note ? note(first->command) : ""));
                }
                writeAll(fd, first->reply);
                if (first->hangUpAfter) return;
            }
        }
    }

    std::vector<TRule> rules;
    std::function<std::string(const std::string&)> note;
    std::atomic<bool> quit{false};
    std::mutex mutex;
    std::vector<std::string> heard;
    std::thread worker;
};

const std::string settingsLines = "cylinders=04\r\nrpm_limit=1A\r\nfan_on=5F\r\n";

void expectDownloadedSettings(const TECU& ecu) {
    EXPECT_EQ(ecu.versionText, "1.0.22");
    EXPECT_EQ(ecu.versionMajor, 1);
    EXPECT_EQ(ecu.versionMinor, 0);
    EXPECT_EQ(ecu.versionPatch, 22);
    EXPECT_EQ(ecu.settings->getName(0), "cylinders");
    EXPECT_EQ(ecu.settings->getValue(0), 4);
    EXPECT_EQ(ecu.settings->getName(1), "rpm_limit");
    EXPECT_EQ(ecu.settings->getValue(1), 26);
    EXPECT_EQ(ecu.settings->getName(2), "fan_on");
    EXPECT_EQ(ecu.settings->getValue(2), 95);
    EXPECT_FALSE(ecu.needsFirmware);
}

std::string rateName(speed_t s) {
    switch (s) {
    case B9600: return "9600";
    case B19200: return "19200";
    case B57600: return "57600";
    default: return "other";
    }
}

}  // namespace

TEST(EcuOverRealLinks, ConnectsOverAPtyAndTakesUpTheStoredRate) {
    TPty pty;
    const speed_t found = pty.outputSpeed();
    TSerialPortsSetting ports(pty.path);
    TFakeOperator<TFastClock> fake;
    fake.prefs.values = {{"com.Type", "serial"}, {"comm.comport", "1"}, {"comm.baudrate", "57600"}};
    // Every command but a rate switch notes the rate the line ran at when it came; a switch
    // races with the link following it, as on a real line.
    TEcuPeer ecuPeer([&] { return pty.master; },
                     {{"Man", "Hello>\r"},
                      {"mdV", "mdV\r\n1.0.22\n"},
                      {"mcB10", ""},
                      {"mcB67", ""},
                      {"mcd", settingsLines},
                      {"bye", "Bye\r"}},
                     false,
                     [&](const std::string& cmd) {
                         return cmd.rfind("mcB", 0) == 0 ? std::string()
                                                         : "@" + rateName(pty.outputSpeed());
                     });
    {
        TECU ecu(fake.op, realLinkFactory());
        ASSERT_TRUE(ecu.link->isSerialKind());
        EXPECT_EQ(ecu.getLinkBaudRate(), 57600);
        ecu.setOnline(true);
        ASSERT_TRUE(ecu.isOnline());
        ecu.setDebugEcho(false);
        EXPECT_TRUE(ecu.connect());
        expectDownloadedSettings(ecu);
        EXPECT_EQ(fake.window.firmware, "Firmware v.1.0.22");
        EXPECT_EQ(pty.outputSpeed(), static_cast<speed_t>(B57600));
    }  // goodbye at 9600, then the port closes
    const long long deadline = steadyMs() + 2000;
    while (ecuPeer.commands().size() < 6 && steadyMs() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ecuPeer.stop();
    EXPECT_EQ(ecuPeer.commands(), (std::vector<std::string>{"Man@9600", "mdV@9600", "mcB10",
                                                            "mcd@57600", "mcB67", "bye@9600"}));
    const auto pauses = fake.clock.pauses();
    EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 500), 2);
    EXPECT_EQ(pty.outputSpeed(), found);  // closed: the terminal has its own settings back
}

TEST(EcuOverRealLinks, ConnectsOverLoopbackTcpWithoutRateSwitches) {
    TLoopbackServer server;
    TFakeOperator<TFastClock> fake;
    fake.prefs.values = {{"com.Type", "network"},
                         {"comm.hostname", "127.0.0.1"},
                         {"comm.portnum", std::to_string(server.port)}};
    // The ECU hangs up after its settings: the download ends at once (no 2.5 s silence), with
    // the loss, since nobody can tell a table cut short from a whole one.
    TEcuPeer ecuPeer([&] { return server.accept(5000); },
                     {{"Man", "Hello>\r"},
                      {"mdV", "mdV\r\n1.0.22\n"},
                      {"mcd", settingsLines, true}},
                     true);
    TECU ecu(fake.op, realLinkFactory());
    ASSERT_FALSE(ecu.link->isSerialKind());
    EXPECT_EQ(ecu.getLinkAddress(), "127.0.0.1");
    ecu.setOnline(true);
    ASSERT_TRUE(ecu.isOnline());
    const long long t0 = steadyMs();
    try {
        ecu.connect();
        ADD_FAILURE() << "no error";
    } catch (const ELinkLost& e) {
        EXPECT_STREQ(e.what(), "Lost connection with ECU during the settings download: the connection was closed "
                               "by the other end");
    }
    EXPECT_LT(steadyMs() - t0, 2000);
    expectDownloadedSettings(ecu);
    ecuPeer.stop();
    EXPECT_EQ(ecuPeer.commands(), (std::vector<std::string>{"Man", "mdV", "mcd"}));
    EXPECT_FALSE(ecu.isOnline());  // the ECU hung up
}

TEST(EcuOverRealLinks, TheLinkKindFollowsTheStoredTypeAndTheOperatorsChoice) {
    TFakeOperator<TFastClock> fake;
    fake.prefs.values = {{"com.Type", "Serial"}};
    TECU ecu(fake.op, realLinkFactory());
    EXPECT_FALSE(ecu.link->isSerialKind());  // only "serial" exactly
    EXPECT_EQ(ecu.getLinkAddress(), "127.0.0.1");
    EXPECT_EQ(ecu.getLinkBaudRate(), 32000);

    ecu.useSerialLink("2", 19200);
    EXPECT_TRUE(ecu.link->isSerialKind());
    EXPECT_EQ(ecu.getLinkAddress(), "2");
    EXPECT_EQ(ecu.getLinkBaudRate(), 19200);

    ecu.useNetworkLink("::1", 4000);
    EXPECT_FALSE(ecu.link->isSerialKind());
    EXPECT_EQ(ecu.getLinkAddress(), "::1");
    EXPECT_EQ(ecu.getLinkBaudRate(), 4000);
    ecu.saveLinkSettings();
    EXPECT_EQ(fake.prefs.values["comm.hostname"], "::1");
    EXPECT_EQ(fake.prefs.values["comm.portnum"], "4000");
}
