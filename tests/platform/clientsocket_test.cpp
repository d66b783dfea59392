// The TCP client against loopback listeners started by the tests.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netdb.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>
#include <vector>

#include "platform/clientsocket.h"
#include "support/realpeers.h"

namespace {

// A client that records its notifications in order.
struct TRecordingClient {
    TRecordingClient(const std::string& host, int port) {
        socket.setHost(host);
        socket.setPort(port);
        socket.OnConnect = [this] { events.push_back("connect"); };
        socket.OnDisconnect = [this] { events.push_back("disconnect"); };
        socket.OnError = [this](int& code) {
            events.push_back("error:" + std::to_string(code));
            code = 0;
        };
        socket.OnRead = [this] {
            events.push_back("read");
            received += socket.receiveText();
        };
    }
    // Processes events until `done` holds or the time is up.
    template <class Done>
    bool runUntil(Done done, int ms = 2000) {
        const long long deadline = steadyMs() + ms;
        while (!done()) {
            if (steadyMs() > deadline) return false;
            socket.waitForEvent(20);
            socket.processPendingEvents();
        }
        return true;
    }
    bool connect() {
        socket.open();
        return runUntil([&] { return socket.getActive() || !events.empty(); });
    }

    TClientSocket socket;
    std::vector<std::string> events;
    std::string received;
};

}  // namespace

