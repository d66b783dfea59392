#pragma once
// Whole files in and out (files_posix.cpp, files_win32.cpp). Reading takes regular files of a bounded size only, in one pass;
// writing makes new files that are on disk, folder entry included, before it returns.

#include <cstdint>
#include <string>

// The most a file that the tool reads whole may hold: far beyond any firmware, backup or
// settings file, and small enough to hold in memory.
inline constexpr uint64_t maxReadFileBytes = 16u << 20;

// Reads the whole file into `text`, once. Refuses anything but a regular file (a FIFO would
// block, a device such as /dev/zero never ends) and a file of more than `maxBytes`, without
// waiting and without reading it. Returns an empty string, or why the file was not read
// ("No such file or directory", "not a regular file but a FIFO", "larger than 16 MiB").
std::string readWholeFile(const std::string& path, std::string& text, uint64_t maxBytes = maxReadFileBytes);

// Creates `folder` and those above it that are missing, each new one synced into the folder
// that holds it, so that a power loss cannot take it away. Returns 0 or the errno of the
// failure.
int createFolders(const std::string& folder);

// Writes `text` to a file that did not exist before, syncs it to disk and then its folder, so
// that both the bytes and the file's name survive a power loss. Returns 0 or the errno of the
// failure (EEXIST when the file was there already); a file that failed is removed again.
int writeNewFile(const std::string& path, const std::string& text);

// The user's folder for the backups made before every flash (it need not exist yet):
// $XDG_DATA_HOME/Harnwick/Veltrace/backups, else ~/.local/share/Harnwick/Veltrace/backups; on
// Windows %LOCALAPPDATA%\Harnwick\Veltrace\backups.
std::string userBackupFolder();

// What separates a folder from the names in it where the system writes paths itself: a file
// made in the backup folder reads "...\backups\settings-....txt" on Windows, not a mix.
#ifdef _WIN32
inline constexpr char folderSeparator = '\\';
#else
inline constexpr char folderSeparator = '/';
#endif
