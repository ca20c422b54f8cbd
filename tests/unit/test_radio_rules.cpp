// Rules of the radio functions that need no system: chip names, power
// choice, RFE type, bus-port names, name checks, noise-floor lines. Every
// access to the system is refused by a hook here, so nothing can run; the
// refusals also show which paths give up before touching anything.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "tarn_common.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

std::vector<std::pair<tarn_io_op, std::string>> accesses;

bool refuse_everything(tarn_io_op op, const std::string& target, void*)
{
    accesses.emplace_back(op, target);
    return false;
}

class RadioRules : public testing::Test {
protected:
    void SetUp() override
    {
        accesses.clear();
        tarn_set_io_hook(refuse_everything, nullptr);
    }
};

}  // namespace

TEST_F(RadioRules, chip_of_a_realtek_listing_is_rtl8812au)
{
    EXPECT_EQ(chip_from_driver_listing("usb:rtl8812au\n"), "rtl8812au");
    EXPECT_EQ(chip_from_driver_listing("usb:rtl88xxau_vtx\n"), "rtl8812au");
    EXPECT_EQ(chip_from_driver_listing("pci:other\nusb:rtl88xxau_vtx\n"), "rtl8812au");
    EXPECT_EQ(chip_from_driver_listing("usb:rtl8812au\nusb:other\n"), "rtl8812au");
}

TEST_F(RadioRules, chip_of_another_listing_is_the_listing_without_its_last_character)
{
    EXPECT_EQ(chip_from_driver_listing("pci:ath10k_pci\n"), "pci:ath10k_pci");
    EXPECT_EQ(chip_from_driver_listing("usb:aaa\nusb:bbb\n"), "usb:aaa\nusb:bbb");
    EXPECT_EQ(chip_from_driver_listing("x"), "x");
    EXPECT_EQ(chip_from_driver_listing(""), "");
    EXPECT_EQ(chip_from_driver_listing("ab"), "a");
}

TEST_F(RadioRules, pit_power_applies_only_in_pit_mode_without_override)
{
    EXPECT_EQ(choose_tx_power(2000, 100, false, true), 100);
    EXPECT_EQ(choose_tx_power(2000, 100, true, true), 2000);
    EXPECT_EQ(choose_tx_power(2000, 100, false, false), 2000);
    EXPECT_EQ(choose_tx_power(2000, 100, true, false), 2000);
    EXPECT_EQ(choose_tx_power(-5, 0, false, false), -5);  // passed on unclamped
}

TEST_F(RadioRules, rfe_type_follows_the_band_change_at_channel_14)
{
    EXPECT_EQ(rfe_type_for_channels(6, 36, false), 3);
    EXPECT_EQ(rfe_type_for_channels(149, 6, false), 1);
    EXPECT_EQ(rfe_type_for_channels(11, 1, false), 0);
    EXPECT_EQ(rfe_type_for_channels(11, 1, true), 3);
    EXPECT_EQ(rfe_type_for_channels(149, 36, false), 0);
    EXPECT_EQ(rfe_type_for_channels(149, 36, true), 1);
    EXPECT_EQ(rfe_type_for_channels(14, 15, false), 3);
    EXPECT_EQ(rfe_type_for_channels(15, 14, false), 1);
    EXPECT_EQ(rfe_type_for_channels(20, 6, false), 1);  // 15-35 count as 5 GHz here
    EXPECT_EQ(rfe_type_for_channels(36, 0, false), 1);  // 0 counts as 2.4 GHz
    EXPECT_EQ(rfe_type_for_channels(36, -9, false), 1);
}

TEST_F(RadioRules, bus_port_is_taken_from_the_first_device_entry)
{
    EXPECT_EQ(usb_bus_port_from_entries({".", "..", "bind", "1-1.2:1.0", "2-1:1.0"}), "1-1.2");
    EXPECT_EQ(usb_bus_port_from_entries({"2-1:1.0", "1-1:1.0"}), "2-1");
    EXPECT_EQ(usb_bus_port_from_entries({"bind", "unbind", "module", "uevent", ".", ".."}), "");
    EXPECT_EQ(usb_bus_port_from_entries({"1-1", "a1:1.0", ":1.0"}), "");  // no ':' / no digit
    EXPECT_EQ(usb_bus_port_from_entries({"7:"}), "7");
    EXPECT_EQ(usb_bus_port_from_entries({}), "");
}

