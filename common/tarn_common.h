// tarn-common: the link's shared library, used by the transmitter and
// receiver services and by the tools. Declarations of every public function,
// enumeration, record type and constant.
#ifndef TARN_COMMON_H
#define TARN_COMMON_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

// ===== Records on pipes ====================================================

// First 32-bit field of every record the link sends over pipes ("TARN" read
// from the most significant byte down), little-endian on the wire.
constexpr uint32_t RECORD_MAGIC_NUMBER = 0x5441524E;

// Checks a buffer received through a pipe against fixed-size records that
// carry RECORD_MAGIC_NUMBER at magic_offset: byte count, pointer, whole
// records, then the magic of every record. kind names the record in the
// "ERROR validating <kind> data received through pipe: ..." messages on
// stderr. Returns the record count, or -1 when the buffer must be dropped.
// Reads only the magic numbers, with memcpy, so any alignment is fine.
int validate_pipe_records(const void* data, int bytes, int record_size, int magic_offset, const char* kind);

// ===== Stream helpers ======================================================

enum venc_mode_t : int32_t { VENC_H264 = 0, VENC_H265 = 1, VENC_OTHER = 2 };
enum vdec_mode_t : int32_t { VDEC_H264 = 0, VDEC_H265 = 1, VDEC_OTHER = 2 };

vdec_mode_t encodeToDecode(venc_mode_t mode);
venc_mode_t decodeToEncode(vdec_mode_t mode);

// NAL unit type of a first byte (H.264 or H.265); 64 after printing
// "UNKNOWN H264/H265 NALU Type: <byte>" for a byte outside the table.
int get_nalu_type(uint8_t byte, venc_mode_t mode);
// Frame-type code of a first byte or FU indicator; 0 after a diagnostic.
int nalu_byte_frame_type(int byte);
// Display text of a frame-type code, "H264 (I)", "H265 (?) 77", ...
std::string nalu_as_string(int code, venc_mode_t mode);
// The kinds of frame the latency tools tell apart.
enum frame_kind_e : uint8_t { FRAME_KIND_I = 0, FRAME_KIND_P = 1, FRAME_KIND_OTHER = 2 };
// Kind of a latency record's frame-type code whatever the codec: 101 (H.264
// IDR header byte) and 19 (H.265 IDR) are I-frames, 65 (H.264 non-IDR) and 1
// (H.265 trailing picture) P-frames, every other code is neither.
frame_kind_e frame_kind_of_code(int32_t code);
// The text nalu_as_string printed ("H264 (I)", "H265 (?) 77") back to a code
// that prints the same text, with the codec it names and the kind its name
// says ("(I)", "(P)", else other). false for any text nalu_as_string never
// prints.
bool parse_frame_type(std::string_view text, int32_t& code, venc_mode_t& codec, frame_kind_e& kind);
std::string nalu_byte_as_string(int byte);
std::string nalu_header_type_as_string(int type);

// Rolling mean: keeps the last 10 samples in window (oldest at the front)
// and returns their mean after adding latency.
float calc_avg_latency(float latency, std::deque<float>& window);
// CLOCK_MONOTONIC in nanoseconds, -1 on error.
int64_t time_monotonic_ns();
// Pins the calling thread to CPUs 4-7; reports failure with perror only.
void lock_this_thread_to_big_cores();
bool is_bit_set(uint8_t value, int bit);

// ===== Channel plan ========================================================

#include <map>
#include <vector>

// Channel number -> centre frequency in MHz, ascending by channel. Built
// during static initialisation, never changed afterwards. all_channels holds
// both bands (39 rows) and is the only table the functions below consult.
extern const std::map<int, int> all_channels;
extern const std::map<int, int> band_2g_channels;  // channels 1-13
extern const std::map<int, int> band_5g_channels;  // channels 36-169

// Scan direction: SCAN_UP steps to higher channels, any other value down.
enum scan_direction_e : int32_t { SCAN_DOWN = 0, SCAN_UP = 1 };

