#include "term.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <curses.h>

namespace {
SCREEN* the_screen;
bool colors;
}  // namespace

bool term_start(int key_wait_ms)
{
    the_screen = newterm(nullptr, stdout, stdin);
    if (the_screen == nullptr) return false;
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    curs_set(0);
    timeout(key_wait_ms);
    return true;
}

bool term_colors(bool wanted)
{
    colors = false;
    if (!wanted || !has_colors() || start_color() != OK) return false;
    use_default_colors();
    init_pair(1, COLOR_GREEN, -1);
    init_pair(2, COLOR_YELLOW, -1);
    init_pair(3, COLOR_RED, -1);
    init_pair(4, COLOR_BLUE, -1);
    init_pair(5, COLOR_MAGENTA, -1);
    init_pair(6, COLOR_CYAN, -1);
    init_pair(7, COLOR_GREEN, -1);
    init_pair(8, COLOR_RED, -1);
    colors = true;
    return true;
}

int term_lines()
{
    return LINES;
}
int term_cols()
{
    return COLS;
}
void term_erase()
{
    erase();
}

void term_put(int y, int x, const std::string& text, unsigned attr)
{
    if (y < 0 || y >= LINES || x < 0 || x >= COLS) return;
    attr_t a = A_NORMAL;
    if (attr & T_BOLD) a |= A_BOLD;
    if (attr & T_REVERSE) a |= A_REVERSE;
    if (colors && (attr >> 4) != 0) a |= COLOR_PAIR(static_cast<short>(attr >> 4));
    attron(a);
    mvaddnstr(y, x, text.c_str(), static_cast<int>(text.size()));
    attroff(a);
}

void term_clear_line(int y)
{
    move(y, 0);
    clrtoeol();
}

void term_box(int y, int x, int h, int w)
{
    WINDOW* w_ = derwin(stdscr, h, w, y, x);
    if (w_ == nullptr) return;
    box(w_, 0, 0);
    delwin(w_);
}

void term_refresh()
{
    refresh();
}

int term_key()
{
    const int k = getch();
    if (k == ERR) return TERM_KEY_NONE;
    if (k == KEY_RESIZE) return TERM_KEY_RESIZE;
    return k;
}

void term_resize()
{
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) resizeterm(ws.ws_row, ws.ws_col);
    clearok(curscr, TRUE);
}

void term_touch()
{
    clearok(curscr, TRUE);
}

void term_pause()
{
    endwin();
    fflush(stdout);
}

void term_end()
{
    if (the_screen == nullptr) return;
    endwin();
    delscreen(the_screen);
    the_screen = nullptr;
}
