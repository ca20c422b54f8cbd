#include <cstdio>
#include <cstring>

#include "tarn_common.h"

int validate_pipe_records(const void* data, int bytes, int record_size, int magic_offset,
                          const char* kind)
{
    if (bytes < 0) {
        fprintf(stderr, "ERROR validating %s data received through pipe: number of bytes = %d\n",
                kind, bytes);
        return -1;
    }
    if (data == nullptr) {
        fprintf(stderr, "ERROR validating %s data received through pipe: got NULL data pointer\n",
                kind);
        return -1;
    }
    if (bytes % record_size != 0) {
        fprintf(stderr, "ERROR validating %s data received through pipe: read partial packet\n",
                kind);
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
        fprintf(stderr, "ERROR validating %s data received through pipe: %d of %d packets failed\n",
                kind, failed, n);
        return -1;
    }
    return n;
}
