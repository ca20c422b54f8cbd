// Helpers shared by the fuzz targets: scratch files on a RAM-backed folder
// and quieting the C streams the code under test writes its messages to.
#ifndef TARN_FUZZ_UTIL_H
#define TARN_FUZZ_UTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace fuzz {

// A folder private to this process, on /dev/shm when there is one.
inline const std::string& scratch_dir()
{
    static const std::string dir = [] {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/tarn-fuzz.XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) {
            perror("fuzz: mkdtemp");
            abort();
        }
        // A plain copy: the string itself is destroyed before this runs.
        static char removed_at_exit[256];
        snprintf(removed_at_exit, sizeof removed_at_exit, "%s", tmpl.c_str());
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(removed_at_exit, ec);
        });
        return tmpl;
    }();
    return dir;
}

// Sends the program's stdout to /dev/null, and the C stream stderr as well
// unless TARN_FUZZ_VERBOSE is set. File descriptor 2 stays untouched so the
// fuzzer's and the sanitizers' reports still show.
inline void quiet_streams()
{
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    if (getenv("TARN_FUZZ_VERBOSE") == nullptr) {
        FILE* null_err = fopen("/dev/null", "w");
        if (null_err == nullptr) abort();
        stderr = null_err;
    }
}

// Fails the run with a message on fd 2 when a property does not hold.
#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            dprintf(2, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond);                                 \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

// Reads a little-endian integer of n bytes (n <= 4), 0 past the end.
inline uint32_t take(const uint8_t*& p, size_t& left, size_t n)
{
    uint32_t v = 0;
    for (size_t i = 0; i < n; i++) {
        if (left == 0) break;
        v |= static_cast<uint32_t>(*p) << (8 * i);
        p++;
        left--;
    }
    return v;
}

}  // namespace fuzz

#endif
