#include <gtest/gtest.h>

#include "tarn_common.h"

// Defined in another translation unit of this program.
const void* symbol_map_seen_elsewhere();
const void* red_seen_elsewhere();

namespace {

TEST(SymbolMap, holds_the_fifty_labels)
{
    EXPECT_EQ(symbolMap.size(), 50u);
    const std::pair<unsigned, const char*> want[] = {
        {0x90, "[Battery Full]"},
        {0x91, "[Battery 5]"},
        {0x92, "[Battery 4]"},
        {0x93, "[Battery 3]"},
        {0x94, "[Battery 2]"},
        {0x95, "[Battery 1]"},
        {0x96, "[Battery Empty]"},
        {0x97, "[Main Battery]"},
        {0x06, "V"},
        {0x9A, "Amp"},
        {0x07, "mAh"},
        {0x57, "W"},
        {0x01, "[RSSI]"},
        {0x89, "[Latitude]"},
        {0x98, "[Longitude]"},
        {0x7F, "[Altitude]"},
        {0x0C, "[Meters]"},
        {0x7D, "[Kilometers]"},
        {0x0E, "[Celsius]"},
        {0x0D, "[Fahrenheit]"},
        {0x70, "[Speed]"},
        {0x9E, "[KPH]"},
        {0x9D, "[MPH]"},
        {0x9F, "[MPS]"},
        {0x99, "[FTPS]"},
        {0x68, "[North]"},
        {0x60, "[South]"},
        {0x64, "[East]"},
        {0x6C, "[West]"},
        {0x61, "[South-East]"},
        {0x63, "[East-South-East]"},
        {0x65, "[East-North-East]"},
        {0x67, "[North-North-East]"},
        {0x69, "[North-North-West]"},
        {0x6A, "[North-West]"},
        {0x6B, "[West-North-West]"},
        {0x6D, "[West-South-West]"},
        {0x6E, "[South-West]"},
        {0x6F, "[South-South-West]"},
        {0x8B, "="},
        {0x8D, "_"},
        {0x8A, "["},
        {0x8F, "]"},
        {0x24, "[Checkered Flag]"},
        {0x79, "[Previous Lap Time]"},
        {0x11, "[Home]"},
        {0x14, "[Roll]"},
        {0x15, "[Pitch]"},
        {0x7A, "[Temperature]"},
        {0x03, "[Cursor]"},
    };
    for (const auto& [code, label] : want) {
        auto it = symbolMap.find(static_cast<unsigned char>(code));
        ASSERT_NE(it, symbolMap.end()) << std::hex << code;
        EXPECT_EQ(it->second, label) << std::hex << code;
    }
    EXPECT_EQ(symbolMap.find(0x62), symbolMap.end());
    EXPECT_EQ(symbolMap.find(0x66), symbolMap.end());
    EXPECT_EQ(symbolMap.find(0x00), symbolMap.end());
    for (const auto& entry : symbolMap) EXPECT_FALSE(entry.second.empty()) << int(entry.first);
}

TEST(SymbolMap, is_one_instance_while_constants_are_copied_per_unit)
{
    EXPECT_EQ(symbol_map_seen_elsewhere(), static_cast<const void*>(&symbolMap));
    // Internal linkage: the other unit has its own copy of the same value.
    EXPECT_NE(red_seen_elsewhere(), static_cast<const void*>(&red));
    EXPECT_EQ(*static_cast<const std::string*>(red_seen_elsewhere()), red);
}

TEST(SharedConstants, values)
{
    EXPECT_EQ(red, "\033[1;31m");
    EXPECT_EQ(green, "\033[1;32m");
    EXPECT_EQ(yellow, "\033[1;33m");
    EXPECT_EQ(blue, "\033[1;36m");
    EXPECT_EQ(orange, "\033[38;5;214m");
    EXPECT_EQ(clear, "\033[0m");
    EXPECT_EQ(ENCRYPTION_KEY_PATH, "/data/hexwing/vtx.key");
    EXPECT_EQ(TRACKING_DOWN_INTRINSICS_FILE, "/data/hexwing/opencv_tracking_down_intrinsics.yml");
    EXPECT_EQ(SocketHelper::ADDRESS_LOCALHOST, "127.0.0.1");
    EXPECT_EQ(SocketHelper::ADDRESS_ANY, "0.0.0.0");
}

TEST(LedStatus, names_the_three_states)
{
    EXPECT_EQ(ledStatusToString(0), "OFF");
    EXPECT_EQ(ledStatusToString(1), "OVERT");
    EXPECT_EQ(ledStatusToString(2), "IR");
    EXPECT_EQ(ledStatusToString(3), "???");
    EXPECT_EQ(ledStatusToString(255), "???");
}

}  // namespace
