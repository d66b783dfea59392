#include "identity.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/convert.h"

namespace ecusim {

namespace {

// Output codes: the low four bits pick a group of outputs, the high four bits count within it.
constexpr uint8_t outMiscA = 1, outMiscB = 17, outDrive8 = 7, outDrive9 = 23, outFuelPump = 83;
constexpr uint8_t outLed1 = 39;

void add(std::vector<TSlot>& t, const std::string& name, uint8_t value) { t.push_back({name, value}); }

void addArray(std::vector<TSlot>& t, const std::string& name, std::initializer_list<uint8_t> values) {
    int i = 0;
    for (uint8_t v : values) t.push_back({name + "[" + std::to_string(i++) + "]", v});
}

}  // namespace

TFirmwareIdentity defaultIdentity() {
    std::vector<TSlot> t;
    // General configuration bits; config13 bit 1 switches the wide-band sensor.
    add(t, "config10", 0);
    add(t, "config11", 16);
    add(t, "config12", 0);
    add(t, "config13", 0);
    add(t, "config14", 0);
    add(t, "config15", 0);
    // Engine and injection.
    add(t, "cyl_count", 4);
    add(t, "inj_count", 4);
    add(t, "inj_squirts", 2);
    add(t, "inj_open_time", 40);
    add(t, "inj_pwm_time", 0);
    add(t, "inj_pwm_duty", 100);
    add(t, "inj_flow_rate", 63);
    add(t, "req_fuel", 85);
    add(t, "divider", 2);
    add(t, "alternate", 1);
    addArray(t, "inj_channel", {0, 16, 32, 48, 64, 80, 96, 112});
    // Cranking and warm-up.
    add(t, "crank_rpm", 30);
    add(t, "crank_pw_cold", 120);
    add(t, "crank_pw_hot", 40);
    add(t, "prime_pulse", 20);
    add(t, "afterstart_enrich", 30);
    add(t, "afterstart_cycles", 200);
    addArray(t, "warmup_clt", {0, 20, 40, 60, 80, 100, 120, 140, 160, 180});
    addArray(t, "warmup_enrich", {180, 165, 150, 140, 130, 120, 112, 106, 102, 100});
    // Acceleration.
    add(t, "accel_tps_thresh", 20);
    add(t, "accel_enrich", 40);
    add(t, "accel_decay", 10);
    add(t, "decel_cut", 80);
    addArray(t, "accel_clt_mult", {200, 170, 140, 120, 100});
    // Sensors.
    add(t, "map_min", 10);
    add(t, "map_max", 250);
    add(t, "baro_corr", 1);
    add(t, "tps_low", 18);
    add(t, "tps_high", 230);
    add(t, "clt_bias", 40);
    add(t, "iat_bias", 40);
    add(t, "batt_corr", 20);
    addArray(t, "iat_corr", {112, 108, 104, 100, 96, 92});
    // Ignition.
    add(t, "ign_trigger_teeth", 60);
    add(t, "ign_missing_teeth", 2);
    add(t, "ign_tdc_offset", 90);
    add(t, "ign_dwell", 30);
    add(t, "ign_dwell_crank", 45);
    add(t, "ign_crank_advance", 10);
    add(t, "ign_fixed_advance", 0);
    add(t, "ign_outputs", 4);
    addArray(t, "ign_coil_channel", {2, 18, 34, 50, 66, 82, 98, 114});
    addArray(t, "dwell_batt_corr", {160, 140, 120, 105, 100, 95});
    // Rev limits and launch.
    add(t, "rev_limit_soft", 62);
    add(t, "rev_limit_hard", 65);
    add(t, "rev_limit_cut", 2);
    add(t, "launch_rpm", 40);
    add(t, "launch_retard", 10);
    add(t, "shift_light_rpm", 60);
    add(t, "shift_light_channel", outLed1);
    // Idle.
    add(t, "idle_rpm_target", 85);
    add(t, "idle_pid_kp", 20);
    add(t, "idle_pid_ki", 5);
    add(t, "idle_pid_kd", 0);
    add(t, "idle_min_duty", 20);
    add(t, "idle_max_duty", 80);
    add(t, "idle_channel", outMiscB);
    add(t, "idle_clt_off", 70);
    addArray(t, "idle_clt_rpm", {140, 130, 120, 110, 100, 90, 85, 85});
    // Knock.
    add(t, "knock_enable", 0);
    add(t, "knock_threshold", 60);
    add(t, "knock_retard", 3);
    add(t, "knock_recover", 1);
    add(t, "knock_window_start", 10);
    add(t, "knock_window_len", 40);
    addArray(t, "knock_gain", {32, 32, 32, 32});
    // Narrow-band lambda control.
    add(t, "ego_conf", 0);
    add(t, "ego_pid_kp", 12);
    add(t, "ego_pid_ki", 4);
    add(t, "ego_pid_kd", 0);
    add(t, "ego_target", 147);
    add(t, "ego_delay", 30);
    add(t, "ego_limit", 20);
    add(t, "ego_min_rpm", 12);
    add(t, "ego_min_clt", 70);
    // Wide-band oxygen sensor.
    add(t, "wbo2_nernstdc_target", 120);
    add(t, "wbo2_warmup_ramp", 12);
    add(t, "wbo2_warmup_target", 200);
    add(t, "wbo2_abs_limit", 250);
    add(t, "wbo2_limit_maxt", 60);
    add(t, "wbo2_fallback", 147);
    add(t, "wbo2_retry_t", 10);
    add(t, "wbo2_edgetime_corr", 4);
    add(t, "wbo2_edgetime_min", 20);
    add(t, "wbo2_ri_target", 80);
    add(t, "wbo2_pump_pw_zero", 128);
    add(t, "wbo2_calibration", 100);
    add(t, "wbo2_heater_pid_kp", 30);
    add(t, "wbo2_heater_pid_ki", 6);
    add(t, "wbo2_heater_pid_kd", 2);
    add(t, "wbo2_heater_pid_ilimit", 100);
    add(t, "wbo2_pump_pid_kp", 25);
    add(t, "wbo2_pump_pid_ki", 8);
    add(t, "wbo2_pump_pid_kd", 1);
    add(t, "wbo2_pump_pid_ilimit", 90);
    add(t, "wbo2_ri_confidence_scale", 16);
    // Outputs.
    add(t, "fan_channel", outMiscA);
    add(t, "fan_temp", 95);
    add(t, "fan_hyst", 5);
    add(t, "fuelpump_channel", outFuelPump);
    add(t, "fuelpump_prime", 2);
    add(t, "tacho_channel", outDrive8);
    add(t, "tacho_divider", 1);
    // Boost control.
    add(t, "boost_enable", 0);
    add(t, "boost_target", 150);
    add(t, "boost_max", 200);
    add(t, "boost_channel", outDrive9);
    add(t, "boost_freq", 30);
    add(t, "boost_pid_kp", 10);
    add(t, "boost_pid_ki", 2);
    add(t, "boost_pid_kd", 0);
    // The LCD: contrast, backlight, refresh, first view and the four line offsets.
    add(t, "lcd_c0", 40);
    add(t, "lcd_backlight", 200);
    add(t, "lcd_delay", 10);
    add(t, "lcd_default_view", 0);
    addArray(t, "lcd_offs", {0, 64, 20, 84});
    // Logging and the load axes of the tables.
    add(t, "log_rate", 10);
    add(t, "log_channels", 15);
    addArray(t, "rpm_bins", {5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60});
    addArray(t, "kpa_bins", {20, 30, 40, 60, 80, 100, 120, 150});
    addArray(t, "tps_bins", {0, 10, 20, 35, 50, 70, 85, 100});
    addArray(t, "ign_rpm_bins", {6, 10, 15, 20, 30, 40, 50, 60});
    return {"1.0.22", std::move(t)};
}

bool validSettingName(const std::string& name) {
    return name.find_first_of("=\r\n\t") == std::string::npos;
}

namespace {

int parseValue(const std::string& text, const std::string& where) {
    int v = 0;
    try {
        v = strToInt(text);
    } catch (const EConvertError&) {
        throw ESimFileError(where + ": value '" + text + "' is not a decimal number");
    }
    if (v < 0 || v > 255) throw ESimFileError(where + ": value " + text + " is outside 0..255");
    return v;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    for (auto& l : lines)
        if (!l.empty() && l.back() == '\r') l.pop_back();
    return lines;
}

// Parses settings lines from `first` on; `lineOffset` counts the lines before it.
std::vector<TSlot> parseSettingLines(const std::vector<std::string>& lines, size_t first,
                                     const std::string& source) {
    std::vector<TSlot> slots;
    std::vector<bool> taken;
    int next = 0;
    for (size_t n = first; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        const std::string where = source + ":" + std::to_string(n + 1);
        if (line.empty() || line[0] == '#') continue;
        int slot = 0;
        std::string name, value;
        if (line.find('\t') != std::string::npos) {
            size_t a = line.find('\t'), b = line.find('\t', a + 1);
            if (b == std::string::npos || line.find('\t', b + 1) != std::string::npos)
                throw ESimFileError(where + ": expected slot<TAB>name<TAB>value");
            try {
                slot = strToInt(line.substr(0, a));
            } catch (const EConvertError&) {
                throw ESimFileError(where + ": slot '" + line.substr(0, a) + "' is not a number");
            }
            name = line.substr(a + 1, b - a - 1);
            value = line.substr(b + 1);
        } else {
            size_t eq = line.find('=');
            if (eq == std::string::npos || eq == 0)
                throw ESimFileError(where + ": expected name=value or slot<TAB>name<TAB>value");
            slot = next;
            name = line.substr(0, eq);
            value = line.substr(eq + 1);
        }
        if (slot < 0 || slot >= maxSlots)
            throw ESimFileError(where + ": slot " + std::to_string(slot) + " is outside 0.." +
                                std::to_string(maxSlots - 1));
        if (!validSettingName(name))
            throw ESimFileError(where + ": the name may not hold '=', TAB, CR or LF");
        const int v = parseValue(value, where);
        if (slot >= static_cast<int>(slots.size())) {
            slots.resize(slot + 1);
            taken.resize(slot + 1, false);
        }
        if (taken[slot]) throw ESimFileError(where + ": slot " + std::to_string(slot) + " given twice");
        taken[slot] = true;
        slots[slot] = {name, static_cast<uint8_t>(v)};
        next = slot + 1;
    }
    return slots;
}

}  // namespace

std::vector<TSlot> parseSettings(const std::string& text, const std::string& source) {
    return parseSettingLines(splitLines(text), 0, source);
}

std::string formatSettings(const std::vector<TSlot>& slots) {
    std::string out;
    for (size_t i = 0; i < slots.size(); ++i)
        out += std::to_string(i) + "\t" + slots[i].name + "\t" + std::to_string(slots[i].value) + "\n";
    return out;
}

std::string formatState(const TFirmwareIdentity& identity) {
    return "# veltrace-ecusim state: the running firmware and its stored settings\n"
           "version\t" + identity.version + "\n" + formatSettings(identity.slots);
}

TFirmwareIdentity parseState(const std::string& text, const std::string& source) {
    const auto lines = splitLines(text);
    size_t n = 0;
    while (n < lines.size() && (lines[n].empty() || lines[n][0] == '#')) ++n;
    const std::string tag = "version\t";
    if (n == lines.size() || lines[n].compare(0, tag.size(), tag) != 0)
        throw ESimFileError(source + ": the first line must be version<TAB>TEXT");
    TFirmwareIdentity id;
    id.version = lines[n].substr(tag.size());
    // The version goes out as one line: a CR left in it (a line that ended in more than one)
    // would come back as a different version once the state is written again.
    if (id.version.find('\r') != std::string::npos)
        throw ESimFileError(source + ":" + std::to_string(n + 1) + ": the version may not hold CR");
    id.slots = parseSettingLines(lines, n + 1, source);
    return id;
}

std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ESimFileError(path + ": " + std::strerror(errno));
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) throw ESimFileError(path + ": read error");
    return s.str();
}

void writeTextFileAtomic(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw ESimFileError(tmp + ": " + std::strerror(errno));
        out << text;
        out.flush();
        if (!out) throw ESimFileError(tmp + ": write error");
    }
    // std::filesystem's rename replaces an existing file on Windows too (std::rename does not).
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) throw ESimFileError(path + ": " + ec.message());
}

}  // namespace ecusim
