// Channel plan: tables, conversions both ways, bands and the scan ring.
#include <gtest/gtest.h>

#include <vector>

#include "tarn_common.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(ChannelPlan, band_tables_split_all_channels_exactly)
{
    EXPECT_EQ(all_channels.size(), 39u);
    EXPECT_EQ(band_2g_channels.size(), 13u);
    EXPECT_EQ(band_5g_channels.size(), 26u);
    for (const auto& [ch, mhz] : all_channels) {
        const auto& band = ch <= 13 ? band_2g_channels : band_5g_channels;
        const auto& other = ch <= 13 ? band_5g_channels : band_2g_channels;
        ASSERT_EQ(band.count(ch), 1u) << ch;
        EXPECT_EQ(band.at(ch), mhz) << ch;
        EXPECT_EQ(other.count(ch), 0u) << ch;
        EXPECT_EQ(mhz, (ch <= 13 ? 2407 : 5000) + 5 * ch) << ch;
        EXPECT_EQ(frequency_to_band(mhz), ch <= 13 ? 0 : 1) << ch;
        EXPECT_EQ(channel_to_band(ch), ch <= 13 ? 0 : 1) << ch;
    }
    EXPECT_EQ(all_channels.count(14), 0u);
    for (int ch = 65; ch < 100; ch++) {
        EXPECT_EQ(all_channels.count(ch), 0u) << ch;
    }
}

TEST(ChannelPlan, channel_to_frequency_looks_up_and_reports_unplanned_channels)
{
    EXPECT_EQ(channel_to_frequency(36), 5180);
    EXPECT_EQ(channel_to_frequency(169), 5845);
    EXPECT_EQ(channel_to_frequency(1), 2412);
    for (int bad : {14, 0, -5, 65, 170}) {
        CaptureStdout();
        EXPECT_EQ(channel_to_frequency(bad), -1);
        EXPECT_EQ(GetCapturedStdout(), "Invalid channel provided (CH: " + std::to_string(bad) + ")!\n");
    }
}

TEST(ChannelPlan, frequency_to_channel_inverts_every_row_and_reports_unknown_frequencies)
{
    EXPECT_EQ(frequency_to_channel(5745), 149);
    for (const auto& [ch, mhz] : all_channels) {
        EXPECT_EQ(frequency_to_channel(mhz), ch);
    }
    for (int bad : {2484, 5250, -1, 0}) {
        CaptureStdout();
        EXPECT_EQ(frequency_to_channel(bad), -1);
        EXPECT_EQ(GetCapturedStdout(), "Invalid frequency provided (FRQ: " + std::to_string(bad) + ")!\n");
    }
}

TEST(ChannelPlan, bands_follow_their_boundaries_for_any_integer)
{
    EXPECT_EQ(frequency_to_band(5179), 0);
    EXPECT_EQ(frequency_to_band(5180), 1);
    EXPECT_EQ(frequency_to_band(-1), 0);
    EXPECT_EQ(frequency_to_band(2412), 0);
    EXPECT_EQ(channel_to_band(35), 0);
    EXPECT_EQ(channel_to_band(36), 1);
    EXPECT_EQ(channel_to_band(14), 0);
    EXPECT_EQ(channel_to_band(200), 1);
    EXPECT_EQ(channel_to_band(-3), 0);
}

TEST(ChannelPlan, scanning_walks_one_ring_over_both_bands)
{
    const std::vector<int> ring = {1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,  13,
                                   36,  40,  44,  48,  52,  56,  60,  64,  100, 104, 108, 112, 116,
                                   120, 124, 128, 132, 136, 140, 144, 149, 153, 157, 161, 165, 169};
    CaptureStdout();
    int ch = 1;
    for (size_t i = 0; i < ring.size(); i++) {
        ASSERT_EQ(ch, ring[i]);
        ch = get_next_channel(ch, SCAN_UP);
    }
    EXPECT_EQ(ch, 1);  // 169 wraps up to 1
    ch = 169;
    for (size_t i = ring.size(); i-- > 0;) {
        ASSERT_EQ(ch, ring[i]);
        ch = get_next_channel(ch, SCAN_DOWN);
    }
    EXPECT_EQ(ch, 169);  // 1 wraps down to 169
    EXPECT_EQ(GetCapturedStdout(), "");

    EXPECT_EQ(get_next_channel(13, SCAN_UP), 36);
    EXPECT_EQ(get_next_channel(36, SCAN_DOWN), 13);
    EXPECT_EQ(get_next_channel(64, SCAN_UP), 100);
    EXPECT_EQ(get_next_channel(144, SCAN_UP), 149);
    EXPECT_EQ(get_next_channel(169, SCAN_UP), 1);
    EXPECT_EQ(get_next_channel(1, SCAN_DOWN), 169);
}

TEST(ChannelPlan, any_direction_but_up_steps_down)
{
    EXPECT_EQ(get_next_channel(40, static_cast<scan_direction_e>(2)), 36);
    EXPECT_EQ(get_next_channel(40, static_cast<scan_direction_e>(-1)), 36);
    EXPECT_EQ(get_next_channel(1, static_cast<scan_direction_e>(7)), 169);
}

TEST(ChannelPlan, scanning_from_an_unplanned_channel_stays_there)
{
    for (auto dir : {SCAN_UP, SCAN_DOWN}) {
        CaptureStdout();
        EXPECT_EQ(get_next_channel(14, dir), 14);
        EXPECT_EQ(GetCapturedStdout(), "INVALID Channel provided (14). Staying on current frequency.\n");
    }
    CaptureStdout();
    EXPECT_EQ(get_next_channel(-7, SCAN_UP), -7);
    EXPECT_EQ(GetCapturedStdout(), "INVALID Channel provided (-7). Staying on current frequency.\n");
}
