// Settings files of the receiver and transmitter services: open, change one
// top-level setting, write back behind the service's documented header.
#include <cstdio>
#include <cstring>

#include <fmt/core.h>

#include "brisk_json.h"
#include "tarn_common.h"

namespace {

// Both service paths are this long; only this many characters decide the
// header, so "/etc/hexwing/tarn-vtx.conf.new" gets the transmitter's.
constexpr size_t SERVICE_PATH_LEN = 26;
static_assert(sizeof VTX_CONFIG_PATH - 1 == SERVICE_PATH_LEN, "path length");
static_assert(sizeof VRX_CONFIG_PATH - 1 == SERVICE_PATH_LEN, "path length");

int write_config(const char* path, cJSON* root)
{
    if (strncmp(path, VTX_CONFIG_PATH, SERVICE_PATH_LEN) == 0)
        return json_write_to_file_with_header(path, root, VTX_CONFIG_HEADER);
    if (strncmp(path, VRX_CONFIG_PATH, SERVICE_PATH_LEN) == 0)
        return json_write_to_file_with_header(path, root, VRX_CONFIG_HEADER);
    return json_write_to_file(path, root);
}

// Puts item in place of the existing member key and writes the file back.
// A setting the file does not hold is not added (the owning service writes
// its settings itself), and a top level that is not an object is written
// back as it is. Takes ownership of item. The caller holds the lock.
void update_locked(const char* path, const char* key, cJSON* item)
{
    cJSON* root = open_json(path, true);
    if (root == nullptr) {
        fmt::print("Parent JSON is NULL\n");
        fflush(stdout);
        cJSON_Delete(item);
        return;
    }
    if (item == nullptr) {
        fmt::print("Out of memory updating {} in {}\n", key, path);
        fflush(stdout);
        cJSON_Delete(root);
        return;
    }
    // A refused replace (no such member, or no object) leaves item unattached.
    if (!cJSON_IsObject(root) || !cJSON_ReplaceItemInObject(root, key, item)) cJSON_Delete(item);
    if (write_config(path, root) != 0) {
        fmt::print("Error writing config file {}\n", path);
        fflush(stdout);
    }
    cJSON_Delete(root);
}

// The read, the change and the write happen under the file's writers' lock,
// so a concurrent update of any key cannot slip in between and be
// overwritten with the old value.
void update_setting(const char* path, const char* key, cJSON* item)
{
    if (json_lock_file(path) != 0) {
        fmt::print("Error writing config file {}\n", path);
        fflush(stdout);
        cJSON_Delete(item);
        return;
    }
    update_locked(path, key, item);
    json_unlock_file(path);
}

bool check_args(const char* path, const char* key)
{
    if (path != nullptr && key != nullptr) return true;
    fmt::print("Config update called without a {}\n", path == nullptr ? "path" : "key");
    fflush(stdout);
    return false;
}

}  // namespace

cJSON* open_json(const char* path, bool create_if_missing, tarn_say_t say, bool* create_failed)
{
    if (create_failed != nullptr) *create_failed = false;
    if (create_if_missing) {
        int r = json_make_empty_file_if_missing(path);
        if (r < 0) {
            say("Error creating config file\n");
            if (create_failed != nullptr) *create_failed = true;
            return nullptr;
        }
        if (r > 0) {
            say(fmt::format("No configuration file found, created a new empty configuration file "
                            "using defaults: {}\n",
                            path));
        }
    }
    return json_read_file(path);
}

cJSON* open_json(const char* path, bool create_if_missing)
{
    return open_json(
        path, create_if_missing,
        [](const std::string& line) {
            fmt::print("{}", line);
            fflush(stdout);
        },
        nullptr);
}

void config_update_number(const char* path, const char* key, int value, bool as_bool)
{
    if (!check_args(path, key)) return;
    cJSON* item;
    if (as_bool)
        item = value != 0 ? cJSON_CreateTrue() : cJSON_CreateFalse();
    else
        item = cJSON_CreateNumber(static_cast<double>(value));
    update_setting(path, key, item);
}

