#pragma once
// The serial port layer: the few operations the serial link needs, on POSIX termios
// (sio_posix.cpp) or on a Windows COM port (sio_win32.cpp).
//
// Ports are addressed by a 0-based index into the serial port list (serialPortList): index 0 is
// the first device of that list. An open port runs raw, 8 data bits, no parity, one stop bit,
// no flow control, with non-blocking reads and writes. Each port has a transmit queue of its
// own in front of the driver: bytes the driver cannot take at once wait there and go out
// whenever this layer is next called for the port (or waits on it).
//
// One thread at a time per port; different ports may be used from different threads.

#include <string>
#include <vector>

// Results below zero. Every operation returns one of these on failure.
inline constexpr int SioErrNoSuchPort = -1;  // the index has no device in the serial port list
inline constexpr int SioErrOpenFailed = -2;  // the device exists but could not be opened
inline constexpr int SioErrNotOpen = -3;     // the port is not open
inline constexpr int SioErrBadRate = -4;     // a bit rate termios does not offer
inline constexpr int SioErrBadArgument = -5;
inline constexpr int SioErrIO = -6;          // the device failed or vanished (EIO, ENXIO, ...)
inline constexpr int SioErrPending = -7;     // output still queued: a new rate would garble it

// The environment variable that replaces the machine's own serial devices by a list of paths,
// separated by colons.
inline constexpr const char* serialPortsVariable = "VELTRACE_SERIAL_PORTS";

// The serial port list: the paths of VELTRACE_SERIAL_PORTS when it is set and not empty (an
// empty entry keeps its place and never opens), otherwise the machine's serial devices: on
// Linux /dev/ttyUSB*, then /dev/ttyACM*, then /dev/ttyS*, each in numeric order; on Windows
// COM1..COM8 (a COM port above COM8 is named in VELTRACE_SERIAL_PORTS).
std::vector<std::string> serialPortList();
// The machine's serial devices as found in `dir`, in the order described above (POSIX only).
std::vector<std::string> serialDevicesIn(const std::string& dir);

// Opens (or re-opens) the port at 9600 bit/s, asking the driver for low latency (SioLowLatency).
// The queue sizes bound the layer's own receive read size and transmit queue. 0 when open,
// negative when not; SioOpenError tells why.
int SioReset(int port, int rxQueueSize, int txQueueSize);
// Flow control: 'N' none, 'H' hardware (RTS/CTS), 'S' software (XON/XOFF).
int SioFlow(int port, char flow);
// Sets the bit rate; any standard rate termios offers. What was handed to the driver goes out
// at the old rate first: the change waits until the transmitter is empty (the UART's FIFO, a
// USB adapter's own buffer). Call it once SioTxQue reads 0; output still queued in the layer or
// the driver is refused with SioErrPending, as it would either be garbled or hold the change
// for as long as the line stalls.
int SioBaud(int port, int baudRate);
// Closes the port. Bytes still queued are given one last chance to go out, and the terminal
// settings the port had when it was opened are put back.
int SioDone(int port);
// Bytes not yet sent: the layer's queue plus the driver's output queue.
int SioTxQue(int port);
// Takes up to `count` bytes (at most 65,535) for sending; the number taken, 0 when the queue is
// full, negative on an error (SioErrNotOpen, SioErrIO, ...).
int SioPuts(int port, const char* bytes, unsigned count);
// Takes one byte: 1, 0 when the queue is full, negative on an error.
int SioPutc(int port, char byte);
// Copies up to `max` received bytes into `buffer` and returns at once: the number copied, 0 when
// nothing is there, negative on an error (a port that is not open, a device that vanished).
int SioGets(int port, char* buffer, unsigned max);

// Blocks up to `ms` milliseconds until input is waiting: 1 input (or its end) is there, 0 the
// time passed, negative when the port is not open or has hung up with nothing left to read.
// Queued output keeps going out meanwhile.
int SioWaitInput(int port, int ms);
// Blocks up to `ms` milliseconds until the port can take more bytes: 1 it can, 0 the time
// passed, negative on an error.
int SioWaitOutput(int port, int ms);

// True while the port is open (between a successful SioReset and SioDone).
bool SioIsOpen(int port);
// True when the open port's driver hands received bytes on at once (ASYNC_LOW_LATENCY, asked for
// on open and cleared again on close where this layer set it); false for a device without the
// setting, such as a pseudo-terminal, which runs as before.
bool SioLowLatency(int port);

// Why the last SioReset of this index failed, in words for the operator (serialOpenProblem and
// serialPortListProblem in platform/serialports.h); empty after a successful open.
std::string SioOpenError(int port);