// Frequency of a planned channel; -1 after "Invalid channel provided (CH: n)!".
int channel_to_frequency(int channel);
// Channel of a planned frequency; -1 after "Invalid frequency provided (FRQ: n)!".
int frequency_to_channel(int frequency);
// 1 (5 GHz) above 5179 MHz, else 0. Any integer has a band.
int frequency_to_band(int frequency);
// 1 (5 GHz) above channel 35, else 0. Any integer has a band.
int channel_to_band(int channel);
// Neighbour in the one ring of both bands (169 up wraps to 1, 1 down to 169).
// A channel outside the plan is reported and returned unchanged.
int get_next_channel(int channel, scan_direction_e direction);

// ===== Shell commands and service queries ==================================

// Every shell command, popen, kernel-file and directory access of the radio
// functions goes through the tarn_* calls below, so that a caller (a test)
// can watch the exact command texts and paths and make any of them fail.
enum tarn_io_op : int32_t {
    TARN_IO_SYSTEM = 0,   // target: the command text given to system()
    TARN_IO_POPEN = 1,    // target: the command text given to popen(.., "r")
    TARN_IO_READ = 2,     // target: the path of a file read whole
    TARN_IO_WRITE = 3,    // target: the path of a file written (truncated)
    TARN_IO_LIST_DIR = 4  // target: the path of a directory listed
};
// Called before every access with its kind and target. Returning false makes
// the access fail without being attempted (system gives -1, popen a failure,
// files and directories fail with errno EACCES). Null (the default): no hook.
// Set it before any radio call runs; it is not synchronised.
using tarn_io_hook_t = bool (*)(tarn_io_op op, const std::string& target, void* context);
void tarn_set_io_hook(tarn_io_hook_t hook, void* context);

// system(command): the raw wait status, -1 when no shell could be started.
int tarn_system(const std::string& command);
// popen(command, "r"), reads standard output to the end byte for byte into
// *output (may be null to discard), pclose. False when the command could not
// be started (errno set, *output left empty). *status (may be null) gets the
// pclose result.
bool tarn_popen_read(const std::string& command, std::string* output, int* status = nullptr);
// Reads the whole file into *content. 0, or -1 with errno when it cannot be
// opened; a read error later keeps what was read before it.
int tarn_read_file(const std::string& path, std::string* content);
// Opens path for writing (created, truncated) and writes data. 0 on success,
// -1 when it cannot be opened, -2 when the write or the close fails (errno set).
int tarn_write_file(const std::string& path, const std::string& data);
// Writes size bytes to fd, going on after EINTR and short writes. Returns
// the bytes written: size, or fewer when a write failed (errno set; a write
// that took nothing gives ENOSPC). The file writes above use it too.
size_t tarn_write_all(int fd, const void* data, size_t size);
// Faults for tests, on the reads and writes that tarn_read_file,
// tarn_write_file and tarn_write_all make. Called before each read(2) or
// write(2) with TARN_IO_READ or TARN_IO_WRITE, the descriptor and the size
// asked for. Returns -1 with errno set: the call is not made and fails with
// that errno (EINTR stands for a signal; the callers retry); 0: the call is
// made as asked; n > 0: the call is made for at most n bytes (a short read
// or write). Null (the default): no faults. Not synchronised.
using tarn_io_fault_t = long (*)(tarn_io_op op, int fd, size_t size, void* context);
void tarn_set_io_fault(tarn_io_fault_t fault, void* context);
// Names of the entries of a directory in readdir order, "." and ".." included.
// 0, or -1 with errno when the directory cannot be opened.
int tarn_list_dir(const std::string& path, std::vector<std::string>* names);

