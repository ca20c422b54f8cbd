// Checks of records other services publish on pipes, all on the one shared
// pattern of validate_pipe_records.
#include <cstddef>

#include "tarn_common.h"

namespace {

// Sets *count before any check so a rejected buffer always reports 0.
template <typename Record>
Record* validate_as(const void* data, int bytes, int* count, int magic_offset, const char* kind)
{
    if (count != nullptr) *count = 0;
    int n = validate_pipe_records(data, bytes, static_cast<int>(sizeof(Record)), magic_offset, kind);
    if (n < 0) return nullptr;
    if (count != nullptr) *count = n;
    return static_cast<Record*>(const_cast<void*>(data));
}

}  // namespace

external_fc_status_t* validate_ext_fc_status_pipe_data(char* data, int bytes, int* count)
{
    return validate_as<external_fc_status_t>(data, bytes, count,
                                             offsetof(external_fc_status_t, magic_number),
                                             "external_fc_status_t");
}

ndc_coords_t* pipe_validate_ndc_coords_data(const unsigned char* data, int bytes, int* count)
{
    return validate_as<ndc_coords_t>(data, bytes, count, offsetof(ndc_coords_t, magic_number),
                                     "ndc_coords_t");
}

doodle_stats_t* tarn_modem_doodle_validate_pipe_data(char* data, int bytes, int* count)
{
    static_assert(offsetof(doodle_stats_t, magic_number) == 4, "magic at bytes 4 to 7");
    return validate_as<doodle_stats_t>(data, bytes, count, offsetof(doodle_stats_t, magic_number),
                                       "Doodle stats");
}

tflite_data_t* pipe_validate_bbox_data(const unsigned char* data, int bytes, int* count)
{
    return validate_as<tflite_data_t>(data, bytes, count, offsetof(tflite_data_t, magic_number),
                                      "Tflite");
}
