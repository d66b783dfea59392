#include "platform/serialports.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/serialdevice_posix.h"
#include "platform/serialsystem.h"
#include "platform/sio.h"

namespace {

// The name of the group that owns `device`, its number when it has no name, empty when the
// device cannot be looked at.
std::string deviceGroup(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return {};
    if (const struct group* g = ::getgrgid(st.st_gid)) return g->gr_name;
    return std::to_string(st.st_gid);
}

std::string busyProblem(const std::string& device, const std::vector<TSerialHolder>& holders, const std::string& note) {
    std::string text = device + " is in use by another program";
    if (!holders.empty()) text += ": " + serialHoldersText(holders);
    if (!note.empty()) text += ". " + note;
    return text;
}

}  // namespace

std::string serialOpenProblem(const std::string& device, int err) {
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:  // a ttyS node without a UART behind it
        return device + " does not exist (" + std::strerror(err) + ")";
    case EACCES:
    case EPERM: {
        // The usual remedy, the dialout group, helps only where the device belongs to it.
        const std::string group = deviceGroup(device);
        const std::string g = serialDeviceGroup;
        if (group == g)
            return "Permission denied on " + device + ": add your user to the " + g + " group (sudo usermod -aG " +
                   g + " $USER), then log out and back in";
        return "Permission denied on " + device + (group.empty() ? std::string() : " (group " + group + ")") +
               ": your user may not read and write it";
    }
    case EBUSY:
    case EWOULDBLOCK: {
        const TSerialIdentity id = serialIdentity(device);
        return busyProblem(device, serialDeviceHolders(device), modemManagerNote(id));
    }
    case ENOTTY:
        return device + " is not a serial port";
    default:
        return device + ": " + std::strerror(err);
    }
}

int openSerialDevice(const std::string& device, termios& found, int& err) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    // The lock keeps a second user (in this program, or in another one that locks too) out.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return -1;
    }
    if (::tcgetattr(fd, &found) != 0) {
        err = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace {

// Looks at the device without opening it.
std::string lookProblem(const TSerialPortStatus& s) {
    struct stat st {};
    if (::stat(s.device.c_str(), &st) != 0) return serialOpenProblem(s.device, errno);
    if (!S_ISCHR(st.st_mode)) return serialOpenProblem(s.device, ENOTTY);
    if (s.identity.noUart) return s.device + " does not exist (no UART behind it)";
    if (::access(s.device.c_str(), R_OK | W_OK) != 0) return serialOpenProblem(s.device, errno);
    if (!s.holders.empty()) return busyProblem(s.device, s.holders, s.note);
    return {};
}

}  // namespace

TSerialPortStatus checkListedPort(int number, const std::vector<std::string>& list, TPortCheck how,
                            const TSerialRoots& roots) {
    TSerialPortStatus s;
    s.number = number;
    s.reason = serialPortListProblem(number, list);
    if (!s.reason.empty()) return s;
    s.device = list[number - 1];
    s.identity = serialIdentity(s.device, roots);
    s.holders = serialDeviceHolders(s.device, roots);
    s.note = modemManagerNote(s.identity, roots);
    if (SioIsOpen(number - 1)) {
        s.openHere = true;
        return s;
    }
    if (how == TPortCheck::Look) {
        s.reason = lookProblem(s);
        return s;
    }
    termios found{};
    int err = 0;
    const int fd = openSerialDevice(s.device, found, err);
    if (fd < 0) {
        s.reason = serialOpenProblem(s.device, err);
        return s;
    }
    ::close(fd);
    s.openable = true;
    return s;
}
