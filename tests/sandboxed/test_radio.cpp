// Radio control against a fake system: a tmpfs /sys tree shaped like the
// drivers' and fake systemctl, ifconfig, iw, sudo, tee, udhcpc and
// enable_vrx.sh that log their arguments and exit as a rule file says.
// Runs only inside scripts/sandbox.sh (a throwaway root).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "brisk_pipe.h"
#include "tarn_common.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const std::string fake_dir = "/run/tarn-fake";
const std::string log_path = fake_dir + "/log";
const std::string rules_path = fake_dir + "/rules";
const char* const fake_names[] = {"systemctl", "ifconfig", "iw", "udhcpc"};

bool sandbox_ready = false;

// Logs "<name> <args>", then applies the first rule "glob|stdout|stderr|status"
// that matches that line (printf %b escapes in the two texts).
const char* const fake_program = R"(#!/bin/sh
line="$(basename "$0") $*"
printf '%s\n' "$line" >> /run/tarn-fake/log
st=0
if [ -f /run/tarn-fake/rules ]; then
  while IFS='|' read -r pat out err code; do
    case "$line" in
      $pat) [ -n "$out" ] && printf '%b' "$out"
            [ -n "$err" ] && printf '%b' "$err" >&2
            st=$code; break ;;
    esac
  done < /run/tarn-fake/rules
fi
exit $st
)";
const char* const fake_sudo = R"(#!/bin/sh
printf '%s\n' "sudo $*" >> /run/tarn-fake/log
exec "$@"
)";
const char* const fake_tee = R"(#!/bin/sh
printf '%s\n' "tee $*" >> /run/tarn-fake/log
cat > "$1"
)";

void write_file(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    ASSERT_TRUE(f) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void make_dirs(const std::string& path)
{
    std::string partial;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) {
            continue;
        }
        partial += "/" + part;
        if (mkdir(partial.c_str(), 0755) != 0) {
            ASSERT_EQ(errno, EEXIST) << partial;
        }
    }
}

bool dir_is_empty(const char* path)
{
    DIR* d = opendir(path);
    if (d == nullptr) {
        return false;
    }
    int n = 0;
    while (const dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            n++;
        }
    }
    closedir(d);
    return n == 0;
}

std::vector<std::string> log_lines()
{
    std::vector<std::string> lines;
    std::ifstream f(log_path);
    for (std::string l; std::getline(f, l);) {
        lines.push_back(l);
    }
    return lines;
}

void set_rules(const std::string& rules)
{
    write_file(rules_path, rules);
}

class SandboxEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        // Everything below replaces system programs and mounts over /sys:
        // refuse to start anywhere but in the throwaway root.
        const char* flag = getenv("TARN_SANDBOXED");
        ASSERT_TRUE(flag != nullptr && std::string(flag) == "1") << "run this program through scripts/sandbox.sh";
        ASSERT_EQ(geteuid(), 0u);
        struct statfs fs {};
        ASSERT_EQ(statfs("/sys", &fs), 0);
        ASSERT_NE(fs.f_type, static_cast<decltype(fs.f_type)>(SYSFS_MAGIC)) << "/sys is a real sysfs";
        ASSERT_TRUE(dir_is_empty("/sys")) << "/sys is not the sandbox's empty folder";

        make_dirs(fake_dir + "/bin");
        for (const char* name : fake_names) {
            write_file(fake_dir + "/bin/" + name, fake_program, 0755);
        }
        write_file(fake_dir + "/bin/sudo", fake_sudo, 0755);
        write_file(fake_dir + "/bin/tee", fake_tee, 0755);
        write_file("/usr/bin/enable_vrx.sh", fake_program, 0755);
        // Shadow the real programs in the private overlay too, so a lookup
        // that misses the fake folder still finds a fake.
        for (const char* dir : {"/usr/bin/", "/usr/sbin/"}) {
            for (const char* name : {"systemctl", "ifconfig", "iw", "udhcpc", "sudo", "tee"}) {
                const std::string path = std::string(dir) + name;
                if (access(path.c_str(), F_OK) == 0) {
                    write_file(path, read_file(fake_dir + "/bin/" + name), 0755);
                }
            }
        }
        setenv("PATH", (fake_dir + "/bin:/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
        sandbox_ready = true;
    }
};

testing::Environment* const sandbox_environment = testing::AddGlobalTestEnvironment(new SandboxEnvironment);

// Every access the library makes, in order; veto may refuse one.
std::vector<std::pair<tarn_io_op, std::string>> accesses;
std::function<bool(tarn_io_op, const std::string&)> veto;

bool record_access(tarn_io_op op, const std::string& target, void*)
{
    accesses.emplace_back(op, target);
    return !(veto && veto(op, target));
}

