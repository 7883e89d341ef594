// Names the sync makes or refuses.
#include "names.h"

#include <cstring>
#include <utility>

namespace twoway {

namespace {

// "c.txt" as ("c", ".txt"); a name without a dot, or with its only dot first, has no extension.
std::pair<std::string, std::string> SplitExtension(const std::string &name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {name, ""};
    return {name.substr(0, dot), name.substr(dot)};
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

} // namespace

std::string ConflictName(const std::string &name, const std::string &host, const std::string &date,
                         const std::function<bool(const std::string &)> &taken) {
    const auto [stem, extension] = SplitExtension(name);
    for (unsigned n = 1;; ++n) {
        std::string candidate = stem;
        candidate.append(" (conflicted copy ").append(host).append(" ").append(date);
        if (n > 1) candidate.append(" ").append(std::to_string(n));
        candidate.append(")").append(extension);
        if (!taken(candidate)) return candidate;
    }
}

std::string NumberedName(const std::string &name, const std::function<bool(const std::string &)> &taken) {
    if (!taken(name)) return name;
    const auto [stem, extension] = SplitExtension(name);
    for (unsigned n = 2;; ++n) {
        std::string candidate = stem;
        candidate.append(" (").append(std::to_string(n)).append(")").append(extension);
        if (!taken(candidate)) return candidate;
    }
}

bool IsDownloadTemporaryName(const std::string &name) {
    if (name.size() != 11 || name.compare(0, 3, "~vs") != 0) return false;
    for (size_t i = 3; i < name.size(); ++i)
        if (std::strchr("0123456789abcdefABCDEF", name[i]) == nullptr) return false;
    return true;
}

const char *UnusableLocalName(const std::string &name) {
    if (name.empty() || name == "." || name == "..") return "not a file name";
    for (unsigned char c : name)
        if (c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) return "a character Windows names cannot hold";
    if (name.back() == '.' || name.back() == ' ') return "a trailing dot or space";
    // CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension.
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char &c : base) c = Upper(c);
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char *device : kDevices)
        if (base == device) return "a device name";
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
        base[3] <= '9')
        return "a device name";
    return nullptr;
}

} // namespace twoway
