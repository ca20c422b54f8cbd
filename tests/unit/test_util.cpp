#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

#include "tarn_common.h"

namespace {

using Fragment = std::shared_ptr<std::vector<unsigned char>>;

Fragment frag(std::vector<unsigned char> bytes)
{
    return std::make_shared<std::vector<unsigned char>>(std::move(bytes));
}

TEST(HexDump, pointer_form_writes_one_line_on_stderr)
{
    const unsigned char bytes[] = {0x0A, 0xFF, 0x00, 0x7B};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    print_hex(bytes, 2);
    print_hex(bytes, 4);
    print_hex(bytes, 0);
    print_hex(bytes, -5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "0a ff \n0a ff 00 7b \n\n\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    std::vector<unsigned char> big(1000, 0x5C);
    testing::internal::CaptureStderr();
    print_hex(big.data(), 1000);
    std::string line = testing::internal::GetCapturedStderr();
    EXPECT_EQ(line.size(), 3001u);
    EXPECT_EQ(line.find('\n'), 3000u);
}

TEST(HexDump, null_pointers_report_on_stdout_in_both_forms)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    print_hex(nullptr, 4);
    print_hex(Fragment());
    print_all_fragments({frag({0x01}), nullptr, frag({0x02})});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ERROR] print_hex() --> FRAME NULLPTR\n"
                                                      "[ERROR] print_hex() --> FRAME NULLPTR\n"
                                                      "01 \n[ERROR] print_hex() --> FRAME NULLPTR\n02 \n");
}

TEST(HexDump, fragments_go_to_stdout_one_line_each)
{
    testing::internal::CaptureStdout();
    print_hex(frag({0x0A, 0xFF}));
    print_hex(frag({}));
    print_all_fragments({});
    print_all_fragments({frag({0x10}), frag({}), frag({0xde, 0xad})});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0a ff \n\n10 \n\nde ad \n");
}

TEST(Text, split_string_skips_every_kind_of_white_space)
{
    EXPECT_EQ(split_string("  iw  dev  wlan0\n"), (std::vector<std::string>{"iw", "dev", "wlan0"}));
    EXPECT_EQ(split_string("a\tb\vc\fd\re"), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_TRUE(split_string("").empty());
    EXPECT_TRUE(split_string(" \t\n ").empty());
    EXPECT_EQ(split_string("one"), std::vector<std::string>{"one"});
}

TEST(Text, str_ends_with)
{
    EXPECT_TRUE(str_ends_with("wlan0.conf", ".conf"));
    EXPECT_FALSE(str_ends_with(".conf", "wlan0.conf"));
    EXPECT_FALSE(str_ends_with("wlan0.conf", ".CONF"));
    EXPECT_TRUE(str_ends_with("wlan0.conf", ""));
    EXPECT_TRUE(str_ends_with("", ""));
    EXPECT_TRUE(str_ends_with("abc", "abc"));
    EXPECT_FALSE(str_ends_with("xbc", "abc"));
    EXPECT_TRUE(str_ends_with(std::string("a\0b", 3), std::string("\0b", 2)));
}

TEST(Text, is_integer)
{
    for (const char* yes : {"0", "-12", "+007", "99999999999999999999", "5"}) EXPECT_TRUE(is_integer(yes)) << yes;
    for (const char* no : {"", "-", "+", "+-1", " 1", "1 ", "1.0", "0x10", "1-", "--1", "1a"})
        EXPECT_FALSE(is_integer(no)) << '"' << no << '"';
    EXPECT_FALSE(is_integer(std::string("1\0"
                                        "2",
                                        3)));
    EXPECT_FALSE(is_integer("\xD9\xA3"));  // a non-ASCII digit
}

TEST(Numbers, degrees_to_radians)
{
    EXPECT_EQ(degreesToRadians(180.0), M_PI);
    EXPECT_EQ(degreesToRadians(-90.0), -M_PI / 2);
    EXPECT_EQ(degreesToRadians(0.0), 0.0);
    double k = degreesToRadians(1.0);
    uint64_t bits;
    memcpy(&bits, &k, sizeof bits);
    EXPECT_EQ(bits, 0x3F91DF46A2529D39u);
}

TEST(Numbers, generate_salt_gives_eight_lowercase_hex_digits)
{
    std::set<std::string> seen;
    for (int i = 0; i < 20; i++) {
        std::string s = generate_salt();
        ASSERT_EQ(s.size(), 8u) << s;
        EXPECT_EQ(s.find_first_not_of("0123456789abcdef"), std::string::npos) << s;
        seen.insert(s);
    }
    // 20 draws from 2^32 values: a repeat means the engine is not reseeded.
    EXPECT_GT(seen.size(), 18u);
}

}  // namespace
