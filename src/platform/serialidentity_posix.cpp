#include "platform/serialidentity.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace {

constexpr const char* modemManagerProgram = "ModemManager";

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string linkTarget(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// The first line of a small file, without the line break; empty when it cannot be read.
std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The names in a folder, without "." and "..", sorted; none when it cannot be read.
std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The process ids under /proc.
std::vector<int> processIds(const TSerialRoots& roots) {
    std::vector<int> pids;
    for (const std::string& name : entriesOf(roots.proc)) {
        if (name.empty() || name.size() > 9 || name.find_first_not_of("0123456789") != std::string::npos) continue;
        pids.push_back(std::stoi(name));
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::string programOf(int pid, const TSerialRoots& roots) {
    return firstLine(roots.proc + "/" + std::to_string(pid) + "/comm");
}

}  // namespace

TSerialIdentity serialIdentity(const std::string& device, const TSerialRoots& roots) {
    TSerialIdentity id;
    const std::string real = realPath(device);
    if (real.empty()) return id;
    id.node = real;
    for (const std::string& name : entriesOf(roots.byId)) {
        const std::string link = roots.byId + "/" + name;
        if (realPath(link) == real) {
            id.byId = link;
            break;
        }
    }
    const std::string name = baseName(real);
    id.acm = name.rfind("ttyACM", 0) == 0;
    const std::string classDir = roots.sysfs + "/class/tty/" + name;
    // An 8250 port without a UART behind it reads as type 0 (unknown).
    if (name.rfind("ttyS", 0) == 0 && firstLine(classDir + "/type") == "0") id.noUart = true;
    const std::string deviceDir = realPath(classDir + "/device");
    if (deviceDir.empty()) return id;
    // The serial core's own port and controller devices (bus serial-base) sit between a
    // built-in port and the driver that found its UART.
    for (std::string dir = deviceDir; !dir.empty(); dir = parentOf(dir)) {
        const std::string driver = linkTarget(dir + "/driver");
        if (driver.find("/serial-base/") != std::string::npos) continue;
        id.driver = baseName(driver);
        break;
    }
    // The USB device is the nearest folder above the tty's that has vendor and product ids.
    const std::string top = realPath(roots.sysfs);
    for (std::string dir = deviceDir; dir.size() > top.size() && dir.compare(0, top.size(), top) == 0;
         dir = parentOf(dir)) {
        if (!exists(dir + "/idVendor")) continue;
        id.vendorId = firstLine(dir + "/idVendor");
        id.productId = firstLine(dir + "/idProduct");
        id.maker = firstLine(dir + "/manufacturer");
        id.product = firstLine(dir + "/product");
        id.serial = firstLine(dir + "/serial");
        break;
    }
    return id;
}

std::vector<TSerialHolder> serialDeviceHolders(const std::string& device, const TSerialRoots& roots) {
    std::vector<TSerialHolder> holders;
    const std::string real = realPath(device);
    if (real.empty()) return holders;
    const int self = static_cast<int>(::getpid());
    for (const int pid : processIds(roots)) {
        if (pid == self) continue;
        const std::string fdDir = roots.proc + "/" + std::to_string(pid) + "/fd";
        for (const std::string& fd : entriesOf(fdDir)) {  // another user's: unreadable, none
            if (linkTarget(fdDir + "/" + fd) != real) continue;
            holders.push_back({pid, programOf(pid, roots)});
            break;
        }
    }
    return holders;
}

bool modemManagerRunning(const TSerialRoots& roots) {
    for (const int pid : processIds(roots))
        if (programOf(pid, roots) == modemManagerProgram) return true;
    return false;
}

std::string modemManagerNote(const TSerialIdentity& id, const TSerialRoots& roots) {
    if (!id.acm || !modemManagerRunning(roots)) return {};
    return std::string(modemManagerProgram) +
           " is running: it probes ttyACM devices with AT commands, which the ECU takes for garbage, and "
           "holds the port meanwhile. This udev rule (a file in /etc/udev/rules.d/, then plug the device "
           "in again) makes it leave this device alone: " +
           modemManagerIgnoreRule(id);
}
