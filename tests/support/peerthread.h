#pragma once
// Carries a TBootPeer over a real descriptor (a pty master or a connected socket) in a thread of
// its own: bytes that arrive go to the peer, its answers go back, and a short quiet spell counts
// as the line falling idle.

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "support/bootpeer.h"

class TPeerThread {
public:
    // `attach` yields the descriptor (it may wait for a connection); it is closed at the end.
    TPeerThread(TBootPeer& peer, std::function<int()> attach);
    ~TPeerThread() { stop(); }
    TPeerThread(const TPeerThread&) = delete;
    TPeerThread& operator=(const TPeerThread&) = delete;

    void stop();
    // Runs `f` on the peer while the thread keeps its hands off it.
    template <class F>
    auto with(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        return f(peer);
    }

private:
    void run(int fd);
    TBootPeer& peer;
    std::mutex mutex;
    std::atomic<bool> quit{false};
    std::thread worker;
};