TEST(ClientSocket, ConnectsWithNagleOffAndRaisesDisconnectBeforeCloseReturns) {
    TLoopbackServer server;
    TRecordingClient client("127.0.0.1", server.port);
    EXPECT_FALSE(client.socket.getActive());
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(client.events, (std::vector<std::string>{"connect"}));
    EXPECT_TRUE(client.socket.getActive());
    const int peer = server.accept();
    ASSERT_GE(peer, 0);

    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    ASSERT_EQ(getsockopt(client.socket.handle(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_NE(nodelay, 0);

    client.socket.sendText("Man");
    EXPECT_EQ(readFor(peer, 3, 1000), "Man");

    client.socket.close();
    EXPECT_EQ(client.events, (std::vector<std::string>{"connect", "disconnect"}));
    EXPECT_FALSE(client.socket.getActive());
    EXPECT_EQ(readFor(peer, 1, 1000), "");  // the peer sees the end
    ::close(peer);
}

TEST(ClientSocket, ReachesAnIpv6Listener) {
    std::unique_ptr<TLoopbackServer> server;
    try {
        server = std::make_unique<TLoopbackServer>("::1");
    } catch (const std::exception&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    TRecordingClient client("::1", server->port);
    ASSERT_TRUE(client.connect());
    EXPECT_TRUE(client.socket.getActive());
}

TEST(ClientSocket, ARefusedConnectIsAnErrorNotification) {
    const int port = unusedLoopbackPort();
    TRecordingClient client("127.0.0.1", port);
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(client.events, (std::vector<std::string>{"error:" + std::to_string(ECONNREFUSED)}));
    EXPECT_FALSE(client.socket.getActive());

    // A handler that leaves the code set lets the socket raise the error itself.
    client.socket.OnError = [](int&) {};
    client.socket.open();
    try {
        client.runUntil([] { return false; }, 500);
        FAIL() << "no error raised";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.code(), ECONNREFUSED);
    }
}

TEST(ClientSocket, OpeningWithoutAUsableAddressFailsAtOnce) {
    TClientSocket socket;
    socket.setPort(4000);
    EXPECT_THROW(socket.open(), ESocketError);  // no host
    socket.setHost("127.0.0.1");
    socket.setPort(0);
    EXPECT_THROW(socket.open(), ESocketError);
    socket.setPort(70000);
    EXPECT_THROW(socket.open(), ESocketError);
    EXPECT_FALSE(socket.getActive());
}

// A name whose first address drops the request silently (a listener with a full backlog, here)
// used the whole limit on it and never tried the next one.
TEST(ClientSocket, EachAddressGetsItsShareOfTheConnectLimit) {
    TLoopbackServer silent("127.0.0.1", 0);
    std::vector<std::unique_ptr<TClientSocket>> fillers;
    for (int i = 0; i < 2; ++i) {
        fillers.push_back(std::make_unique<TClientSocket>());
        fillers.back()->setHost("127.0.0.1");
        fillers.back()->setPort(silent.port);
        fillers.back()->open();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TLoopbackServer server;
    TRecordingClient c("ecu.example", server.port);
    c.socket.resolver = [&](const std::string&, int, std::vector<TSocketAddress>& found) {
        for (const int port : {silent.port, server.port}) {
            TSocketAddress a;
            auto& in = reinterpret_cast<sockaddr_in&>(a.addr);
            in.sin_family = AF_INET;
            in.sin_port = htons(static_cast<uint16_t>(port));
            in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.len = sizeof in;
            a.family = AF_INET;
            found.push_back(a);
        }
        return 0;
    };
    c.socket.setConnectLimit(600);
    const long long t0 = steadyMs();
    ASSERT_TRUE(c.connect());
    EXPECT_TRUE(c.socket.getActive());
    const long long took = steadyMs() - t0;
    EXPECT_GE(took, 290);  // the first address had half the limit, not all of it
    EXPECT_LT(took, 550);
    const int peer = server.accept();
    EXPECT_GE(peer, 0);
    if (peer >= 0) ::close(peer);
}

// The look-up runs beside the caller, which is served meanwhile, and within the limit.
TEST(ClientSocket, ALookUpThatTakesLongNeitherFreezesNorHoldsTheCallerPastTheLimit) {
    for (const int lookUpMs : {200, 5000}) {
        TClientSocket socket;
        socket.setHost("slow.example");
        socket.setPort(4000);
        socket.setConnectLimit(1000);
        socket.resolver = [lookUpMs](const std::string&, int, std::vector<TSocketAddress>&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(lookUpMs));
            return EAI_NONAME;
        };
        int waits = 0;
        socket.OnWait = [&] { ++waits; };
        const long long t0 = steadyMs();
        try {
            socket.open();
            ADD_FAILURE() << "opened";
        } catch (const ESocketError& e) {
            EXPECT_EQ(std::string(e.what()).find("Cannot find the host slow.example: "), 0u) << e.what();
            EXPECT_EQ(e.code(), lookUpMs > 1000 ? ETIMEDOUT : EAI_NONAME);
        }
        EXPECT_LT(steadyMs() - t0, 1500);
        EXPECT_GE(waits, 5) << lookUpMs;
    }
}

TEST(ClientSocket, HostAndPortAreFixedWhileConnected) {
    TLoopbackServer server;
    TRecordingClient client("127.0.0.1", server.port);
    ASSERT_TRUE(client.connect());
    EXPECT_THROW(client.socket.setHost("::1"), ESocketError);
    EXPECT_THROW(client.socket.setPort(server.port + 1), ESocketError);
    EXPECT_NO_THROW(client.socket.setHost("127.0.0.1"));  // the same values are fine
    EXPECT_NO_THROW(client.socket.setPort(server.port));
    client.socket.close();
    EXPECT_NO_THROW(client.socket.setHost("::1"));
    EXPECT_EQ(client.socket.getHost(), "::1");
}

TEST(ClientSocket, DataBeforeThePeersCloseIsReadThenTheEndIsReported) {
    TLoopbackServer server;
    TRecordingClient client("127.0.0.1", server.port);
    ASSERT_TRUE(client.connect());
    const int peer = server.accept();
    writeAll(peer, "Hello>\r");
    ::close(peer);
    ASSERT_TRUE(client.runUntil([&] { return !client.socket.getActive(); }));
    EXPECT_EQ(client.received, "Hello>\r");
    EXPECT_EQ(client.events.back(), "disconnect");
    EXPECT_EQ(client.events[1], "read");
}

TEST(ClientSocket, AResetConnectionIsAnErrorAndThenADisconnect) {
    TLoopbackServer server;
    TRecordingClient client("127.0.0.1", server.port);
    ASSERT_TRUE(client.connect());
    const int peer = server.accept();
    linger hard{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(peer);  // sends a reset
    ASSERT_TRUE(client.runUntil([&] { return !client.socket.getActive(); }));
    EXPECT_EQ(client.events, (std::vector<std::string>{
                                 "connect", "error:" + std::to_string(ECONNRESET), "disconnect"}));
    client.socket.sendText("lost");  // not connected: nothing sent, nothing raised
    EXPECT_EQ(client.events.size(), 3u);
}

TEST(ClientSocket, ALargeSendIsDeliveredWholeAndInOrder) {
    TLoopbackServer server;
    TRecordingClient client("127.0.0.1", server.port);
    ASSERT_TRUE(client.connect());
    const int peer = server.accept();
    std::string big(4 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);

    // The send returns at once even though the network cannot take it all yet.
    const long long t0 = steadyMs();
    EXPECT_EQ(client.socket.sendText(big), big.size());
    EXPECT_LT(steadyMs() - t0, 1000);

    std::string got;
    std::atomic<bool> finished{false};
    std::thread reader([&] {
        got = readFor(peer, big.size(), 10000);
        finished = true;
    });
    // The rest goes out as the socket becomes writable while events are processed.
    const long long deadline = steadyMs() + 10000;
    while (!finished && steadyMs() < deadline) {
        client.socket.waitForEvent(20);
        client.socket.processPendingEvents();
    }
    reader.join();
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
    ::close(peer);
}

TEST(ClientSocket, WaitingSleepsInPollUntilSomethingHappens) {
    TLoopbackServer server;
    TRecordingClient client("127.0.0.1", server.port);
    ASSERT_TRUE(client.connect());
    const int peer = server.accept();

    long long t0 = steadyMs();
    EXPECT_FALSE(client.socket.waitForEvent(80));
    EXPECT_GE(steadyMs() - t0, 80);

    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        writeAll(peer, "x");
    });
    t0 = steadyMs();
    EXPECT_TRUE(client.socket.waitForEvent(5000));
    EXPECT_LT(steadyMs() - t0, 1000);
    sender.join();
    ::close(peer);
}
