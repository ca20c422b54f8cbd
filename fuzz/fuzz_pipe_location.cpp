// pipe_expand_location_string on any text: a location it accepts fits the
// 64-byte buffer, is absolute, ends in '/', and has no empty, "." or ".."
// component; a refused one leaves an empty string.
#include <cstring>
#include <string>
#include <vector>

#include "brisk_pipe.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_streams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string in(reinterpret_cast<const char*>(data), size);
    in = in.c_str();  // up to the first NUL, as a C caller would pass it
    // Heap blocks of exactly 64 bytes: a write past the buffer is caught.
    std::vector<char> out(64, 'x');
    const int r = pipe_expand_location_string(in.c_str(), out.data());
    const size_t len = strnlen(out.data(), out.size());
    FUZZ_CHECK(len < out.size());
    if (r < 0) {
        FUZZ_CHECK(len == 0);
        return 0;
    }
    FUZZ_CHECK(r == 0);
    const std::string loc(out.data());
    FUZZ_CHECK(loc.size() <= PIPE_MAX_LOCATION_LEN);
    FUZZ_CHECK(loc.front() == '/' && loc.back() == '/');
    FUZZ_CHECK(loc.find("//") == std::string::npos);
    FUZZ_CHECK(loc.find("/./") == std::string::npos);
    FUZZ_CHECK(loc.find("/../") == std::string::npos);
    // A name or partial path lands in the pipe folder, with one closing slash.
    if (in[0] != '/') FUZZ_CHECK(loc == std::string(PIPE_DIR) + in + (in.back() == '/' ? "" : "/"));
    // Expanding a location again changes nothing.
    std::vector<char> again(64, 'x');
    FUZZ_CHECK(pipe_expand_location_string(loc.c_str(), again.data()) == 0);
    FUZZ_CHECK(loc == again.data());
    return 0;
}
