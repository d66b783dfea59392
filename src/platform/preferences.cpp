#include "platform/preferences.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

const char hexDigits[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A code point as UTF-8 bytes (the settings file is UTF-8).
void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | ((cp >> 12) & 0x0F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A byte in lower-case hexadecimal without leading zeros ("7", "1f").
std::string lowerHex(unsigned char c) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    if (c >> 4) out += digits[c >> 4];
    out += digits[c & 0xF];
    return out;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && isSpace(s[b])) ++b;
    while (e > b && isSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool equalsNoCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// One logical line of the file: a section header, or a key with its value.
struct TIniLine {
    size_t begin = 0;      // first byte of the line's text
    size_t end = 0;        // one past its last byte (a trailing comment and the line end excluded)
    bool header = false;
    std::string section;   // the section the line is in ("" for the top level)
    std::string key;       // unescaped, for key lines
    std::string rawValue;  // the text after '=', as in the file
};

// Splits the file into logical lines the way the Qt settings reader does: a line ends at a line
// break or an unquoted ';' (the rest is a comment), a quoted or backslash-escaped line break
// continues it, and a ';' at the start makes a comment line.
std::vector<TIniLine> scanIni(const std::string& data) {
    std::vector<TIniLine> lines;
    std::string section;
    size_t pos = 0;
    const size_t n = data.size();
    while (pos < n) {
        size_t start = pos;
        while (start < n && isSpace(data[start])) ++start;
        if (start >= n) break;
        if (data[start] == ';') {  // comment line
            while (start < n && data[start] != '\n' && data[start] != '\r') ++start;
            pos = start;
            continue;
        }
        bool inQuotes = false;
        size_t equals = std::string::npos;
        size_t i = start;
        while (i < n) {
            const char c = data[i];
            if (c == '=' && !inQuotes && equals == std::string::npos) {
                equals = i;
            } else if ((c == '\n' || c == '\r') && !inQuotes) {
                break;
            } else if (c == '\\') {
                if (i + 1 < n) {
                    const char e = data[++i];
                    if (i + 1 < n && ((e == '\n' && data[i + 1] == '\r') || (e == '\r' && data[i + 1] == '\n'))) ++i;
                }
            } else if (c == '"') {
                inQuotes = !inQuotes;
            } else if (c == ';' && !inQuotes) {
                break;
            }
            ++i;
        }
        pos = i;
        // A comment after the line's text runs to the end of the physical line.
        if (pos < n && data[pos] == ';')
            while (pos < n && data[pos] != '\n' && data[pos] != '\r') ++pos;

        TIniLine line;
        line.begin = start;
        line.end = i;
        if (data[start] == '[') {
            // A header without its ']' still opens a section, named by the rest of the line.
            size_t close = data.find(']', start);
            if (close == std::string::npos || close >= i) close = i;
            const std::string name = trimmed(data.substr(start + 1, close - start - 1));
            if (equalsNoCase(name, "general")) section.clear();
            else if (equalsNoCase(name, "%general")) section = name.substr(1);
            else section = ini_format::unescapeKey(name);
            line.header = true;
            line.section = section;
            lines.push_back(line);
            continue;
        }
        if (equals == std::string::npos) continue;  // a line without '=' holds nothing
        size_t keyEnd = equals;
        while (keyEnd > start && isBlank(data[keyEnd - 1])) --keyEnd;
        line.section = section;
        line.key = ini_format::unescapeKey(data.substr(start, keyEnd - start));
        line.rawValue = data.substr(equals + 1, i - equals - 1);
        lines.push_back(line);
    }
    return lines;
}

std::string errnoText(int err) { return std::strerror(err); }

// Reads a whole file. False with `err` set when it cannot be read; a missing file is ENOENT.
bool readWhole(const std::string& path, std::string& out, int& err) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    out.clear();
    char buf[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) continue;
            err = errno;
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    ::close(fd);
    return true;
}

bool makeFolders(const std::string& path, int& err) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            err = errno;
            return false;
        }
    }
    return true;
}

