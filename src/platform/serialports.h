#pragma once
// The serial port list as the operator sees it: each port's number, its device, whether it can be
// opened now and, when not, why. These are the words of every serial open failure: the link's
// message, the settings dialog's tool tips and `veltrace-cli ports` all read them from here.

#include <string>
#include <vector>

#include "platform/serialidentity.h"

// The group that owns serial devices on most Linux systems (named in permission hints there).
inline constexpr const char* serialDeviceGroup = "dialout";

struct TSerialPortStatus {
    int number = 0;           // from 1, in the order of the serial port list
    std::string device;       // empty for an empty entry of the list or a number past its end
    bool openable = false;    // it opened (and was closed again at once)
    bool openHere = false;    // this program has it open already
    std::string reason;       // why it cannot be opened, a sentence naming the port; empty otherwise
    TSerialIdentity identity;            // by-id name, adapter, driver
    std::vector<TSerialHolder> holders;  // other programs that have it open
    std::string note;                    // ModemManager's doings, where they apply
};

// How a port is checked. Looking opens nothing: it finds a missing device, one that is not a
// terminal, a permission problem and another program holding it from the file system and
// /proc. Opening is surer but not harmless: opening a serial device raises DTR and RTS and
// closing it drops them again (HUPCL), which resets some adapters and ECUs.
enum class TPortCheck { Look, Open };

// Why port `number` (from 1) cannot be used before anything is opened: an empty entry of `list`,
// or a number past its end. Empty when the entry names a device.
std::string serialPortListProblem(int number, const std::vector<std::string>& list);

// Why `device` did not open, from the system's error code of the failed open (errno on POSIX,
// GetLastError on Windows): no such device, in use by another
// program (naming it where /proc shows it, with ModemManager's remedy), permission denied (with the dialout remedy where the device belongs to that group,
// otherwise naming its group), not a serial port, or the system's own words.
std::string serialOpenProblem(const std::string& device, int err);

// Checks port `number` of the serial port list. TPortCheck::Open opens it as the serial link
// would (without changing its terminal settings) and closes it again. A port this program holds
// open is not touched.
TSerialPortStatus checkSerialPort(int number, TPortCheck how = TPortCheck::Look, const TSerialRoots& roots = {});

// checkSerialPort for every entry of the serial port list, in order.
std::vector<TSerialPortStatus> checkSerialPorts(TPortCheck how = TPortCheck::Look, const TSerialRoots& roots = {});

// The port's state in a few words: "can be opened", "open in this program", "looks usable (not
// opened)", or the reason.
std::string serialPortStateText(const TSerialPortStatus& status);
