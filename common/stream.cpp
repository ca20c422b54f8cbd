// Codec names, NAL unit classification, rolling latency averages, the
// monotonic clock and thread pinning.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <iostream>

#include <fmt/format.h>

#include "tarn_common.h"

vdec_mode_t encodeToDecode(venc_mode_t mode)
{
    switch (mode) {
    case VENC_H264: return VDEC_H264;
    case VENC_H265: return VDEC_H265;
    default: return VDEC_OTHER;
    }
}

venc_mode_t decodeToEncode(vdec_mode_t mode)
{
    switch (mode) {
    case VDEC_H264: return VENC_H264;
    case VDEC_H265: return VENC_H265;
    default: return VENC_OTHER;
    }
}

int get_nalu_type(uint8_t byte, venc_mode_t /*mode*/)
{
    switch (byte) {
    case 0x65: return 5;   // H.264 IDR slice
    case 0x41: return 1;   // H.264 non-IDR slice
    case 0x67: return 7;   // H.264 SPS
    case 0x68: return 8;   // H.264 PPS
    case 0x26: return 19;  // H.265 IDR
    case 0x02: return 1;   // H.265 trailing picture
    case 0x40: return 32;  // H.265 VPS
    case 0x42: return 33;  // H.265 SPS
    case 0x44: return 34;  // H.265 PPS
    default: fmt::print("UNKNOWN H264/H265 NALU Type: {}\n", static_cast<unsigned>(byte)); return 64;
    }
}

int nalu_byte_frame_type(int byte)
{
    switch (byte) {
    case 0x65:
    case 0x7C: return 101;  // IDR, or FU indicator with reference priority 3
    case 0x41:
    case 0x5C: return 65;  // non-IDR, or FU indicator with reference priority 2
    case 0x67: return 103;
    case 0x68: return 104;
    case 0x26: return 19;
    case 0x02: return 1;
    case 0x40: return 32;
    case 0x42: return 33;
    case 0x44: return 34;
    default: std::cerr << "Received unknown NALU Byte: " << byte << std::endl; return 0;
    }
}

std::string nalu_as_string(int code, venc_mode_t mode)
{
    if (mode == VENC_H264) {
        switch (code & 0x1F) {
        case 7: return "H264 (SPS)";
        case 8: return "H264 (PPS)";
        case 1: return "H264 (P)";
        case 5: return "H264 (I)";
        default: return fmt::format("H264 (?) {}", code);
        }
    }
    switch (code) {
    case 1: return "H265 (P)";
    case 19: return "H265 (I)";
    case 32: return "H265 (VPS)";
    case 33: return "H265 (SPS)";
    case 34: return "H265 (PPS)";
    default: return fmt::format("H265 (?) {}", code);
    }
}

frame_kind_e frame_kind_of_code(int32_t code)
{
    switch (code) {
    case 101:
    case 19: return FRAME_KIND_I;
    case 65:
    case 1: return FRAME_KIND_P;
    default: return FRAME_KIND_OTHER;
    }
}

bool parse_frame_type(std::string_view t, int32_t& code, venc_mode_t& codec, frame_kind_e& kind)
{
    if (t.size() < 8 || t[0] != 'H' || t[1] != '2' || t[2] != '6' || t[4] != ' ' || t[5] != '(') return false;
    if (t[3] == '4')
        codec = VENC_H264;
    else if (t[3] == '5')
        codec = VENC_H265;
    else
        return false;
    const std::string_view what = t.substr(5);
    const bool h264 = codec == VENC_H264;
    kind = FRAME_KIND_OTHER;
    // The codes nalu_as_string names: H.264 NAL header bytes, H.265 unit types.
    if (what == "(I)") {
        code = h264 ? 101 : 19;
        kind = FRAME_KIND_I;
    } else if (what == "(P)") {
        code = h264 ? 65 : 1;
        kind = FRAME_KIND_P;
    } else if (what == "(SPS)") {
        code = h264 ? 103 : 33;
    } else if (what == "(PPS)") {
        code = h264 ? 104 : 34;
    } else if (what == "(VPS)" && !h264) {
        code = 32;
    } else if (what.substr(0, 4) == "(?) ") {
        // The number is the code itself, and must be one without a name.
        const std::string_view num = what.substr(4);
        if (num.empty()) return false;
        const char* end = num.data() + num.size();
        auto [p, ec] = std::from_chars(num.data(), end, code);
        if (ec != std::errc() || p != end || nalu_as_string(code, codec) != t) return false;
    } else {
        return false;
    }
    return true;
}

std::string nalu_byte_as_string(int byte)
{
    switch (byte) {
    case 103: return "H264 (SPS)";
    case 104: return "H264 (PPS)";
    case 65:
    case 92: return "H264 (P)";
    case 101:
    case 124: return "H264 (I)";
    default: return "(?)";
    }
}

std::string nalu_header_type_as_string(int type)
{
    switch (type) {
    case 24: return "AGG";
    case 28: return "FU-A";
    default: return "SINGLE";
    }
}

float calc_avg_latency(float latency, std::deque<float>& window)
{
    if (window.size() > 9) window.pop_front();
    window.push_back(latency);
    float sum = 0.0f;
    for (float v : window) sum += v;
    return sum / static_cast<float>(window.size());
}

int64_t time_monotonic_ns()
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        fprintf(stderr, "ERROR calling clock_gettime\n");
        return -1;
    }
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void lock_this_thread_to_big_cores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 4; cpu <= 7; cpu++) CPU_SET(cpu, &set);
    int err = pthread_setaffinity_np(pthread_self(), sizeof(cpu_set_t), &set);
    if (err != 0) {
        // pthread calls return the error instead of setting errno.
        errno = err;
        perror("pthread_setaffinity_np");
    }
}

bool is_bit_set(uint8_t value, int bit)
{
    return ((value >> bit) & 1) != 0;
}
