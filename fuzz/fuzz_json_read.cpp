// json_read_file on arbitrary file contents (comment headers, garbage,
// NUL bytes, cut documents), json_fetch_string_with_default on what it
// parsed, and a write-then-read round trip behind a comment header made
// from the input.
//
// Input: flag byte (bit 0: round trip), fetch length byte, then the file.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "brisk_json.h"
#include "fuzz_util.h"

static std::string g_path;
static std::string g_out;

static void write_file(const std::string& path, const uint8_t* data, size_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<size_t>(n);
    }
    close(fd);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_streams();
    g_path = fuzz::scratch_dir() + "/read.conf";
    g_out = fuzz::scratch_dir() + "/written.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size)
{
    const uint8_t* p = in;
    size_t left = size;
    const uint32_t flags = fuzz::take(p, left, 1);
    const int maxlen = static_cast<int>(fuzz::take(p, left, 1) % 40);
    write_file(g_path, p, left);

    cJSON* tree = json_read_file(g_path.c_str());
    if (tree == nullptr) return 0;

    // Fetching any key into a small buffer leaves a terminated string of
    // fewer than maxlen bytes, whatever the member holds.
    char out[40];
    memset(out, 'x', sizeof out);
    const char* key = "encoding";
    if (cJSON_IsObject(tree) && tree->child != nullptr && tree->child->string != nullptr) key = tree->child->string;
    const int r = json_fetch_string_with_default(tree, key, out, maxlen, "h264");
    if (maxlen == 0) {
        FUZZ_CHECK(r == -1);
    } else {
        FUZZ_CHECK(memchr(out, '\0', static_cast<size_t>(maxlen)) != nullptr);
    }

    if ((flags & 1) != 0) {
        // The input's first line, with anything that could close a comment
        // removed, as the header of a rewrite: reading it back gives the
        // same tree. Compared as text: cJSON_Compare mismatches objects with
        // repeated keys.
        std::string line(reinterpret_cast<const char*>(p), left);
        line = line.substr(0, line.find('\n'));
        std::string header = "/* ";
        for (char c : line)
            if (c != '\0' && c != '*') header += c;
        header += " */\n";
        FUZZ_CHECK(json_write_to_file_with_header(g_out.c_str(), tree, header.c_str()) == 0);
        cJSON* back = json_read_file(g_out.c_str());
        FUZZ_CHECK(back != nullptr);
        char* a = cJSON_PrintUnformatted(tree);
        char* b = cJSON_PrintUnformatted(back);
        FUZZ_CHECK(a != nullptr && b != nullptr && strcmp(a, b) == 0);
        cJSON_free(a);
        cJSON_free(b);
        cJSON_Delete(back);
    }
    cJSON_Delete(tree);
    return 0;
}
