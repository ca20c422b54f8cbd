// The tests' one slow-machine factor, as tests/slow-factor.sh makes it
// (TARN_SLOW, the emulator, the load average): every bounded wait of a test
// is its quiet-machine time times this.
#ifndef TARN_TESTS_SLOW_FACTOR_H
#define TARN_TESTS_SLOW_FACTOR_H

#include <cstdio>
#include <string>

inline int slow_factor()
{
    static const int factor = [] {
        int f = 1;
        if (FILE* p = popen("bash '" TARN_SOURCE_DIR "/tests/slow-factor.sh'", "r")) {
            if (fscanf(p, "%d", &f) != 1 || f < 1) f = 1;
            pclose(p);
        }
        return f;
    }();
    return factor;
}

// For a failing wait's message: what the factor is made of.
inline std::string slow_factor_words()
{
    std::string words;
    if (FILE* p = popen("bash '" TARN_SOURCE_DIR "/tests/slow-factor.sh' -v", "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p) != nullptr) words += buf;
        pclose(p);
    }
    while (!words.empty() && words.back() == '\n') words.pop_back();
    return words;
}

#endif