std::vector<std::string> commands_run()
{
    std::vector<std::string> out;
    for (const auto& [op, target] : accesses) {
        if (op == TARN_IO_SYSTEM || op == TARN_IO_POPEN) {
            out.push_back(target);
        }
    }
    return out;
}

const std::string rtl_dev = "/sys/module/88XXau_vtx/drivers/usb:rtl88xxau_vtx";
const std::string rfe_param = "/sys/module/88XXau_vtx/parameters/rtw_RFE_type";
const std::string override_param = "/sys/module/88XXau_vtx/parameters/channel_override";

class Radio : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sandbox_ready);
        // A fresh fake /sys for every test.
        umount2("/sys", MNT_DETACH);
        ASSERT_TRUE(dir_is_empty("/sys"));
        ASSERT_EQ(mount("tarn-fake-sys", "/sys", "tmpfs", 0, "mode=755"), 0) << strerror(errno);

        // wlan0: the Realtek USB radio; wlan1: an ath10k PCI radio on phy1.
        make_dirs("/sys/class/net/wlan0/device/driver/module/drivers/usb:rtl88xxau_vtx");
        make_dirs("/sys/class/net/wlan1/device/driver/module/drivers/pci:ath10k_pci");
        make_dirs("/sys/class/net/wlan1/phy80211");
        write_file("/sys/class/net/wlan1/phy80211/name", "phy1\r\n");
        make_dirs("/sys/kernel/debug/ieee80211/phy1/ath10k");
        write_file("/sys/kernel/debug/ieee80211/phy1/ath10k/fw_stats", "             ath10k PDEV stats\n"
                                                                       "             =================\n\n"
                                                                       "           Channel noise floor        -104\n"
                                                                       "              Channel TX power          40\n");
        make_dirs(rtl_dev + "/1-1.2:1.0");
        make_dirs(rtl_dev + "/module");
        for (const char* f : {"bind", "unbind", "uevent"}) {
            write_file(rtl_dev + "/" + f, "");
        }
        make_dirs("/sys/module/88XXau_vtx/parameters");
        write_file(rfe_param, "0\n");
        write_file(override_param, "0\n");
        make_dirs("/sys/bus/usb/drivers/usb");
        write_file("/sys/bus/usb/drivers/usb/bind", "");
        write_file("/sys/bus/usb/drivers/usb/unbind", "");

        unlink(log_path.c_str());
        unlink(rules_path.c_str());
        accesses.clear();
        veto = nullptr;
        tarn_set_io_hook(record_access, nullptr);
    }

    void TearDown() override { tarn_set_io_hook(nullptr, nullptr); }
};

}  // namespace

TEST_F(Radio, run_command_returns_standard_output_whole)
{
    EXPECT_EQ(run_command("printf 'hi\\n'"), "hi\n");
    CaptureStderr();
    EXPECT_EQ(run_command("echo only-errors >&2"), "");
    EXPECT_EQ(GetCapturedStderr(), "only-errors\n");
    const std::string long_line(300, 'x');
    EXPECT_EQ(run_command("printf '%s\\n' " + long_line), long_line + "\n");
    // NUL bytes do not cut the output short.
    EXPECT_EQ(run_command("printf 'a\\000b\\nc'"), std::string("a\0b\nc", 5));
    EXPECT_EQ(run_command("printf 'out'; exit 3"), "out");
    EXPECT_EQ(run_command("no-such-program-tarn 2>/dev/null"), "");
}

TEST_F(Radio, service_is_running_only_when_systemctl_answers_active)
{
    const std::vector<std::pair<std::string, bool>> answers = {
        {"active\\n", true},      {"active \\r\\t\\n", true}, {"active", true},
        {"inactive\\n", false},   {" active\\n", false},      {"", false},
        {"activating\\n", false}, {"failed\\n", false},
    };
    for (const auto& [answer, expected] : answers) {
        set_rules("systemctl is-active*|" + answer + "||3\n");
        EXPECT_EQ(is_service_running("tarn-vrx.service"), expected) << answer;
    }
    // The answer on standard error counts too: the command merges it.
    set_rules("systemctl is-active*||active\\n|0\n");
    EXPECT_TRUE(is_service_running("tarn-vrx"));
    EXPECT_EQ(commands_run().back(), "systemctl is-active tarn-vrx 2>&1");
    EXPECT_EQ(log_lines().back(), "systemctl is-active tarn-vrx");

    accesses.clear();
    unlink(log_path.c_str());
    CaptureStderr();
    EXPECT_FALSE(is_service_running("tarn-vrx;touch /run/tarn-fake/owned"));
    EXPECT_EQ(GetCapturedStderr(),
              "is_service_running: refusing service name \"tarn-vrx;touch /run/tarn-fake/owned\"\n");
    EXPECT_TRUE(accesses.empty());
    EXPECT_TRUE(log_lines().empty());
    EXPECT_NE(access("/run/tarn-fake/owned", F_OK), 0);
}

