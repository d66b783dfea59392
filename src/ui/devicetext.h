#pragma once
// How the window shows bytes that came from the ECU: setting names, the firmware version, the
// replies in the debug log, and the core's messages that quote them. The ECU sends bytes, not a
// text encoding; each byte is shown as the one character of that code (Latin-1), which never
// fails and is the same in the settings list, the status bar, the debug log and a message box.
// Text the operator typed or chose in a Qt control (a host name, a file's name) is a QString
// already and does not pass through here.

#include <QString>

#include <string_view>

QString deviceText(std::string_view bytes);

// A message of the core or the window: it may quote the ECU's bytes and name the operator's
// files, whose paths are UTF-8. A message that is valid UTF-8 is read as such (a path with "ü"
// stays "ü"); one that is not holds bytes of the ECU and is shown as deviceText shows them.
QString messageText(std::string_view text);