std::string hostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

// The lock file beside the store that the Qt settings object takes while it writes:
// "<pid>\n<application>\n<host>\n", created exclusively. A lock left by a process that no
// longer runs on this host, or one older than the stale age, is taken over.
class TStoreLock {
public:
    explicit TStoreLock(std::string path) : path(std::move(path)) {}
    ~TStoreLock() {
        if (held) ::unlink(path.c_str());
    }

    bool acquire(int& err) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(TIniPreferences::lockWaitMs);
        for (;;) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                const std::string text = std::to_string(::getpid()) + "\nveltrace\n" + hostName() + "\n";
                const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
                ::flock(fd, LOCK_EX | LOCK_NB);
                ::close(fd);
                held = true;
                if (!ok) {
                    err = EIO;
                    return false;
                }
                return true;
            }
            if (errno != EEXIST) {
                err = errno;
                return false;
            }
            if (stale()) {
                ::unlink(path.c_str());
                continue;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                err = EWOULDBLOCK;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

private:
    bool stale() {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return false;  // gone meanwhile: try again
        const auto age = std::chrono::system_clock::now() -
                         std::chrono::system_clock::from_time_t(st.st_mtime);
        if (age > std::chrono::milliseconds(TIniPreferences::staleLockMs)) return true;
        std::string text;
        int err = 0;
        if (!readWhole(path, text, err)) return false;
        const size_t nl1 = text.find('\n');
        const size_t nl2 = nl1 == std::string::npos ? nl1 : text.find('\n', nl1 + 1);
        const size_t nl3 = nl2 == std::string::npos ? nl2 : text.find('\n', nl2 + 1);
        if (nl3 == std::string::npos) return false;  // being written; wait for it
        const long pid = std::strtol(text.substr(0, nl1).c_str(), nullptr, 10);
        const std::string host = text.substr(nl2 + 1, nl3 - nl2 - 1);
        if (pid <= 0 || (!host.empty() && host != hostName())) return false;
        return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    }

    std::string path;
    bool held = false;
};

}  // namespace

namespace ini_format {

std::string escapeKey(const std::string& key) {
    std::string out;
    for (unsigned char c : key) {
        if (c == '/') out += '\\';
        else if (std::isalnum(c) || c == '_' || c == '-' || c == '.') out += static_cast<char>(c);
        else {
            out += '%';
            out += hexDigits[c >> 4];
            out += hexDigits[c & 0xF];
        }
    }
    return out;
}

std::string unescapeKey(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            out += '/';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else if (c == '%' && i + 5 < text.size() && text[i + 1] == 'U' && hexValue(text[i + 2]) >= 0 &&
                   hexValue(text[i + 3]) >= 0 && hexValue(text[i + 4]) >= 0 && hexValue(text[i + 5]) >= 0) {
            unsigned cp = 0;
            for (int k = 2; k <= 5; ++k) cp = cp * 16 + static_cast<unsigned>(hexValue(text[i + k]));
            appendUtf8(out, cp);
            i += 5;
        } else {
            out += c;
        }
    }
    return out;
}

std::string escapeValue(const std::string& value) {
    std::string out;
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    const size_t at = value.size() > 0 && value[0] == '@' ? 1 : 0;
    if (at) out += "@@";
    for (size_t i = at; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c == ';' || c == ',' || c == '=') needsQuotes = true;
        // A hexadecimal escape runs on over digits, so a digit right after one is escaped too.
        if (escapeNextIfDigit && hexValue(static_cast<char>(c)) >= 0) {
            out += "\\x" + lowerHex(c);
            continue;
        }
        escapeNextIfDigit = false;
        switch (c) {
        case '\0': out += "\\0"; escapeNextIfDigit = true; break;
        case '\a': out += "\\a"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\v': out += "\\v"; break;
        case '"':
        case '\\':
            out += '\\';
            out += static_cast<char>(c);
            break;
        default:
            if (c <= 0x1F || c == 0x7F) {
                out += "\\x" + lowerHex(c);
                escapeNextIfDigit = true;
            } else {
                out += static_cast<char>(c);  // UTF-8 bytes pass as they are
            }
        }
    }
    if (needsQuotes || (!out.empty() && (out.front() == ' ' || out.back() == ' '))) out = '"' + out + '"';
    return out;
}

