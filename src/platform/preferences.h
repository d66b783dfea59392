#pragma once
// The per-user preference store on Linux: the INI file that the Qt front's settings object
// (organisation "Harnwick", application "Veltrace") reads and writes, so that the command-line
// front and the app share one store. Top-level keys live in the [General] section as plain
// string values; other sections and keys in the file are kept untouched.

#include <functional>
#include <string>
#include <vector>

#include "platform/services.h"

namespace ini_format {
// The text a key takes in the file: letters, digits, '_', '-' and '.' stay, '/' becomes '\',
// anything else %HH.
std::string escapeKey(const std::string& key);
std::string unescapeKey(const std::string& text);
// The text a string value takes in the file: control bytes, '"' and '\' escaped, quoted when it
// holds ';', ',' or '=' or starts or ends with a space; a leading '@' doubled.
std::string escapeValue(const std::string& value);
// Reads the text after '=' as the Qt settings reader does. A value that is not a single text
// (an unquoted comma list, or a typed "@Type(...)" value) gives false.
bool unescapeValue(const std::string& text, std::string& value);
}  // namespace ini_format

class TIniPreferences : public TPreferences {
public:
    using TReport = std::function<void(const std::string&)>;

    // `configFolder` is the user's configuration folder (see defaultConfigFolder); the store is
    // the file Harnwick/Veltrace.conf below it. Failures are told through `report`.
    TIniPreferences(std::string configFolder, TReport report);
    TIniPreferences(std::string configFolder, TMainServices& services);

    // $XDG_CONFIG_HOME when it is an absolute path, otherwise ~/.config.
    static std::string defaultConfigFolder();

    std::string readPreference(const std::string& key) override;
    void writePreference(const std::string& key, const std::string& value) override;

    const std::string& fileName() const { return path; }

    static constexpr const char* organisation = "Harnwick";
    static constexpr const char* application = "Veltrace";
    static constexpr const char* generalSection = "General";
    // How long a write waits for another program that holds the store's lock file.
    static constexpr int lockWaitMs = 2000;
    // A lock file older than this, or left by a process that no longer runs, is stale.
    static constexpr int staleLockMs = 30000;

private:
    bool writeFile(const std::string& key, const std::string& value, std::string& why);

    std::string folder;
    std::string path;
    TReport report;
};
