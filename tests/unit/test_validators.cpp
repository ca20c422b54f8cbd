#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tarn_common.h"

namespace {

constexpr char PREFIX[] = "ERROR validating ";
constexpr char SUFFIX[] = " data received through pipe: ";

// n records of size bytes, each with the magic at magic_offset, starting
// shift bytes into a larger buffer so the records are misaligned.
struct Buffer {
    std::vector<unsigned char> storage;
    int shift;
    int size;
    Buffer(int n, int size_, int magic_offset, int shift_ = 0) : shift(shift_), size(size_)
    {
        storage.assign(static_cast<size_t>(n * size + shift + 8), 0xAB);
        for (int i = 0; i < n; i++) set_magic(i, magic_offset, RECORD_MAGIC_NUMBER);
    }
    unsigned char* data() { return storage.data() + shift; }
    void set_magic(int record, int offset, uint32_t value)
    {
        memcpy(data() + record * size + offset, &value, sizeof value);
    }
};

struct Kind {
    const char* word;
    int size;
    int magic_offset;
    // Calls the validator; returns the result as a plain pointer.
    const void* (*call)(unsigned char* data, int bytes, int* count);
};

void PrintTo(const Kind& k, std::ostream* os)
{
    *os << k.word;
}

const Kind KINDS[] = {
    {"external_fc_status_t", 8, 0,
     [](unsigned char* d, int b, int* c) -> const void* {
         return validate_ext_fc_status_pipe_data(reinterpret_cast<char*>(d), b, c);
     }},
    {"ndc_coords_t", 24, 0,
     [](unsigned char* d, int b, int* c) -> const void* { return pipe_validate_ndc_coords_data(d, b, c); }},
    {"Doodle stats", 32, 4,
     [](unsigned char* d, int b, int* c) -> const void* {
         return tarn_modem_doodle_validate_pipe_data(reinterpret_cast<char*>(d), b, c);
     }},
    {"Tflite", 92, 0, [](unsigned char* d, int b, int* c) -> const void* { return pipe_validate_bbox_data(d, b, c); }},
};

class Validators : public testing::TestWithParam<Kind> {
protected:
    std::string err;
    const void* run(unsigned char* data, int bytes, int* count)
    {
        testing::internal::CaptureStderr();
        const void* r = GetParam().call(data, bytes, count);
        err = testing::internal::GetCapturedStderr();
        return r;
    }
    std::string msg(const std::string& tail) const
    {
        return std::string(PREFIX) + GetParam().word + SUFFIX + tail + "\n";
    }
};

TEST_P(Validators, good_buffers_come_back_with_their_count_at_any_alignment)
{
    const Kind& k = GetParam();
    for (int shift = 0; shift < 4; shift++) {
        for (int n : {0, 1, 3}) {
            Buffer b(n, k.size, k.magic_offset, shift);
            int count = -7;
            EXPECT_EQ(run(b.data(), n * k.size, &count), b.data()) << shift << " " << n;
            EXPECT_EQ(count, n);
            EXPECT_EQ(err, "");
        }
    }
}

TEST_P(Validators, bad_sizes_and_null_are_rejected_in_order)
{
    const Kind& k = GetParam();
    Buffer b(2, k.size, k.magic_offset);
    int count = 5;
    EXPECT_EQ(run(b.data(), -3, &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(err, msg("number of bytes = -3"));

    // The byte count is checked before the pointer.
    count = 5;
    EXPECT_EQ(run(nullptr, -1, &count), nullptr);
    EXPECT_EQ(err, msg("number of bytes = -1"));
    EXPECT_EQ(count, 0);

    count = 5;
    EXPECT_EQ(run(nullptr, 0, &count), nullptr);
    EXPECT_EQ(err, msg("got NULL data pointer"));
    EXPECT_EQ(count, 0);

    count = 5;
    EXPECT_EQ(run(b.data(), 2 * k.size - 1, &count), nullptr);
    EXPECT_EQ(err, msg("read partial packet") + "read " + std::to_string(2 * k.size - 1) +
                       " bytes, but it should be a multiple of " + std::to_string(k.size) + "\n");
    EXPECT_EQ(count, 0);
}

TEST_P(Validators, every_bad_magic_is_reported_and_the_whole_buffer_dropped)
{
    const Kind& k = GetParam();
    for (int shift : {0, 1, 3}) {
        Buffer b(4, k.size, k.magic_offset, shift);
        b.set_magic(1, k.magic_offset, 0);
        b.set_magic(3, k.magic_offset, 0xFFFFFFFFu);
        int count = 5;
        EXPECT_EQ(run(b.data(), 4 * k.size, &count), nullptr);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(err, "ERROR got magic number 0, expected 1413567054\n"
                       "ERROR got magic number -1, expected 1413567054\n" +
                           msg("2 of 4 packets failed"));
    }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, Validators, testing::ValuesIn(KINDS), [](const testing::TestParamInfo<Kind>& info) {
    std::string name = info.param.word;
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

TEST(ValidatorDetails, magic_is_the_little_endian_tarn_bytes)
{
    unsigned char rec[8] = {0x4E, 0x52, 0x41, 0x54, 1, 2, 3, 4};
    int count = 0;
    EXPECT_EQ(validate_ext_fc_status_pipe_data(reinterpret_cast<char*>(rec), 8, &count),
              reinterpret_cast<external_fc_status_t*>(rec));
    EXPECT_EQ(count, 1);
}

TEST(ValidatorDetails, doodle_magic_at_the_start_of_the_record_fails)
{
    Buffer b(2, 32, 0);  // magic where the leading field belongs
    for (int i = 0; i < 2; i++) b.set_magic(i, 4, 0x01020304);
    int count = 9;
    testing::internal::CaptureStderr();
    EXPECT_EQ(tarn_modem_doodle_validate_pipe_data(reinterpret_cast<char*>(b.data()), 64, &count), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count, 0);
    EXPECT_NE(err.find("ERROR got magic number 16909060, expected 1413567054\n"), std::string::npos);
    EXPECT_NE(err.find("Doodle stats data received through pipe: 2 of 2 packets failed\n"), std::string::npos);
}

TEST(ValidatorDetails, short_tflite_buffer_is_a_partial_packet)
{
    std::vector<unsigned char> buf(100, 0);
    int count = 3;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pipe_validate_bbox_data(buf.data(), 100, &count), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR validating Tflite data received through pipe: read partial packet\n"
              "read 100 bytes, but it should be a multiple of 92\n");
    EXPECT_EQ(count, 0);
}

TEST(ValidatorDetails, null_count_is_tolerated)
{
    Buffer b(1, 24, 0);
    EXPECT_EQ(pipe_validate_ndc_coords_data(b.data(), 24, nullptr), reinterpret_cast<ndc_coords_t*>(b.data()));
}

}  // namespace
