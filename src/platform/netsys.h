#pragma once
// Inside the platform layer: the few socket calls the TCP client makes, on POSIX sockets
// (netsys_posix.cpp) or Winsock (netsys_win32.cpp). Error codes are errno values on both:
// Winsock's own codes are turned into the errno value of the same meaning (WSAECONNREFUSED
// into ECONNREFUSED, ...), and only a code without one stays a Winsock code.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/clientsocket.h"

namespace netsys {

using TSock = long long;  // a descriptor or a SOCKET; -1 for none
inline constexpr TSock noSocket = -1;

// What a wait looks for and what it found.
inline constexpr int waitIn = 1;
inline constexpr int waitOut = 2;
inline constexpr int foundErr = 4;
inline constexpr int foundHup = 8;

// A getaddrinfo code that stands for "the look-up failed" (a resolver that is missing).
int resolveFailCode();
// The words of a getaddrinfo code.
std::string resolveErrorText(int code);

// A non-blocking, not inherited TCP socket without Nagle's delay; noSocket with `err` set.
TSock openStream(int family, int& err);
// Starts the connect: 0 connected already, EINPROGRESS under way, or the error.
int startConnect(TSock s, const TSocketAddress& address);
void closeSocket(TSock s);
// Sends without blocking and without a signal: the bytes taken, or -1 with `err` set (EAGAIN when
// nothing could be taken now).
long long sendSome(TSock s, const char* bytes, size_t count, int& err);
// Receives what is there without blocking: the bytes, 0 at the end, -1 with `err` set.
long long receiveSome(TSock s, char* buffer, size_t size, int& err);
// Bytes received and waiting; 0 on an error.
int bytesWaiting(TSock s);
// The socket's pending error (SO_ERROR), 0 for none.
int pendingError(TSock s);
// Waits up to `ms` (-1: no limit) for what `events` asks: above 0 with `found` set, 0 the time
// passed, below 0 an error. With s == noSocket it only sleeps.
int waitFor(TSock s, int events, int ms, int& found);
// The last error of a socket call, as an errno value.
int lastError();

}  // namespace netsys
