// fault_config_writer: rewrites one setting of a settings file in a loop,
// as the services do, until it is killed. Each write n stores the string
// "<n>:" followed by a run of 'x' whose length depends on n, so a reader can
// tell a whole document from a torn one. Prints n on stdout after write n
// has returned.
//
//   fault_config_writer PATH [FIRST]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tarn_common.h"

int main(int argc, char* argv[])
{
    if (argc < 2) {
        fprintf(stderr, "usage: fault_config_writer PATH [FIRST]\n");
        return 2;
    }
    for (long n = argc > 2 ? atol(argv[2]) : 1;; n++) {
        std::string value = std::to_string(n) + ":" + std::string(static_cast<size_t>(1000 + n % 7000), 'x');
        config_update_string(argv[1], "payload", value);
        printf("%ld\n", n);
        fflush(stdout);
    }
}