// Names accepted into shell command texts and paths; anything else is
// refused before a command or path is built. Interface and service names go
// into shell commands as one plain word: refused only for what the shell or
// the command would read specially there: a leading '-', '~', '#' or '!';
// white space and control characters; '/'; the shell's special characters
// ; & | $ ` ' " \ < > ( ) * ? [ ] { }. The rest the kernel allows is fine
// (wl~an0, wl!an0, wl@n+0, wlan0#1, eth0:1). Interface: at most 15 bytes,
// not "." or "..". Service: at most 255, not "." or "..". The PHY name read
// from /sys only enters a file path: at most 64 bytes, not "." or "..", no
// '/' and no control character (a blank is fine). USB bus-port: a digit,
// then digits, '-' and '.' (1-1.2).
bool is_valid_interface_name(const std::string& name);
bool is_valid_service_name(const std::string& name);
bool is_valid_bus_port_name(const std::string& name);
bool is_valid_phy_name(const std::string& name);

// Standard output of command (through the shell), whole and unchanged; an
// empty string after "popen() failed!" on stderr when it cannot be started.
std::string run_command(const std::string& command);
// True exactly when "systemctl is-active <service>" answers "active"
// (trailing " \n\r\t" ignored). False after a message for a refused name or
// a command that cannot be started.
bool is_service_running(const std::string& service);
// Text after the first tab of line (tabs and newline kept), or "N/A ".
std::string get_sdk_version(const std::string& line);

// ===== Radio interface setup ===============================================

// Regulatory mode of the link; only REGULATORY_FCC changes behaviour.
enum RegulatoryDomain : int32_t { REGULATORY_OFF = 0, REGULATORY_FCC = 1 };

// Chip identifier of a driver listing (one bus-qualified driver per line):
// "rtl8812au" when it names rtl8812au or rtl88xxau_vtx, otherwise the listing
// without its final character when it has at least two.
std::string chip_from_driver_listing(const std::string& listing);
// Chip identifier of a network interface, from "ls /sys/class/net/<if>/device/
// driver/module/drivers". Empty when nothing was read or the name is refused.
std::string get_chip(std::string interface);
// Stops and disables wpa_supplicant and NetworkManager, then takes the
// interface down, into monitor mode (otherbss) and up. 0 when every command
// ran (whatever its exit status), -1 when one could not be started (the rest
// are skipped) or the name is refused.
int set_monitor_mode(std::string interface);
// Runs "bash /usr/bin/enable_vrx.sh -b <2G|5G> -c <channel>" (5G above
// channel 14), output discarded. 0, or -1 when it could not be started.
int set_ath0_monitor_mode(int channel);
// Tunes with "iw dev <if> set freq ..." (HT20 for bandwidth 20, else HT40+;
// always 5180 on rtl8812au, whose channel goes through channel_override).
// -1 for 5260-5720 MHz under REGULATORY_FCC (nothing run) or a refused name,
// otherwise the raw system() status.
int set_frequency_and_bw(std::string interface, int frequency, int bandwidth, RegulatoryDomain domain);
// Value handed to iw: pit_power when pit_mode is on and not overridden, else power.
int choose_tx_power(int power, int pit_power, bool pit_override, bool pit_mode);
// "iw dev <if> set txpower fixed <value>" (mBm, unchanged). The raw system()
// status, or -1 for a refused name.
int set_power(std::string interface, int power, int pit_power, bool pit_override, bool pit_mode);
// Asks the CPU statistics service ("cpu_stats2") for its performance mode.
// The pipe library's result unchanged: negative when nothing listens.
int set_perf_mode();

// ===== RF front-end type and channel override ==============================

// RFE type a move from current_channel to new_channel needs (3 for 2.4 GHz,
// channels up to 14; 1 for 5 GHz, 15 and above), or 0 when none is due:
// both on one band and force not set. new_channel is not checked here.
int rfe_type_for_channels(int new_channel, int current_channel, bool force);
// USB bus-port name ("1-1.2") of the first directory entry that starts with
// a digit and holds a ':' (the part before it); empty when none qualifies.
std::string usb_bus_port_from_entries(const std::vector<std::string>& entries);
// Writes rtw_RFE_type of the 88XXau_vtx driver by unbinding and rebinding its
// USB device, the interface taken down and up around it. 0 on success, -1
// when no device was found or a name is refused, else the OR of the raw
// system() statuses of the five counted commands.
int update_RFE_type(int rfe_type, std::string interface);
// -1 for new_channel outside 1-177 (after a message), 0 when no RFE change
// is due, otherwise the result of update_RFE_type.
int check_for_RFE_update(int new_channel, int current_channel, std::string interface, bool force);
// Writes channel (1-177) to the driver's channel_override. The second integer
// has no effect. 0, or -1 for a bad channel or a failed open, write or close.
int set_override_parameters(int channel, int);

