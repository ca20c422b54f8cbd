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

#include "latency_record.h"
#include "tarn_common.h"

extern int en_newline;
extern bool save_to_file;
// Where -s appends its rows; "/data/tarn-inspect-vrx.csv".
extern const char* csv_path;
// Written once by the main thread, read for every row by the pipe thread.
extern std::atomic<venc_mode_t> current_encoding_scheme;

// The CSV log as tarn-inspect-vrx -s writes it, shared with the programs that
// write the same log (tarn-vrx-top --save).
struct csv_log_t {
    const char* path = nullptr;
    bool header_written = false;  // this run's header line is in the file
    bool failing = false;         // the last append failed (reported once)
};
// The average column: the rolling mean of the I-frame or P-frame window the
// record's frame type belongs to, or the record's own VRX latency.
float inspector_average(const vrx_latency_packet_t& r, std::deque<float>& i_window,
                        std::deque<float>& p_window);
// Appends the record's CSV line ("\n" included); type is its frame-type text.
void append_csv_line(fmt::memory_buffer& csv, const vrx_latency_packet_t& r, float avg,
                     const std::string& type);
// Appends lines to the log in one write, with the run's header line first if
// it is not written yet. The file is opened and closed here. A failure prints
// one "ERROR: cannot write" line on stderr (once until it works again).
bool csv_append(csv_log_t& log, const char* lines, size_t len);

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
