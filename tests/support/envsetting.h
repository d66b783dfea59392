#pragma once
// Sets an environment variable for the life of the object and restores the old value after
// (removes it when it had none).

#include <cstdlib>
#include <string>

class TEnvSetting {
public:
    TEnvSetting(std::string name, const std::string& value) : name(std::move(name)) {
        if (const char* v = std::getenv(this->name.c_str())) {
            had = true;
            old = v;
        }
        put(value);
    }
    ~TEnvSetting() {
        if (had) put(old);
        else remove();
    }
    TEnvSetting(const TEnvSetting&) = delete;
    TEnvSetting& operator=(const TEnvSetting&) = delete;

private:
#ifdef _WIN32
    void put(const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }
    void remove() { _putenv_s(name.c_str(), ""); }  // an empty value removes it
#else
    void put(const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }
    void remove() { unsetenv(name.c_str()); }
#endif

    std::string name;
    bool had = false;
    std::string old;
};
