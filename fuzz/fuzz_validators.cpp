// The record validators: validate_pipe_records with any record size and
// magic offset, and the four validators of other services' records, on
// buffers of any length and alignment. Checks what they return against a
// count made here independently.
//
// Input: selector byte, alignment byte, record size byte, magic offset
// byte, then the buffer.
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "tarn_common.h"

namespace {

// Records whose magic is wrong, counted the plain way.
int count_bad(const unsigned char* data, int bytes, int size, int offset)
{
    int bad = 0;
    for (int i = 0; i + size <= bytes; i += size) {
        uint32_t m;
        memcpy(&m, data + i + offset, 4);
        if (m != RECORD_MAGIC_NUMBER) bad++;
    }
    return bad;
}

template <typename R, typename Fn>
void check_typed(Fn fn, unsigned char* data, int bytes, int size, int offset)
{
    int count = -12345;
    R* r = fn(data, bytes, &count);
    const bool whole = bytes % size == 0;
    const bool good = data != nullptr && whole && count_bad(data, bytes, size, offset) == 0;
    if (good) {
        FUZZ_CHECK(r == reinterpret_cast<R*>(data));
        FUZZ_CHECK(count == bytes / size);
    } else {
        FUZZ_CHECK(r == nullptr);
        FUZZ_CHECK(count == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_streams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size)
{
    const uint8_t* p = in;
    size_t left = size;
    const uint32_t which = fuzz::take(p, left, 1) % 6;
    const uint32_t align = fuzz::take(p, left, 1) % 8;
    // The heap block is exactly the buffer, so reading one byte past is caught.
    std::vector<unsigned char> block(align + left);
    if (left > 0) memcpy(block.data() + align, p, left);
    unsigned char* data = block.data() + align;
    const int bytes = static_cast<int>(left);

    switch (which) {
    case 0:
        check_typed<external_fc_status_t>(
            [](unsigned char* d, int b, int* c) {
                return validate_ext_fc_status_pipe_data(reinterpret_cast<char*>(d), b, c);
            },
            data, bytes, 8, 0);
        break;
    case 1:
        check_typed<ndc_coords_t>(
            [](unsigned char* d, int b, int* c) { return pipe_validate_ndc_coords_data(d, b, c); }, data, bytes, 24, 0);
        break;
    case 2:
        check_typed<doodle_stats_t>(
            [](unsigned char* d, int b, int* c) {
                return tarn_modem_doodle_validate_pipe_data(reinterpret_cast<char*>(d), b, c);
            },
            data, bytes, 32, 4);
        break;
    case 3:
        check_typed<tflite_data_t>([](unsigned char* d, int b, int* c) { return pipe_validate_bbox_data(d, b, c); },
                                   data, bytes, 92, 0);
        break;
    case 4: {
        // Any record size from 4 to 259 with the magic anywhere inside it.
        std::vector<unsigned char> rest(data, data + bytes);
        const uint8_t* q = rest.data();
        size_t n = rest.size();
        const int rsize = 4 + static_cast<int>(fuzz::take(q, n, 1));
        const int offset = static_cast<int>(fuzz::take(q, n, 1)) % (rsize - 3);
        const unsigned char* buf = rest.data() + (rest.size() - n);
        const int nb = static_cast<int>(n);
        const int r = validate_pipe_records(buf, nb, rsize, offset, "fuzz");
        if (buf != nullptr && nb % rsize == 0 && count_bad(buf, nb, rsize, offset) == 0)
            FUZZ_CHECK(r == nb / rsize);
        else
            FUZZ_CHECK(r == -1);
        break;
    }
    default: {
        // The failures that do not depend on the bytes.
        int count = -1;
        FUZZ_CHECK(pipe_validate_bbox_data(nullptr, bytes, &count) == nullptr && count == 0);
        FUZZ_CHECK(validate_pipe_records(data, -bytes - 1, 60, 0, "VRX") == -1);
        FUZZ_CHECK(validate_ext_fc_status_pipe_data(reinterpret_cast<char*>(data), -bytes - 1, &count) == nullptr &&
                   count == 0);
        break;
    }
    }
    return 0;
}
