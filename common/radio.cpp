// Preparing the Wi-Fi adapter for raw injection: chip detection, monitor
// mode, tuning under the regulatory mode, transmit power, CPU perf mode.
#include <cstdio>

#include <fmt/format.h>

#include "brisk_pipe.h"
#include "sys_io.h"
#include "tarn_common.h"

std::string chip_from_driver_listing(const std::string& listing)
{
    // Both Realtek builds the link knows answer to one identifier.
    if (listing.find("rtl8812au") != std::string::npos || listing.find("rtl88xxau_vtx") != std::string::npos) {
        return "rtl8812au";
    }
    if (listing.size() >= 2) {
        return listing.substr(0, listing.size() - 1);
    }
    return listing;
}

std::string get_chip(std::string interface)
{
    if (!accept_interface_name("get_chip", interface)) {
        return "";
    }
    std::string listing;
    if (!tarn_popen_read(fmt::format("ls /sys/class/net/{}/device/driver/module/drivers", interface), &listing)) {
        fputs("get_chip: cannot open pipe\n", stdout);
        return "";
    }
    return chip_from_driver_listing(listing);
}

int set_monitor_mode(std::string interface)
{
    if (!accept_interface_name("set_monitor_mode", interface)) {
        return -1;
    }
    const std::string commands[] = {
        "systemctl stop wpa_supplicant",
        "systemctl disable wpa_supplicant",
        "systemctl stop NetworkManager",
        "systemctl disable NetworkManager",
        fmt::format("ifconfig {} down", interface),
        fmt::format("iw dev {} set monitor otherbss", interface),
        fmt::format("ifconfig {} up", interface),
    };
    for (const auto& command : commands) {
        // Only a command that never started stops the sequence.
        if (tarn_system(command) < 0) {
            return -1;
        }
    }
    return 0;
}

int set_ath0_monitor_mode(int channel)
{
    fputs("Setting monitor mode ath0\n", stdout);
    fflush(stdout);
    // The ath0 script draws the band line at 14, unlike channel_to_band.
    const char* band = channel > 14 ? "5G" : "2G";
    if (!tarn_popen_read(fmt::format("bash /usr/bin/enable_vrx.sh -b {} -c {}", band, channel), nullptr)) {
        return -1;
    }
    return 0;
}

int set_frequency_and_bw(std::string interface, int frequency, int bandwidth, RegulatoryDomain domain)
{
    if (domain == REGULATORY_FCC && frequency >= 5260 && frequency <= 5720) {
        puts(fmt::format("DFS channels are disabled under FCC rules: {} MHz refused", frequency).c_str());
        return -1;
    }
    if (!accept_interface_name("set_frequency_and_bw", interface)) {
        return -1;
    }
    const std::string chip = get_chip(interface);
    const char* ht_mode = bandwidth == 20 ? "HT20" : "HT40+";
    std::string command;
    if (chip.find("rtl8812au") != std::string::npos) {
        // This driver takes its channel from channel_override, not from iw.
        command = fmt::format("iw dev {} set freq 5180 {}", interface, ht_mode);
    } else {
        command = fmt::format("iw dev {} set freq {} {}", interface, frequency, ht_mode);
    }
    return tarn_system(command);
}

int choose_tx_power(int power, int pit_power, bool pit_override, bool pit_mode)
{
    return (pit_mode && !pit_override) ? pit_power : power;
}

int set_power(std::string interface, int power, int pit_power, bool pit_override, bool pit_mode)
{
    if (!accept_interface_name("set_power", interface)) {
        return -1;
    }
    const int value = choose_tx_power(power, pit_power, pit_override, pit_mode);
    return tarn_system(fmt::format("iw dev {} set txpower fixed {}", interface, value));
}

int set_perf_mode()
{
    return pipe_send_control_cmd("cpu_stats2", "set_cpu_mode_perf_with_pitmode");
}