void config_update_string(const char* path, const char* key, std::string value)
{
    if (!check_args(path, key)) return;
    update_setting(path, key, cJSON_CreateString(value.c_str()));
}

// Headers of the two services' files; each documents every setting.
const char VRX_CONFIG_HEADER[] =
    "/**\n"
    " * tarn-vrx Configuration File\n"
    " *\n"
    " * ============================================================================\n"
    " * WIRELESS RECEPTION SETTINGS (must match VTX)\n"
    " * ============================================================================\n"
    " * frequency: Center frequency in MHz (must match VTX)\n"
    " * bandwidth: Channel bandwidth in MHz (20 or 40, must match VTX)\n"
    " * card: WiFi interface name (e.g., \"wlan0\", \"ath0\")\n"
    " * enable_fec: Enable Forward Error Correction (must match VTX, True/False)\n"
    " * enable_stbc: Enable Space-Time Block Coding (number of spatial streams)\n"
    " * enable_lq_resp: Enable repsonses to Link Quality Requests from a VTX unit\n"
    " *\n"
    " * ============================================================================\n"
    " * VIDEO DECODER SETTINGS\n"
    " * ============================================================================\n"
    " * width: Initial video width hint for decoder\n"
    " * height: Initial video height hint for decoder\n"
    " * encoding: Video codec (\"h264\" or \"h265\")\n"
    " *\n"
    " * ============================================================================\n"
    " * VIDEO DISPLAY SETTINGS\n"
    " * ============================================================================\n"
    " * stretch_to_screen: Stretch video to fill screen (may distort aspect ratio)\n"
    " * splash_on_lost_link: Show splash screen when link is lost\n"
    " * blackout_mode: Show black screen instead of splash/acquiring link/last frame when video is not live\n"
    " * osd_on_link_loss: OSD behavior when video link is lost\n"
    " *             0: No OSD on link loss\n"
    " *             1: Full OSD on link loss\n"
    " *             2: Minimal OSD on link loss (loss%, RSSI, FPS, channel, CPU temp only)\n"
    " * link_loss_indicator: Show indicator when OSD is disabled during link loss (proof of life in blackout mode)\n"
    " * stream_timeout_ms: Time in milliseconds before declaring stream lost\n"
    " *\n"
    " * ============================================================================\n"
    " * ON-SCREEN DISPLAY (OSD) SETTINGS\n"
    " * ============================================================================\n"
    " * debug_osd: Display debug information on OSD\n"
    " * osd_font_file: Path to TrueType font file for OSD text\n"
    " * osd_font_size: Font size for OSD text\n"
    " * ai_detection_enable: Enable AI object detection overlay if received from VTX\n"
    " * ai_detection_show_labels: Show labels on detected objects\n"
    " *\n"
    " * ============================================================================\n"
    " * DECODER PERFORMANCE SETTINGS\n"
    " * ============================================================================\n"
    " * overheat_mitigation: Thermal mitigation level\n"
    " *          -1 (Off/None): Don't throttle based on decode latency\n"
    " *           0 (Latest):   Use latest decode latency for throttling\n"
    " *          >0 (Average):  Number of samples to average for throttling\n"
    " * decode_latency_threshold: Threshold in milliseconds for throttling\n"
    " * display_damaged_frames: Show frames even if tagged as corrupted by decoder\n"
    " * drop_all_bad_pframes: Drop P-frames until next I-frame if decoder flags corruption\n"
    " *\n"
    " * ============================================================================\n"
    " * RECORDING SETTINGS\n"
    " * ============================================================================\n"
    " * record_video: Start recording video on application startup\n"
    " * allow_record_local: Allow recording to local disk when no USB device present\n"
    " *\n"
    " * ============================================================================\n"
    " * UDP MODE (for LTE/Doodle/Silvus/etc - alternative to WiFi injection)\n"
    " * ============================================================================\n"
    " * udp: Use UDP for TX/RX instead of packet injection\n"
    " * udp_interface_ip: Local IP address for UDP interface - used for TX/RX\n"
    " * udp_interface_tx_port: Local transmit port for UDP (-1 to let OS assign)\n"
    " * udp_interface_rx_port: Local receive port for UDP - port to RX on\n"
    " * udp_receiver_configs: Array of endpoints to TX to\n"
    " *   ip: IP address of endpoint to TX to\n"
    " *   port: Port on endpoint to TX to\n"
    " *\n"
    " * ============================================================================\n"
    " * Retransmission over UDP settings\n"
    " * ============================================================================\n"
    " * en_retransmit: Enable retransmissions from this VRX\n"
    " * en_retransmit_with_local_decode: Whether to do any further processing after retransmit (FEC decode, video "
    "decode, render, etc)\n"
    " * retransmit_tx_ip: IP address to transmit retransmissions from\n"
    " * retransmit_tx_port: Port to transmit retransmissions from\n"
    " * retransmit_rx_ip: IP address to send the retransmission to \n"
    " * retransmit_rx_port: Port to send the retransimission to \n"
    " *\n"
    " * ============================================================================\n"
    " * TELEMETRY & NETWORK SETTINGS\n"
    " * ============================================================================\n"
    " * gcs_ip: Ground Control Station IP address to forward MAVLink data to (Ex: ATAK device)\n"
    " * telem_tx_ip: IP on this VRX to transmit MAVLink/Telemetry data from\n"
    " * mpeg_ts_rebroadcast_port: Ground Control Station port to forward MPEG-TS format stream to (Ex: ATAK device)\n"
    " * en_mpeg_ts_rebroadcast: Enable transmitting encoded video stream over UDP (in MPEG-TS format) to GCS_IP \n"
    " *\n"
    " * ============================================================================\n"
    " * SYSTEM SETTINGS\n"
    " * ============================================================================\n"
    " * perf_mode: Set CPU to performance governor when armed for lower latency (True/False)\n"
    " * battery_cell_count: Number of battery cells in VRX for voltage calculation and OSD\n"
    " *\n"
    " * ============================================================================\n"
    " * CHANNEL SCANNING\n"
    " * ============================================================================\n"
    " * scan_dwell_time_ms: Time in milliseconds to dwell on each channel during scan\n"
    " *\n"
    " * ============================================================================\n"
    " * DEBUG & LOGGING\n"
    " * ============================================================================\n"
    " * debug_log: Debug logging to disk behavior\n"
    " *            \"off\": No logging enabled\n"
    " *            \"on\": Start logging on application startup\n"
    " *            \"arm\": Start logging when drone is armed\n"
    " *\n"
    " * ulog: Logging MAVLink and VTX Link stats to ulog behavior\n"
    " *            \"off\": No logging enabled\n"
    " *            \"on\":  Start logging on application startup\n"
    " *            \"arm\": Start logging when drone is armed\n"
    " *\n"
    " */\n";

