// fault_config_updater: makes COUNT updates of one setting of a settings
// file, as a service does, alongside other processes doing the same.
//
//   fault_config_updater PATH KEY COUNT set-number|set-string|increment [START]
//
// START: the wall-clock time (milliseconds since the epoch) to begin at, so
// that processes started one after the other update at the same time.
//
// set-number, set-string: update i stores i (config_update_number, or its
//   decimal text with config_update_string). Only this process writes KEY,
//   so before update i the file must still hold i - 1; any other value means
//   another writer put back an older copy of the file: this process's
//   update i - 1 was lost. The file must hold KEY = 0 (or "0") at start.
// increment: reads KEY (a number) and stores it plus one, holding the
//   file's writers' lock around both, so several processes incrementing one
//   key leave the sum of their counts.
//
// Prints "lost N" and exits 0.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "brisk_json.h"
#include "tarn_common.h"

namespace {

// KEY of the file as a number (a string is read as its decimal text), or -1.
long read_key(const char* path, const char* key)
{
    cJSON* root = open_json(path, false);
    if (root == nullptr) return -1;
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, key);
    long v = -1;
    if (cJSON_IsNumber(item))
        v = static_cast<long>(item->valuedouble);
    else if (cJSON_IsString(item))
        v = strtol(item->valuestring, nullptr, 10);
    cJSON_Delete(root);
    return v;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: fault_config_updater PATH KEY COUNT "
                        "set-number|set-string|increment [START]\n");
        return 2;
    }
    if (argc == 6) {
        const long long start = atoll(argv[5]);
        for (;;) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            const long long ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
            if (ms >= start) break;
            usleep(static_cast<useconds_t>(std::min(start - ms, 100LL) * 1000));
        }
    }
    const char* path = argv[1];
    const char* key = argv[2];
    const long count = atol(argv[3]);
    const std::string mode = argv[4];
    long lost = 0;
    for (long i = 1; i <= count; i++) {
        if (mode == "increment") {
            if (json_lock_file(path) != 0) return 1;
            const long v = read_key(path, key);
            config_update_number(path, key, static_cast<int>(v + 1), false);
            json_unlock_file(path);
            continue;
        }
        if (read_key(path, key) != i - 1) lost++;
        if (mode == "set-number")
            config_update_number(path, key, static_cast<int>(i), false);
        else
            config_update_string(path, key, std::to_string(i));
    }
    // The last update may have been lost too.
    if (mode != "increment" && read_key(path, key) != count) lost++;
    printf("lost %ld\n", lost);
    return 0;
}
