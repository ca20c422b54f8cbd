// A second unit including the shared header, for the one-instance check.
#include "tarn_common.h"

const void* symbol_map_seen_elsewhere()
{
    return &symbolMap;
}

const void* red_seen_elsewhere()
{
    return &red;
}