bool unescapeValue(const std::string& text, std::string& value) {
    std::string result;
    std::vector<std::string> list;
    bool isList = false;
    bool inQuotes = false;
    bool currentQuoted = false;
    size_t i = 0;
    const size_t to = text.size();
    size_t chopLimit = 0;

    auto skipSpaces = [&] {
        while (i < to && isBlank(text[i])) ++i;
    };
    auto chopTrailingSpaces = [&] {
        while (result.size() > chopLimit && isBlank(result.back())) result.pop_back();
    };

    skipSpaces();
    chopLimit = result.size();
    while (i < to) {
        const char c = text[i];
        if (c == '\\') {
            ++i;
            if (i >= to) break;
            const char e = text[i++];
            switch (e) {
            case 'a': result += '\a'; break;
            case 'b': result += '\b'; break;
            case 'f': result += '\f'; break;
            case 'n': result += '\n'; break;
            case 'r': result += '\r'; break;
            case 't': result += '\t'; break;
            case 'v': result += '\v'; break;
            case '"': case '?': case '\'': case '\\': result += e; break;
            case 'x': {
                unsigned v = 0;
                bool any = false;
                while (i < to && hexValue(text[i]) >= 0) {
                    v = (v << 4) + static_cast<unsigned>(hexValue(text[i++]));
                    v &= 0xFFFF;
                    any = true;
                }
                if (any) appendUtf8(result, v);
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    unsigned v = static_cast<unsigned>(e - '0');
                    while (i < to && text[i] >= '0' && text[i] <= '7') v = ((v << 3) + static_cast<unsigned>(text[i++] - '0')) & 0xFFFF;
                    appendUtf8(result, v);
                } else if (e == '\n' || e == '\r') {
                    if (i < to && (text[i] == '\n' || text[i] == '\r') && text[i] != e) ++i;
                }
                // any other escaped character is dropped
            }
            chopLimit = result.size();
        } else if (c == '"') {
            ++i;
            currentQuoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) skipSpaces();
        } else if (c == ',' && !inQuotes) {
            if (!currentQuoted) chopTrailingSpaces();
            isList = true;
            list.push_back(result);
            result.clear();
            chopLimit = 0;
            currentQuoted = false;
            ++i;
            skipSpaces();
        } else {
            size_t j = i + 1;
            while (j < to && text[j] != '\\' && text[j] != '"' && text[j] != ',') ++j;
            result.append(text, i, j - i);
            i = j;
        }
    }
    if (!currentQuoted) chopTrailingSpaces();
    if (isList) {
        list.push_back(result);
        return false;  // a list of texts, not a text
    }
    // A leading '@' marks a typed value; "@@" is an escaped '@'.
    if (!result.empty() && result[0] == '@') {
        if (result.size() > 1 && result[1] == '@') result.erase(0, 1);
        else if (result.rfind("@ByteArray(", 0) == 0 && result.back() == ')') result = result.substr(11, result.size() - 12);
        else if (result == "@Invalid()") result.clear();
        else return false;
    }
    value = result;
    return true;
}

}  // namespace ini_format

TIniPreferences::TIniPreferences(std::string configFolder, TReport report)
    : folder(std::move(configFolder)), report(std::move(report)) {
    path = folder + "/" + organisation + "/" + application + ".conf";
}

