// The link's Wi-Fi channel plan and the conversions built on it.
#include <cstdio>

#include <fmt/format.h>

#include "tarn_common.h"

const std::map<int, int> all_channels = {
    {1, 2412},   {2, 2417},   {3, 2422},   {4, 2427},   {5, 2432},   {6, 2437},   {7, 2442},   {8, 2447},
    {9, 2452},   {10, 2457},  {11, 2462},  {12, 2467},  {13, 2472},  {36, 5180},  {40, 5200},  {44, 5220},
    {48, 5240},  {52, 5260},  {56, 5280},  {60, 5300},  {64, 5320},  {100, 5500}, {104, 5520}, {108, 5540},
    {112, 5560}, {116, 5580}, {120, 5600}, {124, 5620}, {128, 5640}, {132, 5660}, {136, 5680}, {140, 5700},
    {144, 5720}, {149, 5745}, {153, 5765}, {157, 5785}, {161, 5805}, {165, 5825}, {169, 5845},
};

const std::map<int, int> band_2g_channels = {
    {1, 2412}, {2, 2417}, {3, 2422},  {4, 2427},  {5, 2432},  {6, 2437},  {7, 2442},
    {8, 2447}, {9, 2452}, {10, 2457}, {11, 2462}, {12, 2467}, {13, 2472},
};

const std::map<int, int> band_5g_channels = {
    {36, 5180},  {40, 5200},  {44, 5220},  {48, 5240},  {52, 5260},  {56, 5280},  {60, 5300},  {64, 5320},  {100, 5500},
    {104, 5520}, {108, 5540}, {112, 5560}, {116, 5580}, {120, 5600}, {124, 5620}, {128, 5640}, {132, 5660}, {136, 5680},
    {140, 5700}, {144, 5720}, {149, 5745}, {153, 5765}, {157, 5785}, {161, 5805}, {165, 5825}, {169, 5845},
};

int channel_to_frequency(int channel)
{
    auto it = all_channels.find(channel);
    if (it == all_channels.end()) {
        fmt::print(stdout, "Invalid channel provided (CH: {})!\n", channel);
        fflush(stdout);
        return -1;
    }
    return it->second;
}

int frequency_to_channel(int frequency)
{
    for (const auto& [channel, freq] : all_channels) {
        if (freq == frequency) {
            return channel;
        }
    }
    fmt::print(stdout, "Invalid frequency provided (FRQ: {})!\n", frequency);
    fflush(stdout);
    return -1;
}

int frequency_to_band(int frequency)
{
    return frequency > 5179 ? 1 : 0;
}

int channel_to_band(int channel)
{
    return channel > 35 ? 1 : 0;
}

int get_next_channel(int channel, scan_direction_e direction)
{
    auto it = all_channels.find(channel);
    if (it == all_channels.end()) {
        printf("INVALID Channel provided (%d). Staying on current frequency.\n", channel);
        return channel;
    }
    if (direction == SCAN_UP) {
        ++it;
        if (it == all_channels.end()) {
            it = all_channels.begin();
        }
    } else {
        if (it == all_channels.begin()) {
            it = all_channels.end();
        }
        --it;
    }
    return it->first;
}
