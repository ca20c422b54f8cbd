#include "term.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <curses.h>

namespace {
SCREEN* the_screen;
bool colors;
int key_wait;
// Standard input is at its end (a unit's StandardInput=null, a closed pipe)
// or broken: getch would return at once each time, so the key loop waits
// out its time without it.
bool keys_gone;

// After getch found no key: true when standard input will never give one.
// A terminal with a key on its way has bytes to read; an end of file or
// a hang-up has none, or is no terminal at all.
bool stdin_ended()
{
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, 0) <= 0) return false;
    if (in.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
    int pending = 0;
    return ioctl(STDIN_FILENO, FIONREAD, &pending) != 0 || pending == 0;
}
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
    key_wait = key_wait_ms;
    keys_gone = false;
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
    if (keys_gone) {
        poll(nullptr, 0, key_wait);
        return TERM_KEY_NONE;
    }
    const int k = getch();
    if (k == ERR) {
        keys_gone = stdin_ended();
        return TERM_KEY_NONE;
    }
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