const char VTX_CONFIG_HEADER[] =
    "/**\n"
    " * tarn-vtx Configuration File\n"
    " *\n"
    " * ============================================================================\n"
    " * WIRELESS TRANSMISSION SETTINGS (must match VRX)\n"
    " * ============================================================================\n"
    " * frequency: Center frequency in MHz (VRX must match)\n"
    " * bandwidth: Channel bandwidth in MHz (20 or 40, VRX must match)\n"
    " * card: WiFi interface name (e.g., \"wlan0\")\n"
    " * enable_pit: Enable PIT mode (low transmit power for bench testing)\n"
    " *\n"
    " * ============================================================================\n"
    " * FORWARD ERROR CORRECTION (must match VRX)\n"
    " * ============================================================================\n"
    " * enable_fec: Enable Forward Error Correction (VRX must match)\n"
    " * fec_percent: FEC overhead percentage [-1, 1000]\n"
    " *              -1: Auto calculated FEC %, minimum of 75%\n"
    " *               0: No FEC applied but headers included in payload\n"
    " *               >0: Specific percentage of FEC to use (Ex: 20, 75, 100)\n"
    " * fec_block_size: Number of fragments per FEC block\n"
    " *\n"
    " * ============================================================================\n"
    " * ADVANCED WIRELESS SETTINGS\n"
    " * ============================================================================\n"
    " * enable_stbc: Enable Space-Time Block Coding (number of spatial streams)\n"
    " * regulatory_mode: Regulatory compliance mode (\"off\", \"fcc\")\n"
    " *\n"
    " * ============================================================================\n"
    " * VIDEO PROFILE CONFIGURATION\n"
    " * ============================================================================\n"
    " * active_profile_idx: Index of currently active video profile (0-based)\n"
    " * rc_toggle: RC channel to use for profile switching\n"
    " * osd_rc_toggle: RC channel for OSD enable/disable control (-1=disabled, 1-18=channel, LOW=osd enabled, HIGH=osd "
    "disabled)\n"
    " * osd_joystick_toggle: Joystick button bit for OSD enable/disable (-1=disabled, 0-32=bit, LOW=osd enabled, "
    "HIGH=osd disabled)\n"
    " * profiles: Array of video stream profiles (see profile section below)\n"
    " *\n"
    " * Profile Configuration:\n"
    " *   name: Profile name (Default, Boson, etc)\n"
    " *   source: Pipe name for video input (ex: \"hires_default_bisp_encoded\")\n"
    " *   mcs: Modulation and Coding Scheme (0-7, higher=faster but less robust)\n"
    " *   mtu: Image payload size in bytes\n"
    " *   power: Transmit power in mW (0-1000)\n"
    " *   invert_toggle: RC channel to use for camera color invert (Boson only, white/black hot)\n"
    " *   joystick_toggle: Button bit to use for joystick control\n"
    " *   ai_detection_enable: Enable AI object detection for this profile\n"
    " *   ai_detection_source: Source pipe for object detection data for this profile\n"
    " *   ai_detection_qty: Maximum number of detected objects to pass to VRX\n"
    " *   ai_detection_threshold: Detection confidence threshold (0.0-1.0)\n"
    " *\n"
    " * ============================================================================\n"
    " * TELEMETRY & DATA RATES\n"
    " * ============================================================================\n"
    " * info_rate_hz: Rate in hertz at which VTX info packets are sent to VRX\n"
    " * mavlink_telem_rate_hz: Rate in hertz at which MAVLink telemetry is forwarded to VRX\n"
    " *\n"
    " * ============================================================================\n"
    " * UDP MODE (for LTE/Doodle/Silvus/etc - alternative to WiFi injection)\n"
    " * ============================================================================\n"
    " * udp: Use UDP for TX/RX instead of packet injection\n"
    " * udp_interface_ip: Local IP address for UDP interface\n"
    " * udp_interface_tx_port: Local transmit port for UDP (-1 to disable)\n"
    " * udp_interface_rx_port: Local receive port for UDP\n"
    " * udp_receiver_configs: Array of remote UDP receivers to send to\n"
    " *   ip: IP address of remote endpoint\n"
    " *   port: Port of remote endpoint\n"
    " *\n"
    " * ============================================================================\n"
    " * HARDWARE & SYSTEM SETTINGS\n"
    " * ============================================================================\n"
    " * i2c_port: I2C bus for temperature/power monitoring\n"
    " *           -1: Disabled\n"
    " *           0+: Enabled, Autodetect VTX power and temperature sensor\n"
    " * perf_mode: Set CPU to performance governor when armed for lower latency (True/False)\n"
    " *\n"
    " * ============================================================================\n"
    " * DEBUG & TESTING\n"
    " * ============================================================================\n"
    " * disable_transmissions: Disable wireless transmissions (for testing/debug)\n"
    " * debug_log: Debug logging to disk behavior\n"
    " *            \"off\": No logging enabled\n"
    " *            \"on\": Start logging on application startup\n"
    " *            \"arm\": Start logging when drone is armed\n"
    " *\n"
    " */\n";
