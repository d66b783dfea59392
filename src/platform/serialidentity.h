#pragma once
// Who a serial device is and who else uses it, as the system shows it in plain files and links:
// the /dev/serial/by-id name udev gives it, the USB adapter's maker, product and serial number
// from sysfs, the programs that have it open (/proc), and whether ModemManager is about. Nothing
// here opens the device: looking must not raise DTR and RTS, which resets some adapters and ECUs.

#include <string>
#include <vector>

// Where the system's own view is read. Tests point these into a temporary folder.
struct TSerialRoots {
    std::string sysfs = "/sys";
    std::string byId = "/dev/serial/by-id";
    std::string proc = "/proc";
};

struct TSerialIdentity {
    std::string node;       // the device node the path leads to (/dev/ttyUSB0 for a by-id link)
    std::string byId;       // the by-id path that leads to the device; empty when there is none
    std::string driver;     // the kernel driver: ftdi_sio, cp210x, ch341, cdc_acm, serial8250 ...
    std::string vendorId;   // the USB vendor and product ids, four hex digits; empty off USB
    std::string productId;
    std::string maker;      // the adapter's own strings; empty when it has none
    std::string product;
    std::string serial;
    bool noUart = false;    // a built-in port (ttyS) without a UART behind it
    bool acm = false;       // a USB CDC-ACM device (ttyACM), what ModemManager probes
};

// The identity of `device` (a /dev path, a by-id link, any link to a tty); what cannot be read
// stays empty.
TSerialIdentity serialIdentity(const std::string& device, const TSerialRoots& roots = {});

// The identity in one line: "FTDI FT232R USB UART, serial A50285BI, USB 0403:6001, driver
// ftdi_sio"; empty when nothing is known.
std::string serialIdentityText(const TSerialIdentity& identity);

struct TSerialHolder {
    int pid = 0;
    std::string program;
};

// The other processes that have `device` open, as far as /proc lets us see them (another user's
// processes only to root); this process is left out.
std::vector<TSerialHolder> serialDeviceHolders(const std::string& device, const TSerialRoots& roots = {});

// "minicom (PID 4242), ModemManager (PID 612)".
std::string serialHoldersText(const std::vector<TSerialHolder>& holders);

// True while a process named ModemManager runs.
bool modemManagerRunning(const TSerialRoots& roots = {});

// The udev rule that makes ModemManager leave the device with these USB ids alone.
std::string modemManagerIgnoreRule(const TSerialIdentity& identity);

// For a ttyACM device while ModemManager runs: what ModemManager does to it and the rule that
// stops it; empty otherwise.
std::string modemManagerNote(const TSerialIdentity& identity, const TSerialRoots& roots = {});

// What is known of a device beyond its path, one item each, where known: the node a link leads
// to ("device /dev/ttyUSB0"), its by-id name ("by-id /dev/serial/by-id/..."), the identity text,
// and `note`.
std::vector<std::string> serialDeviceDetails(const std::string& device, const TSerialIdentity& identity,
                                             const std::string& note);

// What the port chooser shows for a device: the device, then its details, one per line.
std::string serialDeviceDescription(const std::string& device, const TSerialRoots& roots = {});
