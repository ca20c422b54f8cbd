// The full-screen view of tarn-vrx-top (ncurses). Drawn by the display
// thread only.
#ifndef TARN_TOP_SCREEN_H
#define TARN_TOP_SCREEN_H

#include <cstdint>
#include <ctime>
#include <string>

#include "top_model.h"

struct top_view_t {
    std::string pipe;   // location shown in the title
    std::string codec;  // "H.264", ...
    int window = 1;     // index into TOP_SPAN_MS
    bool paused = false;
    bool help = false;
    double warn_ms = 0, crit_ms = 0;  // 0: no threshold
    bool color = false;               // colour pairs are set up
    bool utf8 = false;                // block characters may be drawn
    std::string message;              // last line the program or the pipe library wrote on stderr
    uint64_t messages = 0;
};

// Sets up the colour pairs; returns whether colour is in use (the terminal
// has colours and NO_COLOR is unset or empty).
bool screen_colors(bool wanted);
// Draws everything for time now_ms (monotonic) and refreshes.
void draw_screen(top_model_t& m, const top_view_t& v, int64_t now_ms);
// Text of window w for titles and the plain lines: "1 s", "10 s", "60 s", "all".
const char* window_name(int w);
// The same for the figures of a window, or "last 8.2 s" while the window
// holds less than its span (at record rates beyond its memory bound).
std::string window_label(const window_figures_t& f, int w);

#endif
