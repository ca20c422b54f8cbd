// The data path of tarn-inspect-vrx: record checks, the live table and the
// CSV log. Everything here runs on the pipe library's client thread.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "brisk_json.h"
#include "brisk_pipe.h"
#include "inspect_vrx.h"
#include "latency_format.h"
#include "latency_log.h"

int en_newline = 0;
bool save_to_file = false;
const char* csv_path = "/data/tarn-inspect-vrx.csv";
std::atomic<venc_mode_t> current_encoding_scheme{VENC_H264};

inspector_state_t& inspector_state = *new inspector_state_t;

void inspector_reset()
{
    inspector_state = inspector_state_t{};
}

void _connect_cb(int, void*)
{
    // Built once from the column table; written through the same writer as
    // the rows, so a blocked terminal cannot hold up a stop.
    static const std::string header = [] {
        std::string h = "\e[1m|";
        for (const latency_column_t& c : LATENCY_COLUMNS) h += c.cell;
        h += "\n\e[0m";
        return h;
    }();
    term_write(header.data(), header.size());
}

void _disconnect_cb(int, void*)
{
    fprintf(stderr, "\nserver disconnected\n");
}

static void append_text(fmt::memory_buffer& out, const char* text)
{
    out.append(text, text + strlen(text));
}

template <size_t... I>
static void append_row(fmt::memory_buffer& out, const vrx_latency_packet_t& r, const latency_row_extras& x,
                       std::index_sequence<I...>)
{
    out.push_back('|');
    ((append_column_value<I>(out, r, x, LATENCY_COLUMNS[I].width, LATENCY_COLUMNS[I].decimals),
      append_text(out, LATENCY_COLUMNS[I].after)),
     ...);
}

// Held around each buffer's open, write and close of the log; the main
// thread takes it for good before leaving through _exit.
static std::timed_mutex& csv_mutex = *new std::timed_mutex;

bool csv_hold_for_exit(int budget_ms)
{
    return csv_mutex.try_lock_for(std::chrono::milliseconds(budget_ms));
}

void _helper_cb(int, char* data, int bytes, void*)
{
    inspector_state_t& st = inspector_state;
    static fmt::memory_buffer out;
    static fmt::memory_buffer csv;

    const int n = validate_pipe_records(data, bytes, sizeof(vrx_latency_packet_t), 0, "VRX");
    if (n < 0) return;

    out.clear();
    csv.clear();
    const venc_mode_t mode = current_encoding_scheme.load(std::memory_order_relaxed);
    for (int i = 0; i < n; i++) {
        vrx_latency_packet_t r;
        memcpy(&r, data + static_cast<size_t>(i) * sizeof r, sizeof r);
        if (st.shown_any && r.sample_id == st.current_sample) continue;

        if (en_newline)
            out.push_back('\n');
        else
            fmt::format_to(std::back_inserter(out), "\r\e[2K");

        const float avg = latency_row_average(r, st.avg_i_latency, st.avg_p_latency);
        st.current_sample = r.sample_id;
        st.shown_any = true;

        const std::string type = nalu_as_string(r.frame_type, mode);
        const latency_row_extras extras{avg, type};
        append_row(out, r, extras, std::make_index_sequence<LATENCY_COLUMN_COUNT>());
        if (save_to_file) append_csv_line(csv, r, extras);
    }

    if (save_to_file) {
        std::lock_guard<std::timed_mutex> lk(csv_mutex);
        st.log.path = csv_path;
        csv_append(st.log, csv.data(), csv.size());
    }

    term_write(out.data(), out.size());
}

void get_encoding_scheme()
{
    bool create_failed = false;
    cJSON* parent = open_json(
        VRX_CONFIG_PATH, true, [](const std::string& line) { term_write(line); }, &create_failed);
    if (create_failed) return;
    if (parent == nullptr) {
        term_write("cJSON parent null\n");
        return;
    }
    char encoding[20];
    json_fetch_string_with_default(parent, "encoding", encoding, sizeof encoding, "h264");
    venc_mode_t mode = VENC_OTHER;
    codec_from_name(encoding, mode);
    current_encoding_scheme.store(mode, std::memory_order_relaxed);
    cJSON_Delete(parent);
}
