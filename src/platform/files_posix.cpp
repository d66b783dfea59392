#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// "16 MiB" for whole MiB, the bytes otherwise.
std::string sizeText(uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return std::strerror(EISDIR);
    if (S_ISFIFO(mode)) return "not a regular file but a FIFO";
    if (S_ISCHR(mode)) return "not a regular file but a character device";
    if (S_ISBLK(mode)) return "not a regular file but a block device";
    if (S_ISSOCK(mode)) return "not a regular file but a socket";
    return "not a regular file";
}

std::string tooLarge(uint64_t maxBytes) { return "larger than " + sizeText(maxBytes) + ", the most this tool reads"; }

// fsync of the folder `path`. A file system that cannot sync a folder (EINVAL) keeps its entries
// by its own rules; any other failure is one.
int syncFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = ::fsync(fd) != 0 ? errno : 0;
    if (err == EINVAL) err = 0;
    ::close(fd);
    return err;
}

std::string folderOf(const std::string& path) {
    const size_t end = path.find_last_not_of('/');
    const size_t slash = end == std::string::npos ? end : path.rfind('/', end);
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::string readWholeFile(const std::string& path, std::string& text, uint64_t maxBytes) {
    text.clear();
    // Without O_NONBLOCK, opening a FIFO waits for a writer, perhaps for ever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    struct stat st {};
    std::string why;
    if (::fstat(fd, &st) != 0) why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) why = kindOf(st.st_mode);
    else if (static_cast<uint64_t>(st.st_size) > maxBytes) why = tooLarge(maxBytes);
    if (!why.empty()) {
        ::close(fd);
        return why;
    }
    text.reserve(static_cast<size_t>(st.st_size));
    // The file may grow while it is read: the bound holds all the same.
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            why = std::strerror(errno);
            break;
        }
        if (got == 0) break;
        if (text.size() + static_cast<uint64_t>(got) > maxBytes) {
            why = tooLarge(maxBytes);
            break;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    if (!why.empty()) text.clear();
    return why;
}

int createFolders(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT) return errno;
    const std::string parent = folderOf(folder);
    if (parent != folder)
        if (const int err = createFolders(parent)) return err;
    if (::mkdir(folder.c_str(), 0755) != 0) return errno == EEXIST ? 0 : errno;
    return syncFolder(parent);
}

int writeNewFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(path.c_str());
            return err;
        }
        done += static_cast<size_t>(n);
    }
    int err = ::fsync(fd) != 0 ? errno : 0;
    if (::close(fd) != 0 && err == 0) err = errno;
    // The file's name is an entry of its folder, written to disk only when the folder is.
    if (err == 0) err = syncFolder(folderOf(path));
    if (err != 0) ::unlink(path.c_str());
    return err;
}

std::string userBackupFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (data && *data) {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : ".") + "/.local/share";
    }
    return base + "/Harnwick/Veltrace/backups";
}
