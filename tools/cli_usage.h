// Command-line helpers shared by tarn-vrx-sim and tarn-latency-report:
// --version and the one-line answer to an option getopt_long rejected.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#ifndef TARN_VERSION
#error "TARN_VERSION comes from the build (the project version in CMakeLists.txt)"
#endif

// Long-option value of --version, outside the range of short options.
constexpr int TARN_OPT_VERSION = 0x7000;

// Exit status of a command line the program cannot use.
constexpr int TARN_EXIT_USAGE = 2;

inline void print_version(const char* prog)
{
    printf("%s %s\n", prog, TARN_VERSION);
}

// After getopt_long returned c = '?' or ':' (option string starting with
// ':', opterr 0): one line on stderr naming the option as typed and pointing
// to --help. A long option's error always leaves its element at
// argv[optind - 1]; a short option's is in optopt (0 for a long one).
inline void print_bad_option(const char* prog, int c, int bad_short, const char* element)
{
    const bool long_opt = element != nullptr && strncmp(element, "--", 2) == 0 &&
                          (bad_short == 0 || c == ':' || strchr(element, '=') != nullptr);
    std::string name = long_opt ? element : std::string("-") + static_cast<char>(bad_short);
    const size_t eq = name.find('=');
    const bool value_given = long_opt && eq != std::string::npos;
    if (value_given) name.resize(eq);
    const char* what = c == ':'                      ? "needs a value"
                       : (value_given && bad_short) ? "takes no value"
                                                    : "is unknown";
    fprintf(stderr, "%s: option '%s' %s; try '%s --help'\n", prog, name.c_str(), what, prog);
}