TEST_F(Radio, chip_comes_from_the_driver_listing)
{
    EXPECT_EQ(get_chip("wlan0"), "rtl8812au");
    EXPECT_EQ(get_chip("wlan1"), "pci:ath10k_pci");
    make_dirs("/sys/class/net/wlan2/device/driver/module/drivers/usb:rtl8812au");
    EXPECT_EQ(get_chip("wlan2"), "rtl8812au");
    make_dirs("/sys/class/net/wlan3/device/driver/module/drivers/usb:aaa");
    make_dirs("/sys/class/net/wlan3/device/driver/module/drivers/usb:bbb");
    EXPECT_EQ(get_chip("wlan3"), "usb:aaa\nusb:bbb");
    make_dirs("/sys/class/net/wlan3/device/driver/module/drivers/usb:rtl88xxau_vtx");
    EXPECT_EQ(get_chip("wlan3"), "rtl8812au");
    CaptureStderr();
    EXPECT_EQ(get_chip("wlan9"), "");  // ls complains on stderr
    EXPECT_NE(GetCapturedStderr().find("wlan9"), std::string::npos);
    EXPECT_EQ(commands_run().front(), "ls /sys/class/net/wlan0/device/driver/module/drivers");
}

TEST_F(Radio, monitor_mode_runs_seven_commands_in_order)
{
    // Services that do not exist do not stop the sequence.
    set_rules("systemctl *||Unit not loaded.\\n|5\n");
    CaptureStderr();
    EXPECT_EQ(set_monitor_mode("wlx00c0ca123456"), 0);
    GetCapturedStderr();
    const std::vector<std::string> expected = {
        "systemctl stop wpa_supplicant", "systemctl disable wpa_supplicant",
        "systemctl stop NetworkManager", "systemctl disable NetworkManager",
        "ifconfig wlx00c0ca123456 down", "iw dev wlx00c0ca123456 set monitor otherbss",
        "ifconfig wlx00c0ca123456 up",
    };
    EXPECT_EQ(commands_run(), expected);
    EXPECT_EQ(log_lines(), expected);
}

TEST_F(Radio, monitor_mode_stops_at_a_command_that_cannot_start)
{
    veto = [](tarn_io_op, const std::string& cmd) { return cmd.rfind("ifconfig", 0) == 0; };
    EXPECT_EQ(set_monitor_mode("wlan0"), -1);
    EXPECT_EQ(commands_run().size(), 5u);
    EXPECT_EQ(log_lines().size(), 4u);  // the four systemctl steps ran; nothing after
    EXPECT_EQ(log_lines().back(), "systemctl disable NetworkManager");
}

TEST_F(Radio, refused_interface_names_start_no_process)
{
    const std::string evil = "wlan0;touch /run/tarn-fake/owned";
    CaptureStderr();
    EXPECT_EQ(set_monitor_mode(evil), -1);
    EXPECT_EQ(get_chip(evil), "");
    EXPECT_EQ(set_frequency_and_bw(evil, 5180, 20, REGULATORY_OFF), -1);
    EXPECT_EQ(set_power("$(touch /run/tarn-fake/owned)", 1, 1, false, false), -1);
    EXPECT_EQ(update_RFE_type(1, "wlan0`touch /run/tarn-fake/owned`"), -1);
    EXPECT_EQ(get_ath10k_noise_floor("wlan1 /x"), 0);
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("set_monitor_mode: refusing interface name \"" + evil + "\"\n"), std::string::npos);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 6);
    EXPECT_TRUE(accesses.empty());
    EXPECT_TRUE(log_lines().empty());
    EXPECT_NE(access("/run/tarn-fake/owned", F_OK), 0);
}