// ===== Noise floor =========================================================

// Value of the first "Channel noise floor" line of ath10k fw_stats text whose
// last blank-separated field converts to an int (leading blanks and sign
// taken, digits up to the first other character). Lines whose field fails
// print "Error parsing noise floor value: stoi" on stderr. Returns false
// when no line gives a value.
bool noise_floor_from_fw_stats(const std::string& stats, int* value);
// Channel noise floor the ath10k driver reports for the interface, 0 when
// the radio is not ath10k, nothing was read, or the name is refused.
int get_ath10k_noise_floor(const std::string& interface);

// ===== Configuration files =================================================

#include <cjson/cJSON.h>

// The settings files of the receiver and of the transmitter; the writers
// below give each its header.
constexpr char VRX_CONFIG_PATH[] = "/etc/hexwing/tarn-vrx.conf";
constexpr char VTX_CONFIG_PATH[] = "/etc/hexwing/tarn-vtx.conf";

// Comment headers written in front of the settings of each file, documenting
// every setting. Plain ASCII, every line ending in a line feed.
extern const char VRX_CONFIG_HEADER[];
extern const char VTX_CONFIG_HEADER[];

// Reads the settings file at path, first creating it holding an empty object
// when create_if_missing is set (messages on stdout). Returns the tree, which
// the caller frees with cJSON_Delete, or null when the file cannot be made,
// read or parsed.
cJSON* open_json(const char* path, bool create_if_missing);
// The same, with its messages (each a whole line, ending in a line feed)
// given to say instead of stdout: a program that writes its own output (the
// inspector) keeps it in one place. *create_failed (may be null) tells a
// file that could not be made (already said) from one that could not be read.
using tarn_say_t = void (*)(const std::string& line);
cJSON* open_json(const char* path, bool create_if_missing, tarn_say_t say, bool* create_failed);

// Replaces the top-level setting key of the file at path (creating the file,
// holding an empty object, when missing) and writes the file back, behind the
// service's header for the two service paths. A setting the file does not
// hold is not added: the owning service writes its settings itself. as_bool
// stores value != 0 as true/false, otherwise the number. Failures are
// reported on stdout; the file is then left unchanged.
//
// Concurrent updates: each update holds the file's writers' lock (see
// json_lock_file in brisk_json.h) from before it reads the file until the
// new file is in place, and every write of the JSON library takes the same
// lock. So updates of one file from several threads or processes happen one
// after the other and none is lost, whatever keys they change; a caller
// need not serialise them. A caller that reads a setting and writes a value
// computed from it (a counter) holds the lock itself around both: the
// update helpers inside then do not wait for it. A writer killed at any
// point releases the lock with its process and leaves the old file or the
// new one, never a torn one. An update that cannot get the lock within
// JSON_LOCK_WAIT_MS is not made and says so on stdout.
void config_update_number(const char* path, const char* key, int value, bool as_bool);
void config_update_string(const char* path, const char* key, std::string value);

// ===== Pipe record validators ==============================================

