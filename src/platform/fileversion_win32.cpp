#include "platform/fileversion.h"

#include <windows.h>

#include <vector>

std::string programFileVersion() {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return {};
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return {};
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(path, 0, size, block.data())) return {};
    char* value = nullptr;
    UINT valueLength = 0;
    if (!VerQueryValueA(block.data(), "\\StringFileInfo\\100904e4\\FileVersion", reinterpret_cast<void**>(&value),
                        &valueLength) ||
        !value || valueLength == 0)
        return {};
    std::string text(value, valueLength);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}