TEST_F(Radio, names_that_would_be_options_or_shell_text_start_no_process)
{
    std::vector<std::string> bad = {
        // Options: systemctl -H opens an ssh connection, ifconfig -a lists all.
        "-a",
        "--help",
        "-Hroot@evil.example",
        // White space and control characters.
        "wlan0 x",
        "wlan0\tx",
        " wlan0",
        "wlan0\n",
        "wl\x01"
        "an",
        "wl\x7f"
        "an",
        // A shell comment, a home folder, a negation, a path, the two dot names.
        "#wlan0",
        "~wlan0",
        "!wlan0",
        "a/b",
        ".",
        "..",
    };
    for (char c : std::string(";&|$`'\"<>()*?[]{}\\")) {
        bad.push_back(std::string("wl") + c + "an0");
    }
    CaptureStdout();
    CaptureStderr();
    for (const auto& name : bad) {
        EXPECT_EQ(set_monitor_mode(name), -1) << name;
        EXPECT_EQ(get_chip(name), "") << name;
        EXPECT_EQ(set_frequency_and_bw(name, 5180, 20, REGULATORY_OFF), -1) << name;
        EXPECT_EQ(set_power(name, 1, 1, false, false), -1) << name;
        EXPECT_EQ(update_RFE_type(1, name), -1) << name;
        EXPECT_EQ(get_ath10k_noise_floor(name), 0) << name;
        EXPECT_FALSE(is_service_running(name)) << name;
    }
    GetCapturedStdout();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), static_cast<long>(7 * bad.size()));
    EXPECT_NE(err.find("is_service_running: refusing service name \"-Hroot@evil.example\"\n"), std::string::npos);
    EXPECT_NE(err.find("set_monitor_mode: refusing interface name \"wl\\x01an\"\n"), std::string::npos);
    EXPECT_TRUE(accesses.empty());
    EXPECT_EQ(log_lines(), std::vector<std::string>{});
}

TEST_F(Radio, names_with_other_characters_the_kernel_allows_reach_the_commands)
{
    for (const std::string name : {"wl@n+0", "wlan0#1", "eth0:1", "w,l=a%n^0", "wl~an0", "wl!an0", "wl\xc3\xa9"}) {
        unlink(log_path.c_str());
        EXPECT_EQ(set_monitor_mode(name), 0) << name;
        EXPECT_EQ(set_power(name, 1500, 100, false, false), 0) << name;
        const std::vector<std::string> lines = log_lines();
        ASSERT_EQ(lines.size(), 8u) << name;
        // The fake joins its arguments with blanks: the name arrived as one word.
        EXPECT_EQ(lines[4], "ifconfig " + name + " down");
        EXPECT_EQ(lines[5], "iw dev " + name + " set monitor otherbss");
        EXPECT_EQ(lines[6], "ifconfig " + name + " up");
        EXPECT_EQ(lines[7], "iw dev " + name + " set txpower fixed 1500");
    }
    set_rules("systemctl is-active*|active\\n||0\n");
    for (const std::string unit : {"getty@tty1.service", "sys-x:y.device", "a+b#c,d.service"}) {
        unlink(log_path.c_str());
        EXPECT_TRUE(is_service_running(unit)) << unit;
        EXPECT_EQ(log_lines(), std::vector<std::string>{"systemctl is-active " + unit});
    }
}

TEST_F(Radio, noise_floor_refuses_a_phy_name_that_is_not_a_plain_name)
{
    // Statistics outside debugfs that a crafted name would lead to.
    make_dirs(fake_dir + "/x/ath10k");
    write_file(fake_dir + "/x/ath10k/fw_stats", "Channel noise floor -50\n");
    for (const std::string phy : {"../../../../../run/tarn-fake/x", "..", "phy1/../../x", "ph\x01y"}) {
        write_file("/sys/class/net/wlan1/phy80211/name", phy + "\n");
        accesses.clear();
        CaptureStderr();
        EXPECT_EQ(get_ath10k_noise_floor("wlan1"), 0) << phy;
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(err.rfind("get_ath10k_noise_floor: refusing PHY name \"", 0), 0u) << err;
        // The chip listing and the name file, nothing else.
        EXPECT_EQ(accesses.size(), 2u) << phy;
    }
    // A plain name still works, and so does a name with a blank: it only
    // enters the debugfs path, never a shell.
    write_file("/sys/class/net/wlan1/phy80211/name", "phy1\n");
    EXPECT_EQ(get_ath10k_noise_floor("wlan1"), -104);
    make_dirs("/sys/kernel/debug/ieee80211/phy 2/ath10k");
    write_file("/sys/kernel/debug/ieee80211/phy 2/ath10k/fw_stats", "Channel noise floor -97\n");
    write_file("/sys/class/net/wlan1/phy80211/name", "phy 2\n");
    EXPECT_EQ(get_ath10k_noise_floor("wlan1"), -97);
}

