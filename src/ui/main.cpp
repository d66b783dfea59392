// veltrace: the desktop application. --help and --version answer before any window or display
// is touched.

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/mainapp.h"
#include "ui/pictures.h"
#include "ui/signalclose.h"
#include "ui/startcheck.h"
#include "platform/versionreader.h"

namespace {

constexpr const char* helpText =
    R"(Usage: veltrace [--help] [--version] [Qt options]

Veltrace tunes an engine control unit (ECU) running the VIVU v3 firmware, over a
serial port or a TCP connection. It opens its main window, from which the operator:
  chooses the link             File > Software Settings
  goes online and offline      ECU > Online
  updates the firmware         ECU > Firmware Update (an Intel HEX file, *.hex)
  edits the hardware setup     ECU > Hardware Configuration (and tests outputs)
  lists and edits settings     ECU > Settings Table (export, restore; open, compare,
                               edit and write settings files, online or offline)
  imports a settings file      File > Import (*.mtt)
  watches the traffic          Tools > Debug Window
  reads the program's version  Help > About

While no link type is stored (the first start), the Settings dialog opens by
itself. For the simulated ECU (veltrace-ecusim) choose Network, host 127.0.0.1 and
port 32000; for an ECU on a serial line choose Serial, the port (Com1 is the first
device of the serial port list) and one of the bit rates 9600, 19200, 38400,
57600 and 115200.

Options:
  --help       print this help and exit
  --version    print the program's version and exit
  Qt's own options are taken as well, for example -platform offscreen or
  -display :1.

Files and environment:
  $XDG_CONFIG_HOME/Harnwick/Veltrace.conf (~/.config/Harnwick/Veltrace.conf)
      the link preferences: com.Type (serial or network), comm.comport,
      comm.baudrate, comm.hostname, comm.portnum. veltrace-cli uses the same file.
  $XDG_DATA_HOME/Harnwick/Veltrace/backups (~/.local/share/Harnwick/Veltrace/backups)
      the settings backup written before every firmware update, and the report
      of the settings carried over to the new firmware.
  VELTRACE_SERIAL_PORTS
      device paths separated by colons, in place of the machine's serial devices
      (/dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*): the first is Com1.

Closing the window while online says goodbye to the ECU first. While a firmware
update runs the window does not close; SIGINT and SIGTERM ask it to close as its
close box does.

Exit status: 0 when the window was closed, 1 when there is no display to show it
on (neither DISPLAY nor WAYLAND_DISPLAY is set), 2 for an argument it does not take.
)";

// While Qt starts: a display that is named but cannot be opened ends the program with a
// message and status 1, not with an abort.
QtMessageHandler qtMessages = nullptr;
void failedDisplay(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        if (qtMessages) qtMessages(type, context, text);
        return;
    }
    std::fprintf(stderr, "veltrace: the display named by DISPLAY or WAYLAND_DISPLAY cannot be opened (%s)\n",
                 text.section(QLatin1Char('.'), 0, 0).toLocal8Bit().constData());
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(helpText, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            const std::string version = getVersionInfo("FileVersion");
            std::printf("veltrace %s\n", version.empty() ? "(version unknown)" : version.c_str());
            return 0;
        }
    }

    // Checked before Qt starts: without a display it would abort.
    if (const std::string bad = unknownArgument(argc, argv); !bad.empty()) {
        std::fprintf(stderr, "veltrace: unexpected argument '%s' (veltrace --help lists what it takes)\n", bad.c_str());
        return 2;
    }
    if (const std::string why = missingDisplay(argc, argv); !why.empty()) {
        std::fprintf(stderr, "veltrace: %s\n", why.c_str());
        return 1;
    }
    qtMessages = qInstallMessageHandler(failedDisplay);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtMessages);
    QApplication::setApplicationName(QStringLiteral("veltrace"));
    QApplication::setApplicationDisplayName(QStringLiteral("Veltrace"));
    QApplication::setDesktopFileName(QStringLiteral("com.harnwick.veltrace"));
    // Every window of the program, the ones inside the main window too, carries its icon.
    QApplication::setWindowIcon(programIcon());
    const QStringList extra = QApplication::arguments().mid(1);
    if (!extra.isEmpty()) {
        std::fprintf(stderr, "veltrace: unexpected argument '%s' (veltrace --help lists what it takes)\n",
                     extra.first().toLocal8Bit().constData());
        return 2;
    }

    TMainWindow window;
    closeOnSignals(window);
    window.show();
    return app.exec();
}

#if defined(__SANITIZE_ADDRESS__)
// In a sanitizer build, the leak check at exit passes over what the system's D-Bus library keeps
// for the life of the process (Qt's platform integration opens it on a real display); our own
// allocations stay checked.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }
#endif
