#pragma once
// The preferences of a build without the store (VELTRACE_STORE=OFF, where Qt is not there): none.
// Every key reads empty, so the link is the command line's or the default network link, and
// nothing is kept.

#include <string>

#include "platform/services.h"

class TNoPreferences : public TPreferences {
public:
    std::string readPreference(const std::string&) override { return {}; }
    void writePreference(const std::string&, const std::string&) override {}
};