TEST_F(Radio, ath0_script_gets_the_band_word_at_the_14_boundary)
{
    set_rules("enable_vrx.sh*|script says hello\\n||4\n");
    CaptureStdout();
    EXPECT_EQ(set_ath0_monitor_mode(14), 0);  // the script's status is not used
    EXPECT_EQ(set_ath0_monitor_mode(15), 0);
    EXPECT_EQ(set_ath0_monitor_mode(0), 0);
    EXPECT_EQ(set_ath0_monitor_mode(-3), 0);
    EXPECT_EQ(GetCapturedStdout(), "Setting monitor mode ath0\nSetting monitor mode ath0\n"
                                   "Setting monitor mode ath0\nSetting monitor mode ath0\n");
    const std::vector<std::string> expected = {
        "bash /usr/bin/enable_vrx.sh -b 2G -c 14",
        "bash /usr/bin/enable_vrx.sh -b 5G -c 15",
        "bash /usr/bin/enable_vrx.sh -b 2G -c 0",
        "bash /usr/bin/enable_vrx.sh -b 2G -c -3",
    };
    EXPECT_EQ(commands_run(), expected);
    const std::vector<std::string> logged = {
        "enable_vrx.sh -b 2G -c 14",
        "enable_vrx.sh -b 5G -c 15",
        "enable_vrx.sh -b 2G -c 0",
        "enable_vrx.sh -b 2G -c -3",
    };
    EXPECT_EQ(log_lines(), logged);
}

TEST_F(Radio, fcc_refuses_dfs_frequencies_before_running_anything)
{
    for (int mhz : {5260, 5720, 5500}) {
        CaptureStdout();
        EXPECT_EQ(set_frequency_and_bw("wlan1", mhz, 20, REGULATORY_FCC), -1);
        EXPECT_NE(GetCapturedStdout().find("DFS"), std::string::npos);
    }
    EXPECT_TRUE(accesses.empty());
    EXPECT_TRUE(log_lines().empty());

    EXPECT_EQ(set_frequency_and_bw("wlan1", 5240, 20, REGULATORY_FCC), 0);
    EXPECT_EQ(set_frequency_and_bw("wlan1", 5745, 20, REGULATORY_FCC), 0);
    EXPECT_EQ(set_frequency_and_bw("wlan1", 5260, 20, REGULATORY_OFF), 0);
    const std::vector<std::string> logged = {
        "iw dev wlan1 set freq 5240 HT20",
        "iw dev wlan1 set freq 5745 HT20",
        "iw dev wlan1 set freq 5260 HT20",
    };
    EXPECT_EQ(log_lines(), logged);
}

TEST_F(Radio, tuning_uses_the_chip_and_the_ht_mode)
{
    set_rules("iw dev wlan1 set freq 5500*|||1\n");
    EXPECT_EQ(set_frequency_and_bw("wlan0", 5745, 40, REGULATORY_OFF), 0);
    EXPECT_EQ(set_frequency_and_bw("wlan1", 2437, 20, REGULATORY_OFF), 0);
    EXPECT_EQ(set_frequency_and_bw("wlan1", 5180, 80, REGULATORY_OFF), 0);
    EXPECT_EQ(set_frequency_and_bw("wlan1", 5180, 0, REGULATORY_OFF), 0);
    EXPECT_EQ(set_frequency_and_bw("wlan1", 5500, 40, REGULATORY_OFF), 256);  // raw wait status
    const std::vector<std::string> expected = {
        "ls /sys/class/net/wlan0/device/driver/module/drivers", "iw dev wlan0 set freq 5180 HT40+",
        "ls /sys/class/net/wlan1/device/driver/module/drivers", "iw dev wlan1 set freq 2437 HT20",
        "ls /sys/class/net/wlan1/device/driver/module/drivers", "iw dev wlan1 set freq 5180 HT40+",
        "ls /sys/class/net/wlan1/device/driver/module/drivers", "iw dev wlan1 set freq 5180 HT40+",
        "ls /sys/class/net/wlan1/device/driver/module/drivers", "iw dev wlan1 set freq 5500 HT40+",
    };
    EXPECT_EQ(commands_run(), expected);
    // An interface without a driver listing gets the generic command.
    CaptureStderr();
    EXPECT_EQ(set_frequency_and_bw("wlan7", 2412, 20, REGULATORY_OFF), 0);
    GetCapturedStderr();
    EXPECT_EQ(log_lines().back(), "iw dev wlan7 set freq 2412 HT20");
}

TEST_F(Radio, transmit_power_picks_pit_power_only_in_pit_mode)
{
    set_rules("iw dev wlan0 set txpower fixed 77|||2\n");
    EXPECT_EQ(set_power("wlan0", 2000, 100, false, true), 0);
    EXPECT_EQ(set_power("wlan0", 2000, 100, true, true), 0);
    EXPECT_EQ(set_power("wlan0", 2000, 100, false, false), 0);
    EXPECT_EQ(set_power("wlan0", 2000, 100, true, false), 0);
    EXPECT_EQ(set_power("wlan0", 77, 100, false, false), 512);
    const std::vector<std::string> expected = {
        "iw dev wlan0 set txpower fixed 100",  "iw dev wlan0 set txpower fixed 2000",
        "iw dev wlan0 set txpower fixed 2000", "iw dev wlan0 set txpower fixed 2000",
        "iw dev wlan0 set txpower fixed 77",
    };
    EXPECT_EQ(commands_run(), expected);
    EXPECT_EQ(log_lines(), expected);
}

