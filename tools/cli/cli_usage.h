// The command-line dialect of tarn-vrx-sim, tarn-latency-report and
// tarn-vrx-top: --version, and one line on stderr for an option getopt_long
// rejected (unknown, or without its value) and for a value an option cannot
// take, each ending in a pointer to --help. tarn-inspect-vrx keeps its own
// (the parser's complaint, the help, status 255).
#pragma once

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef TARN_VERSION
#error "TARN_VERSION comes from the build (the project version in CMakeLists.txt)"
#endif

// Long-option value of --version, outside the range of short options.
constexpr int TARN_OPT_VERSION = 0x7000;

// Exit status of a command line the program cannot use.
constexpr int TARN_EXIT_USAGE = 2;

// Ends the program after --help or --version printed on standard output:
// status 0 once everything is written, else one line on stderr and status 1
// (a full disk, a closed pipe: help that did not arrive is no success).
[[noreturn]] inline void exit_after_info(const char* prog)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: cannot write to standard output: %s\n", prog, strerror(errno));
        exit(1);
    }
    exit(0);
}

// Prints the version. A failed write ends the program with status 1 (see
// exit_after_info), so every program that prints it reports it.
inline void print_version(const char* prog)
{
    printf("%s %s\n", prog, TARN_VERSION);
    if (fflush(stdout) != 0 || ferror(stdout)) exit_after_info(prog);
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
    const char* what = c == ':' ? "needs a value" : (value_given && bad_short) ? "takes no value" : "is unknown";
    fprintf(stderr, "%s: option '%s' %s; try '%s --help'\n", prog, name.c_str(), what, prog);
}

// The long name of the option whose getopt_long value is c ("--rate"), or
// "-c" when it has none.
inline std::string option_name(const struct option* table, int c)
{
    for (const struct option* o = table; o->name != nullptr; o++)
        if (o->val == c) return std::string("--") + o->name;
    return std::string("-") + static_cast<char>(c);
}

// A value option cannot take: "PROG: invalid WHAT 'VALUE' for option
// 'OPTION' (EXPECTED); try 'PROG --help'" (EXPECTED may be null).
inline void print_bad_value(const char* prog, const std::string& option, const char* what, const char* value,
                            const char* expected = nullptr)
{
    fprintf(stderr, "%s: invalid %s '%s' for option '%s'%s%s%s; try '%s --help'\n", prog, what, value, option.c_str(),
            expected != nullptr ? " (" : "", expected != nullptr ? expected : "", expected != nullptr ? ")" : "", prog);
}
