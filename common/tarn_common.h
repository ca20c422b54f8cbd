// tarn-common: the link's shared library, used by the transmitter and
// receiver services and by the tools. Declarations of every public function,
// enumeration, record type and constant.
#ifndef TARN_COMMON_H
#define TARN_COMMON_H

#include <cstdint>
#include <deque>
#include <string>

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
int validate_pipe_records(const void* data, int bytes, int record_size, int magic_offset,
                          const char* kind);

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

// ===== Shell commands and service queries ==================================

// ===== Radio interface setup ===============================================

// ===== RF front-end type and channel override ==============================

// ===== Noise floor =========================================================

// ===== Configuration files =================================================

#include <cjson/cJSON.h>

// Comment headers written in front of the settings of each file, documenting
// every setting. Plain ASCII, every line ending in a line feed.
extern const char VRX_CONFIG_HEADER[];
extern const char VTX_CONFIG_HEADER[];

// Reads the settings file at path, first creating it holding an empty object
// when create_if_missing is set (messages on stdout). Returns the tree, which
// the caller frees with cJSON_Delete, or null when the file cannot be made,
// read or parsed.
cJSON* open_json(const char* path, bool create_if_missing);

// Sets the top-level setting key of the file at path (creating the file when
// missing) and writes the file back, behind the service's header for the two
// service paths. as_bool stores value != 0 as true/false, otherwise the
// number. Failures are reported on stdout; the file is then left unchanged.
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
