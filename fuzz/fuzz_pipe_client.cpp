// The client side of the pipe library receiving arbitrary chunks: a server
// in this process publishes the input cut into chunks, a client of the same
// process receives them. Every chunk that fits the client's buffer must
// arrive whole, in order, exactly once; bigger ones are dropped whole.
//
// Input: commands of a two-byte little-endian length followed by that many
// bytes (capped by what is left), each published as one chunk.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "brisk_pipe.h"
#include "fuzz_util.h"

namespace {

// Smaller than the largest chunk an input can make, so oversize chunks occur.
constexpr int CLIENT_BUF = 4096;

std::mutex g_m;
std::condition_variable g_cv;
std::vector<std::string> g_got;

void on_data(int, char* data, int bytes, void*)
{
    std::lock_guard<std::mutex> lk(g_m);
    g_got.emplace_back(data, static_cast<size_t>(bytes));
    g_cv.notify_all();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_streams();
    const std::string loc = fuzz::scratch_dir() + "/pipe/";
    FUZZ_CHECK(loc.size() <= PIPE_MAX_LOCATION_LEN);
    FUZZ_CHECK(pipe_server_create(0, loc.c_str(), 0) == 0);
    pipe_client_set_simple_helper_cb(0, on_data, nullptr);
    FUZZ_CHECK(pipe_client_open(0, loc.c_str(), "fuzz", CLIENT_FLAG_EN_SIMPLE_HELPER, CLIENT_BUF) == 0);
    // The server learns of the client on its own thread.
    for (int i = 0; i < 1000 && pipe_server_get_num_clients(0) < 1; i++) usleep(1000);
    FUZZ_CHECK(pipe_server_get_num_clients(0) == 1);
    atexit([] {
        pipe_client_close_all();
        pipe_server_close_all();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t* p = data;
    size_t left = size;
    std::vector<std::string> want;
    while (left > 0) {
        size_t len = fuzz::take(p, left, 2);
        if (len > left) len = left;
        std::string chunk(reinterpret_cast<const char*>(p), len);
        p += len;
        left -= len;
        const int r = pipe_server_write(0, chunk.data(), static_cast<int>(chunk.size()));
        if (chunk.empty()) {
            FUZZ_CHECK(r == PIPE_ERROR_INVALID_ARG);
            continue;
        }
        // 0 means the client's socket buffer was full: that chunk is lost
        // for it, whole, and the writer did not wait.
        FUZZ_CHECK(r == 0 || r == 1);
        if (r == 1 && chunk.size() <= static_cast<size_t>(CLIENT_BUF)) want.push_back(chunk);
    }
    std::unique_lock<std::mutex> lk(g_m);
    const bool all = g_cv.wait_for(lk, std::chrono::seconds(5), [&] { return g_got.size() >= want.size(); });
    FUZZ_CHECK(all);
    FUZZ_CHECK(g_got == want);
    g_got.clear();
    return 0;
}
