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

// ===== Pipe record validators ==============================================

// ===== Pipe info update ====================================================

// ===== OSD symbols and shared constants ====================================

// ===== Diagnostics and small utilities =====================================

#endif
