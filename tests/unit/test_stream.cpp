#include <gtest/gtest.h>

#include <deque>

#include "tarn_common.h"

TEST(CalcAvgLatency, slides_over_the_last_ten_samples)
{
    std::deque<float> w;
    const float want[] = {1, 1.5, 2, 2.5, 3, 3.5, 4, 4.5, 5, 5.5, 6.5, 7.5};
    for (int k = 1; k <= 12; k++) {
        EXPECT_FLOAT_EQ(calc_avg_latency(static_cast<float>(k), w), want[k - 1]) << "call " << k;
        EXPECT_EQ(w.size(), static_cast<size_t>(std::min(k, 10)));
    }
    EXPECT_EQ(w.front(), 3.0f);  // samples 3..12 remain, oldest first
    EXPECT_EQ(w.back(), 12.0f);
}

TEST(NaluAsString, names_h264_by_the_low_five_bits_and_keeps_the_whole_code_otherwise)
{
    EXPECT_EQ(nalu_as_string(101, VENC_H264), "H264 (I)");
    EXPECT_EQ(nalu_as_string(65, VENC_H264), "H264 (P)");
    EXPECT_EQ(nalu_as_string(1, VENC_H264), "H264 (P)");
    EXPECT_EQ(nalu_as_string(103, VENC_H264), "H264 (SPS)");
    EXPECT_EQ(nalu_as_string(104, VENC_H264), "H264 (PPS)");
    EXPECT_EQ(nalu_as_string(0x25, VENC_H264), "H264 (I)");  // type 5 with another priority
    EXPECT_EQ(nalu_as_string(19, VENC_H264), "H264 (?) 19");
    EXPECT_EQ(nalu_as_string(102, VENC_H264), "H264 (?) 102");
    EXPECT_EQ(nalu_as_string(-3, VENC_H264), "H264 (?) -3");  // -3 & 31 is 29
}

TEST(NaluAsString, names_every_other_mode_as_h265)
{
    EXPECT_EQ(nalu_as_string(19, VENC_H265), "H265 (I)");
    EXPECT_EQ(nalu_as_string(1, VENC_H265), "H265 (P)");
    EXPECT_EQ(nalu_as_string(32, VENC_OTHER), "H265 (VPS)");
    EXPECT_EQ(nalu_as_string(33, VENC_H265), "H265 (SPS)");
    EXPECT_EQ(nalu_as_string(34, static_cast<venc_mode_t>(7)), "H265 (PPS)");
    EXPECT_EQ(nalu_as_string(5, VENC_OTHER), "H265 (?) 5");
    EXPECT_EQ(nalu_as_string(-3, VENC_H265), "H265 (?) -3");
    EXPECT_EQ(nalu_as_string(101, VENC_H265), "H265 (?) 101");
}

TEST(NaluBytes, classify_first_bytes_and_report_unknown_ones)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_nalu_type(0x65, VENC_H265), 5);
    EXPECT_EQ(get_nalu_type(0x26, VENC_H264), 19);
    EXPECT_EQ(get_nalu_type(0x44, VENC_H264), 34);
    EXPECT_EQ(get_nalu_type(0x7C, VENC_H264), 64);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "UNKNOWN H264/H265 NALU Type: 124\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(nalu_byte_frame_type(0x7C), 101);
    EXPECT_EQ(nalu_byte_frame_type(0x5C), 65);
    EXPECT_EQ(nalu_byte_frame_type(0x02), 1);
    EXPECT_EQ(nalu_byte_frame_type(0x43), 0);
    EXPECT_EQ(nalu_byte_frame_type(-5), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Received unknown NALU Byte: 67\nReceived unknown NALU Byte: -5\n");

    EXPECT_EQ(nalu_byte_as_string(92), "H264 (P)");
    EXPECT_EQ(nalu_byte_as_string(124), "H264 (I)");
    EXPECT_EQ(nalu_byte_as_string(19), "(?)");
    EXPECT_EQ(nalu_header_type_as_string(24), "AGG");
    EXPECT_EQ(nalu_header_type_as_string(28), "FU-A");
    EXPECT_EQ(nalu_header_type_as_string(0), "SINGLE");
}

TEST(CodecModes, convert_both_ways_with_a_fallback)
{
    EXPECT_EQ(encodeToDecode(VENC_H265), VDEC_H265);
    EXPECT_EQ(encodeToDecode(static_cast<venc_mode_t>(9)), VDEC_OTHER);
    EXPECT_EQ(decodeToEncode(VDEC_H264), VENC_H264);
    EXPECT_EQ(decodeToEncode(static_cast<vdec_mode_t>(-1)), VENC_OTHER);
}

TEST(SmallHelpers, bits_and_clock)
{
    EXPECT_TRUE(is_bit_set(0x80, 7));
    EXPECT_FALSE(is_bit_set(0x80, 6));
    EXPECT_FALSE(is_bit_set(0xFF, 8));
    EXPECT_TRUE(is_bit_set(0x01, 0));
    const int64_t a = time_monotonic_ns();
    const int64_t b = time_monotonic_ns();
    EXPECT_GT(a, 0);
    EXPECT_GE(b, a);
}
