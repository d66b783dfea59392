#pragma once
// The serial layer's open ports by number, and why the last open of a port failed: one table
// per program, shared by the functions of the layer and safe across threads. Each system's
// layer fills it with its own kind of port.

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

template <class Port>
struct TPortTable {
    std::mutex mutex;
    std::map<int, std::shared_ptr<Port>> ports;
    std::map<int, std::string> openErrors;

    static TPortTable& instance() {
        static TPortTable t;
        return t;
    }
    std::shared_ptr<Port> find(int port) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = ports.find(port);
        return it == ports.end() ? nullptr : it->second;
    }
    // An empty text forgets the port's last failure.
    void setOpenError(int port, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (text.empty()) openErrors.erase(port);
        else openErrors[port] = text;
    }
};

// Milliseconds until the deadline, rounded up, so that a wait never ends before it.
inline int msLeft(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}
