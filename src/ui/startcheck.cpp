#include "ui/startcheck.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Qt's own options (QGuiApplication, QApplication and the X11 platform), each with whether it
// takes the next argument as its value. Qt takes them with one dash or two.
struct TQtOption {
    const char* name;
    bool value;
};
constexpr TQtOption qtOptions[] = {
    {"platform", true},    {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"geometry", true},       {"qwindowtitle", true},  {"title", true},
    {"qwindowicon", true}, {"icon", true},               {"display", true},       {"name", true},
    {"visual", true},      {"session", true},            {"style", true},         {"stylesheet", true},
    {"qmljsdebugger", true}, {"reverse", false},         {"widgetcount", false},  {"nograb", false},
    {"dograb", false},     {"sync", false},              {"testability", false},
};

// The option's name without its dashes and without an "=value"; empty for no option.
std::string_view optionName(std::string_view arg) {
    if (arg.size() < 2 || arg[0] != '-') return {};
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    return arg.substr(0, arg.find('='));
}

const TQtOption* qtOption(std::string_view arg) {
    const std::string_view name = optionName(arg);
    for (const TQtOption& option : qtOptions)
        if (name == option.name) return &option;
    return nullptr;
}

// The value of Qt's option `name` on the command line; null when it is not given.
const char* qtValue(int argc, char** argv, std::string_view name) {
    const char* found = nullptr;
    for (int i = 1; i < argc; ++i) {
        const TQtOption* option = qtOption(argv[i]);
        if (!option || !option->value) continue;
        const char* eq = std::strchr(argv[i], '=');
        const char* value = eq ? eq + 1 : i + 1 < argc ? argv[i + 1] : nullptr;
        if (name == option->name) found = value;
        if (!eq) ++i;
    }
    return found;
}

bool isSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

// Whether the platform plugin named (a list separated by ';' is tried in turn, "name:options")
// needs a display: the X11 and the Wayland ones do, offscreen, minimal, vnc, eglfs do not.
bool needsDisplay(std::string_view platforms) {
    if (platforms.empty()) return true;  // the desktop's
    while (!platforms.empty()) {
        const size_t end = platforms.find(';');
        std::string_view entry = platforms.substr(0, end);
        entry = entry.substr(0, entry.find(':'));
        if (!entry.empty() && entry.rfind("xcb", 0) != 0 && entry.rfind("wayland", 0) != 0) return false;
        if (end == std::string_view::npos) break;
        platforms.remove_prefix(end + 1);
    }
    return true;
}

}  // namespace

std::string unknownArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "--version") continue;
        const TQtOption* option = qtOption(arg);
        if (!option) return argv[i];
        if (option->value && arg.find('=') == std::string_view::npos) {
            if (i + 1 >= argc) return argv[i];  // its value is missing
            ++i;
        }
    }
    return {};
}

std::string missingDisplay(int argc, char** argv) {
    const char* platform = qtValue(argc, argv, "platform");
    if (!platform) platform = std::getenv("QT_QPA_PLATFORM");
    if (!needsDisplay(platform ? platform : "")) return {};
    if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || qtValue(argc, argv, "display")) return {};
    return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set. Start veltrace in a desktop session (or over "
           "ssh -X); -platform offscreen runs it without showing anything";
}
