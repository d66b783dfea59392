#include "support/peerthread.h"

#include <poll.h>
#include <unistd.h>

#include "support/realpeers.h"

TPeerThread::TPeerThread(TBootPeer& peer, std::function<int()> attach) : peer(peer) {
    worker = std::thread([this, attach] {
        const int fd = attach();
        if (fd < 0) return;
        run(fd);
        ::close(fd);
    });
}

void TPeerThread::stop() {
    quit = true;
    if (worker.joinable()) worker.join();
}

void TPeerThread::run(int fd) {
    bool quiet = true;
    while (!quit) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 2);
        std::string answer;
        if (ready > 0 && (p.revents & POLLIN)) {
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(mutex);
            answer = peer.onBytes(std::string(buffer, static_cast<size_t>(n)));
            quiet = false;
        } else if (ready > 0) {
            break;  // hung up
        } else if (!quiet) {
            std::lock_guard<std::mutex> lock(mutex);
            answer = peer.idle();
            quiet = true;
        }
        if (!answer.empty()) writeAll(fd, answer);
    }
}
