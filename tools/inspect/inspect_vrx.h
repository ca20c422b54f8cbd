// State and callbacks of tarn-inspect-vrx shared by its main() and by the
// fuzz target of its data path.
#ifndef TARN_INSPECT_VRX_H
#define TARN_INSPECT_VRX_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include <fmt/format.h>

#include "latency_log.h"
#include "latency_record.h"
#include "tarn_common.h"

extern int en_newline;
extern bool save_to_file;
// Where -s appends its rows; "/data/tarn-inspect-vrx.csv".
extern const char* csv_path;
// Written once by the main thread, read for every row by the pipe thread.
extern std::atomic<venc_mode_t> current_encoding_scheme;

// What the data path keeps from one buffer to the next, all of it touched
// by the pipe client thread only: the two averaging windows, the last
// sample id shown, and the CSV log (its header flag). One process-wide
// instance, never destroyed (the process may leave through _exit while the
// client thread runs); inspector_reset() makes it as at start, for tests.
struct inspector_state_t {
    std::deque<float> avg_i_latency, avg_p_latency;
    bool shown_any = false;  // a row was shown: current_sample holds its id
    uint32_t current_sample = 0;
    csv_log_t log;
};
extern inspector_state_t& inspector_state;
void inspector_reset();

void _helper_cb(int ch, char* data, int bytes, void* context);
void _connect_cb(int ch, void* context);
void _disconnect_cb(int ch, void* context);

// Standard output (inspect_vrx_out.cpp). term_write waits while standard
// output is blocked as long as the inspector runs, and gives up once
// main_running is 0. term_write_within is for the shut-down: its text goes
// before any row not yet written (a term_write under way pauses at the next
// row start); it gives up once poll has seen standard output take nothing
// for budget_ms in all, and returns false when it could not even start.
// term_write_from_signal is for signal handlers: it waits at most budget_ms
// for standard output to take the text and returns how many bytes it took.
// With or_later, what it could not write goes out first with the next
// term_write (text must outlive that); any call drops what an earlier one
// left for later.
void term_write(const char* p, size_t n);
void term_write(const std::string& text);
bool term_write_within(const char* text, size_t n, int budget_ms);
size_t term_write_from_signal(const char* text, size_t n, int budget_ms, bool or_later);

// Waits at most budget_ms for a CSV write under way to end, then keeps any
// new one from starting; called once, just before the process leaves with
// _exit, so the log never ends in a torn line. False when the wait ran out.
bool csv_hold_for_exit(int budget_ms);

// Reads "encoding" from the receiver's configuration file into
// current_encoding_scheme, creating an empty file when it is missing.
void get_encoding_scheme();

#endif
