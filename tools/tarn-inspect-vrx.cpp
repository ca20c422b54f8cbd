// tarn-inspect-vrx: subscribes to the receiver's latency pipe and prints one
// table row per frame. All the work happens in the pipe callbacks; main only
// sets up, waits for a termination signal and tears down.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "brisk_pipe.h"
#include "cli_usage.h"
#include "inspect_vrx.h"

static const char VRX_LATENCY_PIPE_NAME[32] = "vrx_latency";
static char VRX_LATENCY_PIPE_LOC[64];
static char* pipe_path = VRX_LATENCY_PIPE_LOC;

static void _print_usage()
{
    puts("\ntypical usage\n/# tarn-inspect-vrx\n\nThis will print out vrx latency data from Brisk "
         "Pipe Architecture.\nBy default this opens the pipe \"vrx_latency\"/\nbut this can be "
         "changed with the --pipe option.\n\nRange in meters will always print. Additional "
         "options are:\n-h, --help                  print this help message\n-n, --newline       "
         "        print each sample on a new line\n-p, --pipe {pipe_name}      optionally specify "
         "the pipe name\n-s, --save                  save every sample to "
         "/data/tarn-inspect-vrx.csv\n");
}

// 0: run; 1: done (--version printed); -1: help printed or a bad option.
static int _parse_opts(int argc, char* argv[])
{
    static struct option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"newline", no_argument, nullptr, 'n'},
        {"save", no_argument, nullptr, 's'},
        {"pipe", required_argument, nullptr, 'p'},
        {"version", no_argument, nullptr, TARN_OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    while (true) {
        int option_index = 0;
        int c = getopt_long(argc, argv, "hnsp:", long_options, &option_index);
        if (c == -1) break;
        switch (c) {
        case 0:
            break;
        case 'n':
            en_newline = 1;
            break;
        case 's':
            save_to_file = true;
            break;
        case 'p':
            if (pipe_expand_location_string(optarg, pipe_path) < 0) {
                fprintf(stderr, "Invalid pipe name: %s\n", optarg);
                return -1;
            }
            break;
        case TARN_OPT_VERSION:
            print_version("tarn-inspect-vrx");
            return 1;
        case 'h':
        default:
            _print_usage();
            return -1;
        }
    }
    return 0;
}

int main(int argc, char* argv[])
{
    strncpy(VRX_LATENCY_PIPE_LOC, PIPE_DIR, sizeof VRX_LATENCY_PIPE_LOC);
    strncat(VRX_LATENCY_PIPE_LOC, VRX_LATENCY_PIPE_NAME,
            sizeof VRX_LATENCY_PIPE_LOC - strlen(VRX_LATENCY_PIPE_LOC) - 1);

    const int opts = _parse_opts(argc, argv);
    if (opts < 0) return -1;
    if (opts > 0) return 0;

    enable_signal_handler();
    main_running = 1;

    printf("\e[?7l");  // line wrap off: long rows are cut at the terminal's edge

    pipe_client_set_simple_helper_cb(0, _helper_cb, nullptr);
    pipe_client_set_connect_cb(0, _connect_cb, nullptr);
    pipe_client_set_disconnect_cb(0, _disconnect_cb, nullptr);

    int ret = pipe_client_open(0, pipe_path, "inspect-vrx", CLIENT_FLAG_EN_SIMPLE_HELPER, 30000);
    if (ret < 0) {
        pipe_print_error(ret);
        printf("\e[?7h");
        return -1;
    }

    get_encoding_scheme();

    while (main_running) usleep(200000);

    puts("\nclosing and exiting");
    pipe_client_close_all();
    printf("\e[?7h");
    return 0;
}
