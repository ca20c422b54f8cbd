// OSD symbol labels and LED state names.
#include "tarn_common.h"

// Built once for the process, before main, in this insertion order.
const std::unordered_map<unsigned char, std::string> symbolMap = {
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

std::string ledStatusToString(unsigned char status)
{
    switch (status) {
    case 0: return "OFF";
    case 1: return "OVERT";
    case 2: return "IR";
    default: return "???";
    }
}
