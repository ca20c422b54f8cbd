// Channel noise floor from the ath10k driver's firmware statistics.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

#include "sys_io.h"
#include "tarn_common.h"

namespace {

// std::stoi's rules without the exception: leading white space, an optional
// sign, at least one digit, stop at the first non-digit, int range.
bool parse_int(const std::string& text, int* value)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long v = strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || v < INT_MIN || v > INT_MAX) {
        return false;
    }
    *value = static_cast<int>(v);
    return true;
}

}  // namespace

bool noise_floor_from_fw_stats(const std::string& stats, int* value)
{
    size_t pos = 0;
    while (pos < stats.size()) {
        size_t eol = stats.find('\n', pos);
        if (eol == std::string::npos) {
            eol = stats.size();
        }
        const std::string line = stats.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.find("Channel noise floor") == std::string::npos) {
            continue;
        }
        const size_t sep = line.find_last_of(" \t");
        const std::string field = line.substr(sep == std::string::npos ? 0 : sep + 1);
        if (parse_int(field, value)) {
            return true;
        }
        // "stoi" is what the standard conversion names itself on failure.
        fprintf(stderr, "Error parsing noise floor value: %s\n", "stoi");
    }
    return false;
}

int get_ath10k_noise_floor(const std::string& interface)
{
    if (!accept_interface_name("get_ath10k_noise_floor", interface)) {
        return 0;
    }
    if (get_chip(interface).find("ath10k") == std::string::npos) {
        return 0;
    }
    std::string phy;
    if (tarn_read_file(fmt::format("/sys/class/net/{}/phy80211/name", interface), &phy) == 0) {
        phy.erase(std::min(phy.find('\n'), phy.size()));
        const size_t end = phy.find_last_not_of(" \n\r\t");
        phy.erase(end == std::string::npos ? 0 : end + 1);
    } else {
        phy.clear();
    }
    if (phy.empty()) {
        fprintf(stderr, "Warning: Unable to determine PHY for interface %s\n", interface.c_str());
        return 0;
    }
    // The name comes from a file; it goes into a debugfs path only if it is
    // a plain name (no "..", no '/').
    if (!accept_phy_name("get_ath10k_noise_floor", phy)) {
        return 0;
    }
    const std::string stats_path = fmt::format("/sys/kernel/debug/ieee80211/{}/ath10k/fw_stats", phy);
    std::string stats;
    if (tarn_read_file(stats_path, &stats) != 0) {
        fprintf(stderr, "Warning: Unable to open %s\n", stats_path.c_str());
        return 0;
    }
    int value = 0;
    return noise_floor_from_fw_stats(stats, &value) ? value : 0;
}
