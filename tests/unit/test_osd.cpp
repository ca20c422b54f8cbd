#include <gtest/gtest.h>

#include "tarn_common.h"

// Defined in another translation unit of this program.
const void* symbol_map_seen_elsewhere();
const void* red_seen_elsewhere();

namespace {

TEST(SymbolMap, HoldsTheFiftyLabels)
{
    EXPECT_EQ(symbolMap.size(), 50u);
    EXPECT_EQ(symbolMap.at(0x90), "[Battery Full]");
    EXPECT_EQ(symbolMap.at(0x03), "[Cursor]");
    EXPECT_EQ(symbolMap.at(0x8F), "]");
    EXPECT_EQ(symbolMap.at(0x06), "V");
    EXPECT_EQ(symbolMap.at(0x61), "[South-East]");
    EXPECT_EQ(symbolMap.at(0x6A), "[North-West]");
    EXPECT_EQ(symbolMap.at(0x6E), "[South-West]");
    EXPECT_EQ(symbolMap.at(0x79), "[Previous Lap Time]");
    EXPECT_EQ(symbolMap.find(0x62), symbolMap.end());
    EXPECT_EQ(symbolMap.find(0x66), symbolMap.end());
    EXPECT_EQ(symbolMap.find(0x00), symbolMap.end());
    for (const auto& entry : symbolMap) EXPECT_FALSE(entry.second.empty()) << int(entry.first);
}

TEST(SymbolMap, IsOneInstanceWhileConstantsAreCopiedPerUnit)
{
    EXPECT_EQ(symbol_map_seen_elsewhere(), static_cast<const void*>(&symbolMap));
    // Internal linkage: the other unit has its own copy of the same value.
    EXPECT_NE(red_seen_elsewhere(), static_cast<const void*>(&red));
    EXPECT_EQ(*static_cast<const std::string*>(red_seen_elsewhere()), red);
}

TEST(SharedConstants, Values)
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

TEST(LedStatus, NamesTheThreeStates)
{
    EXPECT_EQ(ledStatusToString(0), "OFF");
    EXPECT_EQ(ledStatusToString(1), "OVERT");
    EXPECT_EQ(ledStatusToString(2), "IR");
    EXPECT_EQ(ledStatusToString(3), "???");
    EXPECT_EQ(ledStatusToString(255), "???");
}

}  // namespace
