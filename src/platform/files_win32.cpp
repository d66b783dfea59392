#include "platform/files.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The errno value of a Windows error code, for the callers' messages (strerror).
int toErrno(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    default:
        return EIO;
    }
}

std::string sizeText(uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

std::string tooLarge(uint64_t maxBytes) { return "larger than " + sizeText(maxBytes) + ", the most this tool reads"; }

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// The folder that holds `path`; empty for a bare name or a drive's root.
std::string folderOf(const std::string& path) {
    size_t end = path.size();
    while (end > 0 && isSeparator(path[end - 1])) --end;
    while (end > 0 && !isSeparator(path[end - 1])) --end;
    while (end > 0 && isSeparator(path[end - 1])) --end;
    return path.substr(0, end);
}

}  // namespace

std::string readWholeFile(const std::string& path, std::string& text, uint64_t maxBytes) {
    text.clear();
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::strerror(EISDIR);
    // A device or a pipe opens without waiting and is refused before a byte is read.
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::strerror(toErrno(GetLastError()));
    std::string why;
    LARGE_INTEGER size{};
    const DWORD type = GetFileType(h);
    if (type == FILE_TYPE_PIPE) why = "not a regular file but a FIFO";
    else if (type == FILE_TYPE_CHAR) why = "not a regular file but a character device";
    else if (type != FILE_TYPE_DISK) why = "not a regular file";
    else if (!GetFileSizeEx(h, &size)) why = std::strerror(toErrno(GetLastError()));
    else if (static_cast<uint64_t>(size.QuadPart) > maxBytes) why = tooLarge(maxBytes);
    if (why.empty()) {
        text.reserve(static_cast<size_t>(size.QuadPart));
        char buffer[65536];
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
                why = std::strerror(toErrno(GetLastError()));
                break;
            }
            if (got == 0) break;
            if (text.size() + got > maxBytes) {
                why = tooLarge(maxBytes);
                break;
            }
            text.append(buffer, got);
        }
    }
    CloseHandle(h);
    if (!why.empty()) text.clear();
    return why;
}

int createFolders(const std::string& folder) {
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ENOTDIR;
    const std::string parent = folderOf(folder);
    // "C:" and "" need no making.
    if (!parent.empty() && parent != folder && !(parent.size() == 2 && parent[1] == ':'))
        if (const int err = createFolders(parent)) return err;
    if (!CreateDirectoryA(folder.c_str(), nullptr)) {
        const DWORD code = GetLastError();
        return code == ERROR_ALREADY_EXISTS ? 0 : toErrno(code);
    }
    return 0;
}

int writeNewFile(const std::string& path, const std::string& text) {
    // Write-through: the bytes are on the disk when WriteFile returns; FlushFileBuffers below
    // makes sure of the file's metadata too.
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (h == INVALID_HANDLE_VALUE) return toErrno(GetLastError());
    int err = 0;
    size_t done = 0;
    while (done < text.size() && err == 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(h, text.data() + done, chunk, &written, nullptr)) err = toErrno(GetLastError());
        else if (written == 0) err = EIO;
        done += written;
    }
    if (err == 0 && !FlushFileBuffers(h)) err = toErrno(GetLastError());
    if (!CloseHandle(h) && err == 0) err = toErrno(GetLastError());
    if (err != 0) DeleteFileA(path.c_str());
    return err;
}

std::string userBackupFolder() {
    const char* local = std::getenv("LOCALAPPDATA");
    std::string base;
    if (local && *local) {
        base = local;
    } else {
        const char* profile = std::getenv("USERPROFILE");
        base = std::string(profile && *profile ? profile : ".") + "\\AppData\\Local";
    }
    return base + "\\Harnwick\\Veltrace\\backups";
}