TEST_F(RadioRules, name_checks_accept_real_names_and_refuse_shell_text)
{
    // Only what the shell or the command reads specially is refused: '~',
    // '!' and '#' mean something only at the start of a word.
    for (const char* ok : {"wlan0",
                           "ath0",
                           "wlx00c0ca123456",
                           "a",
                           "br-lan.10",
                           "w_1",
                           "abcdefghijklmno",
                           "wl@n+0",
                           "wlan0#1",
                           "eth0:1",
                           "a,b",
                           "x-",
                           "a..",
                           "wl~an0",
                           "wl!an0",
                           "a~",
                           "a!",
                           "a=b",
                           "a%b^c",
                           "a\xc3\xa9"}) {
        EXPECT_TRUE(is_valid_interface_name(ok)) << ok;
    }
    for (const char* bad : {"",
                            "abcdefghijklmnop",
                            "wlan0;reboot",
                            "wlan0 x",
                            "$(reboot)",
                            "wl`id`",
                            "a|b",
                            "a/b",
                            "a\nb",
                            ".",
                            "..",
                            "wlan0>x",
                            "a'b",
                            "-a",
                            "--help",
                            "#a",
                            "~a",
                            "!a",
                            "a\tb",
                            "a\x7f",
                            "a\\b",
                            "a*",
                            "a?",
                            "a[1]",
                            "a{b}",
                            "a\"",
                            "a(b)",
                            "a&b",
                            "a<b"}) {
        EXPECT_FALSE(is_valid_interface_name(bad)) << bad;
    }
    // A PHY name only enters a path: blanks and leading '-' are fine there.
    for (const char* ok : {"phy0", "phy 1", "-phy1", "a..b", "ph~y!", "phy;1"}) {
        EXPECT_TRUE(is_valid_phy_name(ok)) << ok;
    }
    for (const std::string& bad :
         {std::string(""), std::string("."), std::string(".."), std::string("a/b"), std::string("../x"),
          std::string("ph\x01y"), std::string("a\x7f"), std::string("a\0b", 3), std::string(65, 'p')}) {
        EXPECT_FALSE(is_valid_phy_name(bad)) << bad;
    }
    for (const char* ok : {"tarn-vrx", "wpa_supplicant.service", "getty@tty1.service", "sys-devices:x",
                           "a+b#c,d.service", "a!b~c.service"}) {
        EXPECT_TRUE(is_valid_service_name(ok)) << ok;
    }
    for (const char* bad : {"", "a;b", "a b", "a&", "a$(x)", "a/b", "a\n", "-Hroot@evil.example", "--help",
                            "foo\\x2dbar.service", "#x", "!ab", "~ab"}) {
        EXPECT_FALSE(is_valid_service_name(bad)) << bad;
    }
    for (const char* ok : {"1-1", "1-1.2", "3-1.4.2", "1"}) {
        EXPECT_TRUE(is_valid_bus_port_name(ok)) << ok;
    }
    for (const char* bad : {"", "1-1;reboot", "1 1", "usb1", "1-1:1.0", "1-1|x", "-1", ".", "..", "-1-1"}) {
        EXPECT_FALSE(is_valid_bus_port_name(bad)) << bad;
    }
}

