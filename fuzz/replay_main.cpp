// Runs a fuzz target over files without libFuzzer, so every target also
// builds with gcc and its corpus can run as an ordinary test:
//   fuzz_<target> FILE_OR_FOLDER...
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

static bool list_inputs(const std::string& path, std::vector<std::string>& out)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        out.push_back(path);
        return true;
    }
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return false;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        names.push_back(path + "/" + name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        struct stat s;
        if (stat(n.c_str(), &s) == 0 && S_ISREG(s.st_mode)) out.push_back(n);
    }
    return true;
}

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; i++) {
        if (!list_inputs(argv[i], inputs)) {
            fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
        return 2;
    }
    for (const auto& path : inputs) {
        std::ifstream f(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        // A copy of exactly the input's size, so reading past it is caught.
        std::vector<uint8_t> exact(bytes);
        LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    }
    // fd 2 directly: the targets may have quieted the stderr stream.
    dprintf(2, "replayed %zu inputs\n", inputs.size());
    return 0;
}
