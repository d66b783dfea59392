#include "platform/winsystem.h"

#include <winsock2.h>
#include <windows.h>

#include <mutex>

void startWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

std::string systemText(unsigned long code) {
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                             sizeof buffer, nullptr);
    while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r' || buffer[n - 1] == '.' || buffer[n - 1] == ' '))
        --n;
    return n > 0 ? std::string(buffer, n) : "error " + std::to_string(code);
}