TIniPreferences::TIniPreferences(std::string configFolder, TMainServices& services)
    : TIniPreferences(std::move(configFolder), [&services](const std::string& text) { services.reportMessage(text); }) {}

std::string TIniPreferences::defaultConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    std::string h = home && home[0] ? home : "";
    if (h.empty()) {
        if (const passwd* pw = ::getpwuid(::getuid())) h = pw->pw_dir ? pw->pw_dir : "";
    }
    return h + "/.config";
}

std::string TIniPreferences::readPreference(const std::string& key) {
    std::string data;
    int err = 0;
    if (!readWhole(path, data, err)) {
        if (err != ENOENT && err != ENOTDIR)
            report("Error retrieving setting (" + key + " from " + path + ": " + errnoText(err) + ")");
        return {};
    }
    std::string value;
    bool found = false;
    const std::string* raw = nullptr;
    const std::vector<TIniLine> lines = scanIni(data);
    for (const TIniLine& line : lines)
        if (!line.header && line.section.empty() && line.key == key) raw = &line.rawValue;  // the last one counts
    if (raw) found = ini_format::unescapeValue(*raw, value);
    if (raw && !found) {
        report("Error retrieving setting (" + key + " in " + path + " is not a text)");
        return {};
    }
    return value;
}

void TIniPreferences::writePreference(const std::string& key, const std::string& value) {
    std::string why;
    if (!writeFile(key, value, why)) report("Error saving settings (" + key + " to " + path + ": " + why + ")");
}

bool TIniPreferences::writeFile(const std::string& key, const std::string& value, std::string& why) {
    int err = 0;
    const std::string dir = folder + "/" + organisation;
    if (!makeFolders(dir, err)) {
        why = errnoText(err);
        return false;
    }
    TStoreLock lock(path + ".lock");
    if (!lock.acquire(err)) {
        why = err == EWOULDBLOCK ? "the store is locked by another program (" + path + ".lock)" : errnoText(err);
        return false;
    }
    std::string data;
    if (!readWhole(path, data, err)) {
        if (err != ENOENT) {
            why = errnoText(err);
            return false;
        }
        data.clear();
    }

    const std::string entry = ini_format::escapeKey(key) + "=" + ini_format::escapeValue(value);
    const std::vector<TIniLine> lines = scanIni(data);
    std::vector<const TIniLine*> matches;
    const TIniLine* lastTopLevel = nullptr;  // the last key or [General] header of the top level
    for (const TIniLine& line : lines) {
        if (!line.section.empty()) continue;
        if (!line.header && line.key == key) matches.push_back(&line);
        lastTopLevel = &line;
    }
    std::string out;
    if (!matches.empty()) {
        // Every copy of the key takes the new value, so whichever a reader takes is right.
        size_t at = 0;
        for (const TIniLine* m : matches) {
            out.append(data, at, m->begin - at);
            out += entry;
            at = m->end;
        }
        out.append(data, at, std::string::npos);
    } else if (lastTopLevel) {
        size_t at = data.find_first_of("\n\r", lastTopLevel->end);
        if (at == std::string::npos) {
            out = data + "\n" + entry + "\n";
        } else {
            at += (data[at] == '\r' && at + 1 < data.size() && data[at + 1] == '\n') ? 2 : 1;
            out = data.substr(0, at) + entry + "\n" + data.substr(at);
        }
    } else {
        out = "[General]\n" + entry + "\n" + (data.empty() ? "" : "\n") + data;
    }

    // Written beside the store and renamed over it, so a reader never sees half a file.
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        why = errnoText(errno);
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t put = ::write(fd, out.data() + done, out.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            why = errnoText(put < 0 ? errno : EIO);
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(put);
    }
    const bool synced = ::fsync(fd) == 0;
    const int syncErr = errno;
    if (::close(fd) != 0 || !synced) {
        why = errnoText(synced ? errno : syncErr);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        why = errnoText(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}