TEST_F(RadioRules, refused_names_touch_nothing_and_fail_with_one_line)
{
    const std::string bad = "wlan0;reboot";
    CaptureStderr();
    EXPECT_EQ(get_chip(bad), "");
    EXPECT_EQ(set_monitor_mode(bad), -1);
    EXPECT_EQ(set_frequency_and_bw(bad, 5180, 20, REGULATORY_OFF), -1);
    EXPECT_EQ(set_power(bad, 100, 1, false, false), -1);
    EXPECT_EQ(update_RFE_type(1, bad), -1);
    EXPECT_EQ(check_for_RFE_update(36, 6, bad, false), -1);
    EXPECT_EQ(get_ath10k_noise_floor(bad), 0);
    EXPECT_FALSE(is_service_running("x; reboot"));
    const std::string err = GetCapturedStderr();
    EXPECT_TRUE(accesses.empty());
    EXPECT_EQ(err, "get_chip: refusing interface name \"wlan0;reboot\"\n"
                   "set_monitor_mode: refusing interface name \"wlan0;reboot\"\n"
                   "set_frequency_and_bw: refusing interface name \"wlan0;reboot\"\n"
                   "set_power: refusing interface name \"wlan0;reboot\"\n"
                   "update_RFE_type: refusing interface name \"wlan0;reboot\"\n"
                   "update_RFE_type: refusing interface name \"wlan0;reboot\"\n"
                   "get_ath10k_noise_floor: refusing interface name \"wlan0;reboot\"\n"
                   "is_service_running: refusing service name \"x; reboot\"\n");

    // A name with a line end still gives one line.
    CaptureStderr();
    EXPECT_EQ(set_power("a\nb", 1, 1, false, false), -1);
    EXPECT_EQ(GetCapturedStderr(), "set_power: refusing interface name \"a\\x0ab\"\n");
}

TEST_F(RadioRules, invalid_channels_and_dfs_frequencies_touch_nothing)
{
    CaptureStdout();
    EXPECT_EQ(check_for_RFE_update(0, 6, "wlan0", true), -1);
    EXPECT_EQ(check_for_RFE_update(178, 6, "wlan0", true), -1);
    EXPECT_EQ(set_override_parameters(0, 5), -1);
    EXPECT_EQ(set_override_parameters(178, 5), -1);
    EXPECT_EQ(check_for_RFE_update(11, 1, "wlan0", false), 0);  // same band, no force
    EXPECT_EQ(GetCapturedStdout(), "Provided channel is not valid: 0\nProvided channel is not valid: 178\n");

    for (int mhz : {5260, 5500, 5720}) {
        CaptureStdout();
        EXPECT_EQ(set_frequency_and_bw("wlan0", mhz, 20, REGULATORY_FCC), -1);
        const std::string out = GetCapturedStdout();
        EXPECT_NE(out.find("DFS"), std::string::npos);
        EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    }
    EXPECT_TRUE(accesses.empty());
}

TEST_F(RadioRules, accesses_that_cannot_start_give_each_function_its_failure)
{
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(run_command("echo hi"), "");
    EXPECT_FALSE(is_service_running("tarn-vrx"));
    EXPECT_EQ(get_chip("wlan0"), "");
    EXPECT_EQ(set_monitor_mode("wlan0"), -1);
    EXPECT_EQ(set_ath0_monitor_mode(36), -1);
    EXPECT_EQ(set_power("wlan0", 100, 5, false, true), -1);
    EXPECT_EQ(update_RFE_type(3, "wlan0"), -1);
    EXPECT_EQ(set_override_parameters(36, 0), -1);
    EXPECT_EQ(get_ath10k_noise_floor("wlan0"), 0);
    const std::string out = GetCapturedStdout();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(out, "get_chip: cannot open pipe\n"
                   "Setting monitor mode ath0\n"
                   "Failed to open override parameter file: "
                   "/sys/module/88XXau_vtx/parameters/channel_override"
                   "get_chip: cannot open pipe\n");
    EXPECT_EQ(err, "popen() failed!\n"
                   "ERROR: Failed to run systemctl is-active command.\n"
                   "update_RFE_type: opendir: " +
                       std::string(strerror(EACCES)) + "\n");
    const std::vector<std::pair<tarn_io_op, std::string>> expected = {
        {TARN_IO_POPEN, "echo hi"},
        {TARN_IO_POPEN, "systemctl is-active tarn-vrx 2>&1"},
        {TARN_IO_POPEN, "ls /sys/class/net/wlan0/device/driver/module/drivers"},
        {TARN_IO_SYSTEM, "systemctl stop wpa_supplicant"},  // the sequence stops here
        {TARN_IO_POPEN, "bash /usr/bin/enable_vrx.sh -b 5G -c 36"},
        {TARN_IO_SYSTEM, "iw dev wlan0 set txpower fixed 5"},
        {TARN_IO_LIST_DIR, "/sys/module/88XXau_vtx/drivers/usb:rtl88xxau_vtx"},
        {TARN_IO_WRITE, "/sys/module/88XXau_vtx/parameters/channel_override"},
        {TARN_IO_POPEN, "ls /sys/class/net/wlan0/device/driver/module/drivers"},
    };
    EXPECT_EQ(accesses, expected);
}

