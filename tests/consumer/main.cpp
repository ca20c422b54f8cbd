// Uses a little of each installed header: tarn-common's validator, frame
// naming and rolling average, and the cJSON tree that brisk_json.h exposes.
#include <cstdio>
#include <cstring>
#include <deque>

#include <brisk_json.h>
#include <tarn_common.h>

int main()
{
    unsigned char records[2][60] = {};
    const uint32_t magic = RECORD_MAGIC_NUMBER;
    std::memcpy(records[0], &magic, sizeof magic);
    std::memcpy(records[1], &magic, sizeof magic);
    const int count = validate_pipe_records(records, sizeof records, 60, 0, "consumer");

    std::deque<float> window;
    calc_avg_latency(10.0f, window);
    const float avg = calc_avg_latency(20.0f, window);

    cJSON* obj = cJSON_CreateObject();
    cJSON_AddStringToObject(obj, "encoding", "h265");
    const cJSON* enc = cJSON_GetObjectItem(obj, "encoding");
    std::printf("records=%d frame=%s avg=%.3f encoding=%s\n", count, nalu_as_string(101, VENC_H264).c_str(), avg,
                cJSON_GetStringValue(enc));
    cJSON_Delete(obj);
    return 0;
}