// Records of other services, checked as received through pipes. Only the
// magic number (RECORD_MAGIC_NUMBER) is read here; the publishers own the
// other bytes.
struct external_fc_status_t {
    uint32_t magic_number;
    uint8_t payload[4];
};
struct ndc_coords_t {
    uint32_t magic_number;
    uint8_t payload[20];
};
// The only record whose magic does not open it: bytes 0-3 hold another field.
struct doodle_stats_t {
    uint32_t leading_field;
    uint32_t magic_number;
    uint8_t payload[24];
};
struct tflite_data_t {
    uint32_t magic_number;
    uint8_t payload[88];
};
static_assert(sizeof(external_fc_status_t) == 8, "external_fc_status_t is 8 bytes on the wire");
static_assert(sizeof(ndc_coords_t) == 24, "ndc_coords_t is 24 bytes on the wire");
static_assert(sizeof(doodle_stats_t) == 32, "doodle_stats_t is 32 bytes on the wire");
static_assert(sizeof(tflite_data_t) == 92, "tflite_data_t is 92 bytes on the wire");

// Each returns data typed as its records with *count set to their number, or
// null with *count 0 after "ERROR ..." messages on stderr (see
// validate_pipe_records). The returned pointer is data itself, at whatever
// alignment the pipe delivered it: copy records out with memcpy.
external_fc_status_t* validate_ext_fc_status_pipe_data(char* data, int bytes, int* count);
ndc_coords_t* pipe_validate_ndc_coords_data(const unsigned char* data, int bytes, int* count);
doodle_stats_t* tarn_modem_doodle_validate_pipe_data(char* data, int bytes, int* count);
tflite_data_t* pipe_validate_bbox_data(const unsigned char* data, int bytes, int* count);

// ===== Pipe info update ====================================================

// Writes "string_format", "int_format", "width", "height" and "framerate"
// into the info object of pipe server channel and republishes it. replace
// clear appends the five members (even when present already); replace set
// changes only members the object already holds. Returns 0, or -1 after a
// message on stdout when the channel has no info object. The object stays
// the pipe library's.
int UpdatePipeJson(int channel, int format, int width, int height, int framerate, bool replace);

// ===== OSD symbols and shared constants ====================================

#include <unordered_map>

// Readable labels of the OSD's one-byte symbol codes (50 entries). One
// instance for the whole process, defined in the library.
extern const std::unordered_map<unsigned char, std::string> symbolMap;

// ANSI terminal colours; internal linkage, one copy per unit.
const std::string red = "\033[1;31m";
const std::string green = "\033[1;32m";
const std::string yellow = "\033[1;33m";
const std::string blue = "\033[1;36m";  // bold cyan
const std::string orange = "\033[38;5;214m";
const std::string clear = "\033[0m";

const std::string ENCRYPTION_KEY_PATH = "/data/hexwing/vtx.key";
const std::string TRACKING_DOWN_INTRINSICS_FILE = "/data/hexwing/opencv_tracking_down_intrinsics.yml";

namespace SocketHelper {
const std::string ADDRESS_LOCALHOST = "127.0.0.1";
const std::string ADDRESS_ANY = "0.0.0.0";
}  // namespace SocketHelper

// "OFF", "OVERT", "IR" for LED states 0, 1, 2; "???" for any other.
std::string ledStatusToString(unsigned char status);

// ===== Diagnostics and small utilities =====================================

#include <memory>
#include <vector>

// Dumps len bytes as "0a ff " (two lowercase digits and a blank each) on one
// stderr line; a null data prints "[ERROR] print_hex() --> FRAME NULLPTR" on
// stdout instead.
void print_hex(const unsigned char* data, int len);
// The same dump of a fragment, on stdout; a null fragment prints the same
// NULLPTR message.
void print_hex(std::shared_ptr<std::vector<unsigned char>> frame);
// One print_hex line per fragment, in order.
void print_all_fragments(std::vector<std::shared_ptr<std::vector<unsigned char>>> fragments);

// Words of text separated by runs of white space; never an empty word.
std::vector<std::string> split_string(const std::string& text);
// True when str ends with suffix (byte for byte); an empty suffix is true.
bool str_ends_with(const std::string& str, const std::string& suffix);
// True for an optional "+"/"-" then one or more ASCII digits, of any length.
bool is_integer(const std::string& text);
double degreesToRadians(double degrees);
// 8 random lowercase hexadecimal digits from a fresh random_device-seeded
// engine; lets the device's exception through when it has no entropy source.
std::string generate_salt();

#endif
