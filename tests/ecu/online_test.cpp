#include <gtest/gtest.h>

#include <stdexcept>

#include "ecu/ecu.h"
#include "support/scriptedlink.h"

namespace {

using Strings = std::vector<std::string>;
using TResult = TOnlineOutcome::TResult;

// A link that does not open: quietly, or with an error (a host name that cannot be looked up).
class TUnopenedLink : public TScriptedLink {
public:
    using TScriptedLink::TScriptedLink;
    void setActive(bool on) override {
        if (on && !error.empty()) throw std::runtime_error(error);
        if (!on) TScriptedLink::setActive(false);
    }
    std::string error;
};

struct OnlineTest : ::testing::Test {
    TFakeOperator<> fake;
    TScriptedLink* link = nullptr;
    std::unique_ptr<TECU> ecu;

    template <class Link>
    Link& make() {
        fake.prefs.values["com.Type"] = "network";
        Link* made = nullptr;
        ecu = std::make_unique<TECU>(fake.op, [&](TLinkKind, TOperator& op) {
            auto l = std::make_unique<Link>(op, fake.clock);
            made = l.get();
            return l;
        });
        link = made;
        link->wire.clear();
        return *made;
    }
};

TEST_F(OnlineTest, ALinkThatDoesNotOpenIsNamedWithItsReasonAndNothingIsSent) {
    for (const std::string error : {"", "no such host"}) {
        make<TUnopenedLink>().error = error;
        const TOnlineOutcome outcome = ecu->goOnline(true, "ecu.local:7000");
        EXPECT_EQ(outcome.result, TResult::OpenFailed);
        EXPECT_EQ(outcome.message(), "Unable to open connection to ECU!");
        EXPECT_EQ(outcome.detail(), error.empty() ? "ecu.local:7000" : "ecu.local:7000: " + error);
        EXPECT_TRUE(link->sent().empty());
        EXPECT_FALSE(ecu->debugEcho);
        EXPECT_TRUE(fake.progress.calls().empty());
    }
}

TEST_F(OnlineTest, TheHandshakeDecidesAndAFailedOneClosesTheLinkAgain) {
    struct Case {
        const char* name;
        const char* version;  // the version reply; null: the ECU stays silent
        TResult result;
        bool withReason;
    };
    for (const Case c : {Case{"answers", "VIVU v3\n1.0.22\n", TResult::Online, false},
                         Case{"silent", nullptr, TResult::ConnectFailed, false},
                         Case{"garbled version", "\r\n\r1.0\n", TResult::ConnectFailed, true}}) {
        make<TScriptedLink>();
        if (c.version) {
            link->reply("Man", "Hello>\r");
            link->reply("mdV", c.version);
            link->reply("mcd", "a=01\r\n");
        }
        link->reply("bye", "Bye\r");
        const TOnlineOutcome outcome = ecu->goOnline(true, "ecu.local:7000");
        EXPECT_EQ(outcome.result, c.result) << c.name;
        EXPECT_EQ(!outcome.reason.empty(), c.withReason) << c.name << ": " << outcome.reason;
        EXPECT_EQ(outcome.message(), c.result == TResult::Online ? "" : "Unable to establish communications with ECU.");
        EXPECT_EQ(ecu->isOnline(), c.result == TResult::Online) << c.name;
        EXPECT_EQ(link->wire.back() == "close", c.result != TResult::Online) << c.name;
        EXPECT_TRUE(ecu->debugEcho && link->debugEcho);
        const Strings calls = fake.progress.calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(Strings(calls.begin(), calls.begin() + 2), (Strings{"caption:Connecting...", "show"}));
        EXPECT_EQ(calls.back(), "hide") << c.name;
    }
}

}  // namespace
