// The few terminal operations tarn-vrx-top uses, over ncurses. Kept apart
// because curses.h and tarn_common.h both declare "clear".
#ifndef TARN_TOP_TERM_H
#define TARN_TOP_TERM_H

#include <string>

// Attributes: a style in the low bits, a colour in the next ones. The
// colours show only when term_colors() enabled them.
enum term_attr_e : unsigned {
    T_NORMAL = 0,
    T_BOLD = 1,
    T_REVERSE = 2,
    T_OK = 1 << 4,
    T_WARN = 2 << 4,
    T_CRIT = 3 << 4,
    T_FRAME = 4 << 4,
    T_FEC = 5 << 4,
    T_DECODE = 6 << 4,
    T_RENDER = 7 << 4,
    T_ALERT = 8 << 4,
};
constexpr int TERM_KEY_NONE = -1;
constexpr int TERM_KEY_RESIZE = -2;

// Takes the terminal (standard output, keys from standard input): raw keys,
// no echo, cursor hidden. False when the terminal type is unknown.
bool term_start(int key_wait_ms);
// Colour pairs, when wanted and the terminal has colours.
bool term_colors(bool wanted);
int term_lines();
int term_cols();
void term_erase();
// Text at (y, x), cut at the right edge; nothing outside the screen.
void term_put(int y, int x, const std::string& text, unsigned attr = T_NORMAL);
void term_clear_line(int y);
void term_box(int y, int x, int h, int w);
void term_refresh();
// Next key, waiting at most the start's key_wait_ms; TERM_KEY_NONE if none.
int term_key();
// The terminal's current size taken over (after SIGWINCH).
void term_resize();
// Everything drawn again at the next refresh (after a resume).
void term_touch();
// Terminal as it was before term_start (also before a stop); the next
// refresh takes it again.
void term_pause();
void term_end();

#endif
