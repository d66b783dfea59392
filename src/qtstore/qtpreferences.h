#pragma once
// The per-user preference store, shared by the app and the command-line front: QSettings of
// organisation "Harnwick" and application "Veltrace", one string value per key. That is the
// registry key Software\Harnwick\Veltrace on Windows and ~/.config/Harnwick/Veltrace.conf
// (below $XDG_CONFIG_HOME when set) on Linux.
//
// Every call opens and closes the store anew, so calls from different threads never share
// state. Failures are told through the report function and never raised.

#include <functional>
#include <string>

#include "platform/services.h"

class TQtPreferences : public TPreferences {
public:
    using TReport = std::function<void(const std::string&)>;

    // The user's store.
    explicit TQtPreferences(TReport report);
    explicit TQtPreferences(TMainServices& services);
    // A store in the settings file `fileName` (same format as the user's store on Linux).
    TQtPreferences(std::string fileName, TReport report);

    // The stored text; empty when the key is absent. A value that is not a text, or a store
    // that cannot be read, is reported and reads as empty.
    std::string readPreference(const std::string& key) override;
    // Stores the text; a store that cannot be written is reported.
    void writePreference(const std::string& key, const std::string& value) override;

    // The file (or registry path) that holds the store.
    std::string location() const;

    static constexpr const char* organisation = "Harnwick";
    static constexpr const char* application = "Veltrace";
    static constexpr const char* saveError = "Error saving settings";
    static constexpr const char* readError = "Error retrieving setting";

private:
    void tell(const std::string& text) noexcept;

    std::string fileName;  // empty: the user's store
    TReport report;
};
