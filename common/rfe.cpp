// RF front-end type and channel override of the Realtek 88XXau_vtx driver,
// set through its module parameters.
#include <cstdio>
#include <utility>

#include <unistd.h>

#include <fmt/format.h>

#include "sys_io.h"
#include "tarn_common.h"

namespace {

const char* const usb_driver_dir = "/sys/module/88XXau_vtx/drivers/usb:rtl88xxau_vtx";
const char* const override_path = "/sys/module/88XXau_vtx/parameters/channel_override";

bool valid_channel(int channel)
{
    return channel >= 1 && channel <= 177;
}

}  // namespace

int rfe_type_for_channels(int new_channel, int current_channel, bool force)
{
    // This driver's band line: 1-14 is 2.4 GHz, 15 and above 5 GHz.
    const bool new_2g = new_channel <= 14;
    const bool current_2g = current_channel <= 14;
    if (new_2g && !current_2g) {
        return 3;
    }
    if (!new_2g && current_2g) {
        return 1;
    }
    if (force) {
        return new_2g ? 3 : 1;
    }
    return 0;
}

std::string usb_bus_port_from_entries(const std::vector<std::string>& entries)
{
    for (const auto& name : entries) {
        // A bound USB interface is named <bus>-<port path>:<config>.<interface>.
        if (!name.empty() && name[0] >= '0' && name[0] <= '9') {
            size_t colon = name.find(':');
            if (colon != std::string::npos) {
                return name.substr(0, colon);
            }
        }
    }
    return "";
}

int update_RFE_type(int rfe_type, std::string interface)
{
    if (!accept_interface_name("update_RFE_type", interface)) {
        return -1;
    }
    std::vector<std::string> entries;
    if (tarn_list_dir(usb_driver_dir, &entries) != 0) {
        perror("update_RFE_type: opendir");
        return -1;
    }
    const std::string bus_port = usb_bus_port_from_entries(entries);
    if (bus_port.empty()) {
        fputs("Failed to find USB dev bus and port.\n", stdout);
        return -1;
    }
    if (!accept_bus_port_name("update_RFE_type", bus_port)) {
        return -1;
    }

    // (counted, command): only counted statuses reach the result.
    const std::pair<bool, std::string> commands[] = {
        {true, fmt::format("ifconfig {} down", interface)},
        {false, "ifconfig wwan0 down > /dev/null 2>&1"},
        {true, fmt::format("echo {} | sudo tee /sys/bus/usb/drivers/usb/unbind > /dev/null", bus_port)},
        {true, fmt::format("echo {} > /sys/module/88XXau_vtx/parameters/rtw_RFE_type", rfe_type)},
        {true, fmt::format("echo {} | sudo tee /sys/bus/usb/drivers/usb/bind > /dev/null", bus_port)},
        {true, fmt::format("ifconfig {} up", interface)},
        {false, "ifconfig wwan0 up > /dev/null 2>&1"},
        {false, "sudo udhcpc -q -f -i wwan0 > /dev/null 2>&1 &"},
    };
    int result = 0;
    for (const auto& [counted, command] : commands) {
        const int status = tarn_system(command);
        if (counted) {
            result |= status;
        }
    }
    return result;
}

int check_for_RFE_update(int new_channel, int current_channel, std::string interface, bool force)
{
    if (!valid_channel(new_channel)) {
        fmt::print(stdout, "Provided channel is not valid: {}\n", new_channel);
        fflush(stdout);
        return -1;
    }
    const int rfe_type = rfe_type_for_channels(new_channel, current_channel, force);
    if (rfe_type == 0) {
        return 0;
    }
    return update_RFE_type(rfe_type, interface);
}

int set_override_parameters(int channel, int)
{
    if (!valid_channel(channel)) {
        return -1;
    }
    usleep(200);
    const int rc = tarn_write_file(override_path, fmt::format("{}", channel));
    if (rc == -1) {
        fmt::print(stdout, "Failed to open override parameter file: {}", override_path);
        return -1;
    }
    if (rc != 0) {
        // A write the driver rejected must not pass for a set override.
        fmt::print(stdout, "Failed to write override parameter file: {}\n", override_path);
        return -1;
    }
    return 0;
}
