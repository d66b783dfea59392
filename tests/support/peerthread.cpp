#include "support/peerthread.h"

#include "support/realpeers.h"

TPeerThread::TPeerThread(TBootPeer& peer, std::function<int()> attach) : peer(peer) {
    worker = std::thread([this, attach] {
        const int fd = attach();
        if (fd < 0) return;
        run(fd);
        closeDescriptor(fd);
    });
}

void TPeerThread::stop() {
    quit = true;
    if (worker.joinable()) worker.join();
}

void TPeerThread::run(int fd) {
    bool quiet = true;
    while (!quit) {
        const int ready = waitReadable(fd, 2);
        std::string answer;
        if (ready > 0) {
            char buffer[4096];
            const long long n = readSome(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(mutex);
            answer = peer.onBytes(std::string(buffer, static_cast<size_t>(n)));
            quiet = false;
        } else if (ready < 0) {
            break;  // hung up
        } else if (!quiet) {
            std::lock_guard<std::mutex> lock(mutex);
            answer = peer.idle();
            quiet = true;
        }
        if (!answer.empty()) writeAll(fd, answer);
    }
}
