// The inspector's whole data path: arbitrary buffers of any length (also
// negative counts and null pointers) into _helper_cb, with and without the
// CSV log, over several calls so the state kept between buffers is used.
//
// Input: one option byte (bit 0 save, bit 1 newline, bits 2-3 codec), then
// commands: a command byte c, then
//   c < 0xF0: a buffer; its length is the next two bytes (little-endian),
//             capped by what is left of the input
//   0xF0: a negative byte count   0xF1: a null pointer   0xF2: connect
//   0xF3: disconnect              other: an empty buffer
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "inspect_vrx.h"

static std::string g_csv;

// The log may hold only whole lines: empty, or ending in a line feed.
static void check_csv_whole_lines()
{
    int fd = open(g_csv.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    FUZZ_CHECK(fstat(fd, &st) == 0);
    if (st.st_size > 0) {
        char last = 0;
        FUZZ_CHECK(pread(fd, &last, 1, st.st_size - 1) == 1);
        FUZZ_CHECK(last == '\n');
    }
    close(fd);
    // Keep the scratch file small over millions of runs.
    if (st.st_size > (1 << 20)) FUZZ_CHECK(truncate(g_csv.c_str(), 0) == 0);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_streams();
    g_csv = fuzz::scratch_dir() + "/tarn-inspect-vrx.csv";
    csv_path = g_csv.c_str();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t* p = data;
    size_t left = size;
    const uint32_t opts = fuzz::take(p, left, 1);
    save_to_file = (opts & 1) != 0;
    en_newline = (opts & 2) != 0 ? 1 : 0;
    current_encoding_scheme.store(static_cast<venc_mode_t>((opts >> 2) % 3));

    std::vector<char> buf;
    while (left > 0) {
        const uint32_t c = fuzz::take(p, left, 1);
        if (c < 0xF0) {
            size_t len = fuzz::take(p, left, 2);
            if (len > left) len = left;
            // An exact-size copy, so a read past the buffer is caught.
            buf.assign(p, p + len);
            p += len;
            left -= len;
            _helper_cb(0, buf.data(), static_cast<int>(len), nullptr);
        } else if (c == 0xF0) {
            char one = 0;
            _helper_cb(0, &one, -static_cast<int>(fuzz::take(p, left, 2)) - 1, nullptr);
        } else if (c == 0xF1) {
            _helper_cb(0, nullptr, static_cast<int>(fuzz::take(p, left, 2)), nullptr);
        } else if (c == 0xF2) {
            _connect_cb(0, nullptr);
        } else if (c == 0xF3) {
            _disconnect_cb(0, nullptr);
        } else {
            char none[1];
            _helper_cb(0, none, 0, nullptr);
        }
        if (save_to_file) check_csv_whole_lines();
    }
    return 0;
}