TEST_F(RadioRules, noise_floor_comes_from_the_first_line_that_converts)
{
    int v = 0;
    EXPECT_TRUE(noise_floor_from_fw_stats("Channel noise floor          -104\n", &v));
    EXPECT_EQ(v, -104);
    EXPECT_TRUE(noise_floor_from_fw_stats("Channel noise floor\t-95\r\nnext", &v));
    EXPECT_EQ(v, -95);
    EXPECT_TRUE(noise_floor_from_fw_stats("Channel noise floor +7", &v));  // no final line end
    EXPECT_EQ(v, 7);
    EXPECT_TRUE(noise_floor_from_fw_stats("TX power  20\nChannel noise floor  -101\nChannel noise floor  -90\n", &v));
    EXPECT_EQ(v, -101);
    EXPECT_TRUE(noise_floor_from_fw_stats("Channel noise floor\t\v-88", &v));  // stoi skips \v
    EXPECT_EQ(v, -88);
    EXPECT_TRUE(noise_floor_from_fw_stats("Channel noise floor 2147483647\n", &v));
    EXPECT_EQ(v, 2147483647);

    CaptureStdout();
    CaptureStderr();
    v = 12345;
    EXPECT_FALSE(noise_floor_from_fw_stats("", &v));
    EXPECT_FALSE(noise_floor_from_fw_stats("channel noise floor -100\n", &v));  // case matters
    EXPECT_EQ(GetCapturedStderr(), "");
    CaptureStderr();
    EXPECT_FALSE(noise_floor_from_fw_stats("Channel noise floor -100 dBm\n", &v));
    EXPECT_FALSE(noise_floor_from_fw_stats("Channel noise floor\n", &v));
    EXPECT_FALSE(noise_floor_from_fw_stats("Channel noise floor 2147483648\n", &v));
    EXPECT_FALSE(noise_floor_from_fw_stats("Channel noise floor -99999999999999999999\n", &v));
    EXPECT_EQ(GetCapturedStderr(), "Error parsing noise floor value: stoi\n"
                                   "Error parsing noise floor value: stoi\n"
                                   "Error parsing noise floor value: stoi\n"
                                   "Error parsing noise floor value: stoi\n");
    EXPECT_EQ(v, 12345);

    CaptureStderr();
    EXPECT_TRUE(noise_floor_from_fw_stats("Channel noise floor -100 \nChannel noise floor -97\n", &v));
    EXPECT_EQ(v, -97);
    EXPECT_EQ(GetCapturedStderr(), "Error parsing noise floor value: stoi\n");
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(RadioRules, sdk_version_is_the_text_after_the_first_tab)
{
    EXPECT_EQ(get_sdk_version("tarn-sdk\t1.2.3\n"), "1.2.3\n");
    EXPECT_EQ(get_sdk_version("tarn-sdk\t"), "");
    EXPECT_EQ(get_sdk_version("a\tb\tc"), "b\tc");
    EXPECT_EQ(get_sdk_version("no tab here"), "N/A ");
    EXPECT_EQ(get_sdk_version(""), "N/A ");
}