namespace {

const std::vector<std::string> rfe_commands(const std::string& ifname, const std::string& port, int type)
{
    return {
        "ifconfig " + ifname + " down",
        "ifconfig wwan0 down > /dev/null 2>&1",
        "echo " + port + " | sudo tee /sys/bus/usb/drivers/usb/unbind > /dev/null",
        "echo " + std::to_string(type) + " > /sys/module/88XXau_vtx/parameters/rtw_RFE_type",
        "echo " + port + " | sudo tee /sys/bus/usb/drivers/usb/bind > /dev/null",
        "ifconfig " + ifname + " up",
        "ifconfig wwan0 up > /dev/null 2>&1",
        "sudo udhcpc -q -f -i wwan0 > /dev/null 2>&1 &",
    };
}

// The DHCP client runs in the background; wait until it has logged.
void wait_for_dhcp_client()
{
    for (int i = 0; i < 250; i++) {
        for (const auto& l : log_lines()) {
            if (l.rfind("udhcpc", 0) == 0) {
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "udhcpc never ran";
}

}  // namespace

TEST_F(Radio, rfe_update_rebinds_the_usb_device_around_the_write)
{
    set_rules("ifconfig wwan0*||no such device\\n|1\n");
    EXPECT_EQ(update_RFE_type(1, "wlan0"), 0);  // failing wwan0 steps do not count
    wait_for_dhcp_client();
    EXPECT_EQ(commands_run(), rfe_commands("wlan0", "1-1.2", 1));
    const std::vector<std::string> logged = {
        "ifconfig wlan0 down",
        "ifconfig wwan0 down",
        "sudo tee /sys/bus/usb/drivers/usb/unbind",
        "tee /sys/bus/usb/drivers/usb/unbind",
        "sudo tee /sys/bus/usb/drivers/usb/bind",
        "tee /sys/bus/usb/drivers/usb/bind",
        "ifconfig wlan0 up",
        "ifconfig wwan0 up",
        "sudo udhcpc -q -f -i wwan0",
        "udhcpc -q -f -i wwan0",
    };
    EXPECT_EQ(log_lines(), logged);
    EXPECT_EQ(read_file("/sys/bus/usb/drivers/usb/unbind"), "1-1.2\n");
    EXPECT_EQ(read_file("/sys/bus/usb/drivers/usb/bind"), "1-1.2\n");
    EXPECT_EQ(read_file(rfe_param), "1\n");
    EXPECT_EQ(accesses.front(), std::make_pair(TARN_IO_LIST_DIR, rtl_dev));
}

TEST_F(Radio, rfe_update_ors_the_wait_statuses_of_the_counted_commands)
{
    // Only the RFE write fails, with exit code 1: the result is its wait status.
    unlink(rfe_param.c_str());
    ASSERT_EQ(symlink("/dev/full", rfe_param.c_str()), 0);
    CaptureStderr();
    EXPECT_EQ(update_RFE_type(3, "wlan0"), 256);
    EXPECT_NE(GetCapturedStderr().find("I/O error"), std::string::npos);
    wait_for_dhcp_client();
    EXPECT_EQ(commands_run(), rfe_commands("wlan0", "1-1.2", 3));

    // Two counted failures (exit 1 and exit 2) and every command still runs.
    accesses.clear();
    unlink(log_path.c_str());
    set_rules("ifconfig wlan0 down|||1\nifconfig wlan0 up|||2\n");
    CaptureStderr();
    EXPECT_EQ(update_RFE_type(1, "wlan0"), 256 | 512 | 256);
    GetCapturedStderr();
    wait_for_dhcp_client();
    EXPECT_EQ(commands_run().size(), 8u);

    // A counted command that cannot start makes the result -1, and the rest run.
    accesses.clear();
    unlink(log_path.c_str());
    unlink(rfe_param.c_str());
    write_file(rfe_param, "0\n");
    veto = [](tarn_io_op, const std::string& cmd) { return cmd.rfind("ifconfig wlan0 down", 0) == 0; };
    set_rules("");
    EXPECT_EQ(update_RFE_type(1, "wlan0"), -1);
    EXPECT_EQ(commands_run().size(), 8u);
    EXPECT_EQ(read_file(rfe_param), "1\n");
    wait_for_dhcp_client();
}

TEST_F(Radio, rfe_update_without_a_device_runs_nothing)
{
    // Only non-device entries.
    rmdir((rtl_dev + "/1-1.2:1.0").c_str());
    CaptureStdout();
    EXPECT_EQ(update_RFE_type(1, "wlan0"), -1);
    EXPECT_EQ(GetCapturedStdout(), "Failed to find USB dev bus and port.\n");

    // No driver directory at all (module not loaded).
    const std::string drivers = "/sys/module/88XXau_vtx/drivers";
    ASSERT_EQ(rename(rtl_dev.c_str(), (drivers + "/gone").c_str()), 0);
    CaptureStderr();
    EXPECT_EQ(update_RFE_type(1, "wlan0"), -1);
    EXPECT_EQ(GetCapturedStderr(), "update_RFE_type: opendir: " + std::string(strerror(ENOENT)) + "\n");
    EXPECT_TRUE(commands_run().empty());
    EXPECT_TRUE(log_lines().empty());
}

TEST_F(Radio, rfe_update_uses_the_first_listed_device_and_checks_its_name)
{
    make_dirs(rtl_dev + "/2-1:1.0");
    make_dirs(rtl_dev + "/3-1.4:1.0");
    // Which device comes first is up to the directory listing.
    std::string first;
    DIR* d = opendir(rtl_dev.c_str());
    ASSERT_NE(d, nullptr);
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9' && strchr(e->d_name, ':') != nullptr) {
            first = std::string(e->d_name, strchr(e->d_name, ':'));
            break;
        }
    }
    closedir(d);
    EXPECT_EQ(update_RFE_type(3, "wlan0"), 0);
    wait_for_dhcp_client();
    EXPECT_EQ(commands_run(), rfe_commands("wlan0", first, 3));

    // A device entry that would smuggle shell text into the commands.
    for (const char* e : {"1-1.2:1.0", "2-1:1.0", "3-1.4:1.0"}) {
        rmdir((rtl_dev + "/" + e).c_str());
    }
    // If it ran, the fake iw would log "iw injected".
    ASSERT_EQ(mkdir((rtl_dev + "/1-1;iw injected:1.0").c_str(), 0755), 0);
    accesses.clear();
    unlink(log_path.c_str());
    CaptureStderr();
    EXPECT_EQ(update_RFE_type(3, "wlan0"), -1);
    EXPECT_EQ(GetCapturedStderr(), "update_RFE_type: refusing USB bus-port name \"1-1;iw injected\"\n");
    EXPECT_TRUE(commands_run().empty());
    EXPECT_EQ(log_lines(), std::vector<std::string>{});
}

TEST_F(Radio, rfe_check_writes_the_type_the_band_change_needs)
{
    struct Case {
        int new_ch, cur_ch;
        bool force;
        const char* written;  // nullptr: nothing runs
    };
    const Case cases[] = {
        {6, 36, false, "3\n"}, {149, 6, false, "1\n"}, {11, 1, false, nullptr},    {11, 1, true, "3\n"},
        {20, 6, false, "1\n"}, {36, 0, false, "1\n"},  {157, 149, false, nullptr}, {157, 149, true, "1\n"},
    };
    for (const auto& c : cases) {
        write_file(rfe_param, "x");
        accesses.clear();
        unlink(log_path.c_str());
        const int rc = check_for_RFE_update(c.new_ch, c.cur_ch, "wlan0", c.force);
        EXPECT_EQ(rc, 0) << c.new_ch << " from " << c.cur_ch;
        if (c.written == nullptr) {
            EXPECT_TRUE(accesses.empty()) << c.new_ch << " from " << c.cur_ch;
            EXPECT_EQ(read_file(rfe_param), "x");
        } else {
            EXPECT_EQ(read_file(rfe_param), c.written) << c.new_ch << " from " << c.cur_ch;
            wait_for_dhcp_client();
        }
    }
    accesses.clear();
    CaptureStdout();
    EXPECT_EQ(check_for_RFE_update(0, 36, "wlan0", true), -1);
    EXPECT_EQ(check_for_RFE_update(178, 6, "wlan0", true), -1);
    EXPECT_EQ(GetCapturedStdout(), "Provided channel is not valid: 0\nProvided channel is not valid: 178\n");
    EXPECT_TRUE(accesses.empty());
}

TEST_F(Radio, channel_override_writes_the_bare_number)
{
    EXPECT_EQ(set_override_parameters(36, 99), 0);
    EXPECT_EQ(read_file(override_param), "36");
    EXPECT_EQ(set_override_parameters(1, 0), 0);
    EXPECT_EQ(read_file(override_param), "1");
    EXPECT_EQ(set_override_parameters(177, -4), 0);
    EXPECT_EQ(read_file(override_param), "177");

    accesses.clear();
    EXPECT_EQ(set_override_parameters(178, 0), -1);
    EXPECT_EQ(set_override_parameters(0, 0), -1);
    EXPECT_TRUE(accesses.empty());
    EXPECT_EQ(read_file(override_param), "177");
}

TEST_F(Radio, channel_override_reports_failed_open_and_failed_write)
{
    unlink(override_param.c_str());
    make_dirs(override_param);  // a folder in its place cannot be opened for writing
    CaptureStdout();
    EXPECT_EQ(set_override_parameters(36, 0), -1);
    EXPECT_EQ(GetCapturedStdout(), "Failed to open override parameter file: " + override_param);

    // The driver refusing the write (here: no space left) is a failure too.
    rmdir(override_param.c_str());
    ASSERT_EQ(symlink("/dev/full", override_param.c_str()), 0);
    CaptureStdout();
    EXPECT_EQ(set_override_parameters(36, 0), -1);
    EXPECT_EQ(GetCapturedStdout(), "Failed to write override parameter file: " + override_param + "\n");
}

TEST_F(Radio, noise_floor_is_read_from_the_ath10k_statistics)
{
    EXPECT_EQ(get_ath10k_noise_floor("wlan1"), -104);
    std::vector<std::pair<tarn_io_op, std::string>> expected = {
        {TARN_IO_POPEN, "ls /sys/class/net/wlan1/device/driver/module/drivers"},
        {TARN_IO_READ, "/sys/class/net/wlan1/phy80211/name"},
        {TARN_IO_READ, "/sys/kernel/debug/ieee80211/phy1/ath10k/fw_stats"},
    };
    EXPECT_EQ(accesses, expected);

    const std::string stats = "/sys/kernel/debug/ieee80211/phy1/ath10k/fw_stats";
    write_file(stats, "Channel noise floor -96 dBm\nChannel noise floor\t-93\r\n");
    CaptureStderr();
    EXPECT_EQ(get_ath10k_noise_floor("wlan1"), -93);
    EXPECT_EQ(GetCapturedStderr(), "Error parsing noise floor value: stoi\n");

    write_file(stats, "nothing here\n");
    CaptureStderr();
    EXPECT_EQ(get_ath10k_noise_floor("wlan1"), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(Radio, noise_floor_is_zero_without_an_ath10k_phy_or_statistics)
{
    // Not an ath10k radio: no file is opened.
    EXPECT_EQ(get_ath10k_noise_floor("wlan0"), 0);
    ASSERT_EQ(accesses.size(), 1u);
    EXPECT_EQ(accesses[0].first, TARN_IO_POPEN);

    CaptureStderr();
    write_file("/sys/class/net/wlan1/phy80211/name", " \t\r\n");
    EXPECT_EQ(get_ath10k_noise_floor("wlan1"), 0);
    write_file("/sys/class/net/wlan1/phy80211/name", "");
    EXPECT_EQ(get_ath10k_noise_floor("wlan1"), 0);
    unlink("/sys/class/net/wlan1/phy80211/name");
    EXPECT_EQ(get_ath10k_noise_floor("wlan1"), 0);
    write_file("/sys/class/net/wlan1/phy80211/name", "phy2\n");
    EXPECT_EQ(get_ath10k_noise_floor("wlan1"), 0);
    EXPECT_EQ(GetCapturedStderr(), "Warning: Unable to determine PHY for interface wlan1\n"
                                   "Warning: Unable to determine PHY for interface wlan1\n"
                                   "Warning: Unable to determine PHY for interface wlan1\n"
                                   "Warning: Unable to open /sys/kernel/debug/ieee80211/phy2/ath10k/fw_stats\n");
}

TEST_F(Radio, perf_mode_request_fails_when_nothing_listens)
{
    EXPECT_LT(set_perf_mode(), 0);
    EXPECT_TRUE(accesses.empty());
}

namespace {

std::mutex control_mutex;
std::condition_variable control_cv;
std::string control_received;

void _control_cb(int, char* cmd, int bytes, void*)
{
    std::lock_guard<std::mutex> lock(control_mutex);
    control_received.assign(cmd, strnlen(cmd, static_cast<size_t>(bytes)));
    control_cv.notify_all();
}

}  // namespace

TEST_F(Radio, perf_mode_request_reaches_the_cpu_statistics_service)
{
    ASSERT_EQ(pipe_server_create(0, "cpu_stats2", 0), 0);
    pipe_server_set_control_cb(0, _control_cb, nullptr);
    EXPECT_EQ(set_perf_mode(), 0);
    {
        std::unique_lock<std::mutex> lock(control_mutex);
        control_cv.wait_for(lock, std::chrono::seconds(5), [] { return !control_received.empty(); });
        EXPECT_EQ(control_received, "set_cpu_mode_perf_with_pitmode");
    }
    pipe_server_close(0);
}
