// Checks of records received through pipes: the one shared pattern,
// validate_pipe_records (the latency records of the inspector and of the
// live view use it too), and the records other services publish.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "tarn_common.h"

int validate_pipe_records(const void* data, int bytes, int record_size, int magic_offset, const char* kind)
{
    if (bytes < 0) {
        fprintf(stderr, "ERROR validating %s data received through pipe: number of bytes = %d\n", kind, bytes);
        return -1;
    }
    if (data == nullptr) {
        fprintf(stderr, "ERROR validating %s data received through pipe: got NULL data pointer\n", kind);
        return -1;
    }
    if (bytes % record_size != 0) {
        fprintf(stderr, "ERROR validating %s data received through pipe: read partial packet\n", kind);
        fprintf(stderr, "read %d bytes, but it should be a multiple of %d\n", bytes, record_size);
        return -1;
    }
    const int n = bytes / record_size;
    const auto* p = static_cast<const unsigned char*>(data) + magic_offset;
    int failed = 0;
    for (int i = 0; i < n; i++, p += record_size) {
        uint32_t magic;
        memcpy(&magic, p, sizeof magic);
        if (magic != RECORD_MAGIC_NUMBER) {
            fprintf(stderr, "ERROR got magic number %d, expected %d\n", static_cast<int>(magic),
                    static_cast<int>(RECORD_MAGIC_NUMBER));
            failed++;
        }
    }
    if (failed > 0) {
        fprintf(stderr, "ERROR validating %s data received through pipe: %d of %d packets failed\n", kind, failed, n);
        return -1;
    }
    return n;
}

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
    return validate_as<external_fc_status_t>(data, bytes, count, offsetof(external_fc_status_t, magic_number),
                                             "external_fc_status_t");
}

ndc_coords_t* pipe_validate_ndc_coords_data(const unsigned char* data, int bytes, int* count)
{
    return validate_as<ndc_coords_t>(data, bytes, count, offsetof(ndc_coords_t, magic_number), "ndc_coords_t");
}

doodle_stats_t* tarn_modem_doodle_validate_pipe_data(char* data, int bytes, int* count)
{
    static_assert(offsetof(doodle_stats_t, magic_number) == 4, "magic at bytes 4 to 7");
    return validate_as<doodle_stats_t>(data, bytes, count, offsetof(doodle_stats_t, magic_number), "Doodle stats");
}

tflite_data_t* pipe_validate_bbox_data(const unsigned char* data, int bytes, int* count)
{
    return validate_as<tflite_data_t>(data, bytes, count, offsetof(tflite_data_t, magic_number), "Tflite");
}
