#include "output/screen.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <curses.h>
// After every other header: it defines lines, columns and many more as macros.
#include <term.h>

#include "base/library.h"
#include "base/log.h"

// ncurses is loaded when the view is asked for, not linked: it and its terminfo library put
// 400 KiB of resident pages into every run, which has no use for them. The calls the view
// makes, found by name; only the header's types and constants are used, never a macro that
// names one of its variables.
static struct {
    decltype(&::initscr) initscr;
    decltype(&::cbreak) cbreak;
    decltype(&::noecho) noecho;
    decltype(&::nodelay) nodelay;
    decltype(&::keypad) keypad;
    decltype(&::curs_set) curs_set;
    decltype(&::has_colors) has_colors;
    decltype(&::start_color) start_color;
    decltype(&::use_default_colors) use_default_colors;
    decltype(&::init_pair) init_pair;
    decltype(&::getmaxy) getmaxy;
    decltype(&::getmaxx) getmaxx;
    decltype(&::werase) werase;
    decltype(&::wattr_on) wattr_on;
    decltype(&::wattr_off) wattr_off;
    decltype(&::mvwaddnstr) mvwaddnstr;
    decltype(&::wrefresh) wrefresh;
    decltype(&::wgetch) wgetch;
    decltype(&::endwin) endwin;
    decltype(&::setupterm) setupterm;
    decltype(&::del_curterm) del_curterm;
    decltype(&::tigetstr) tigetstr;
    TERMINAL **current;      // cur_term
} curses;

static WINDOW *screen = nullptr;
static bool colour = false;

// What gives the terminal back where a signal ends the process while the view is shown:
// endwin cannot be called from a handler, so the terminal's own sequences and its modes from
// before the view are kept by screen_open for a handler to write. Written by screen_open and
// screen_close, read by screen_give_back_at_signal.
static char give_back_text[SCREEN_GIVE_BACK_BYTES_MAX];
static_assert(sizeof give_back_text == SCREEN_GIVE_BACK_BYTES_MAX,
              "screen_check refuses a terminal whose sequences would not fit");
static size_t give_back_bytes = 0;
static termios modes_before;
static volatile sig_atomic_t shown = 0;

// Loads ncurses once. Returns 0, or -1 after an error line.
static int load_curses(void)
{
    if (curses.endwin != nullptr)
        return 0;
    static const char *const names[] = {"libncursesw.so.6", "libncurses.so.6", "libncurses.so"};
    void *library = load_library(names, 3, "--top", "ncurses", "libncursesw6");
    if (library == nullptr)
        return -1;
    bool found = find_call(library, &curses.initscr, "initscr") &&
                 find_call(library, &curses.cbreak, "cbreak") &&
                 find_call(library, &curses.noecho, "noecho") &&
                 find_call(library, &curses.nodelay, "nodelay") &&
                 find_call(library, &curses.keypad, "keypad") &&
                 find_call(library, &curses.curs_set, "curs_set") &&
                 find_call(library, &curses.has_colors, "has_colors") &&
                 find_call(library, &curses.start_color, "start_color") &&
                 find_call(library, &curses.use_default_colors, "use_default_colors") &&
                 find_call(library, &curses.init_pair, "init_pair") &&
                 find_call(library, &curses.getmaxy, "getmaxy") &&
                 find_call(library, &curses.getmaxx, "getmaxx") &&
                 find_call(library, &curses.werase, "werase") &&
                 find_call(library, &curses.wattr_on, "wattr_on") &&
                 find_call(library, &curses.wattr_off, "wattr_off") &&
                 find_call(library, &curses.mvwaddnstr, "mvwaddnstr") &&
                 find_call(library, &curses.wrefresh, "wrefresh") &&
                 find_call(library, &curses.wgetch, "wgetch") &&
                 find_call(library, &curses.setupterm, "setupterm") &&
                 find_call(library, &curses.del_curterm, "del_curterm") &&
                 find_call(library, &curses.tigetstr, "tigetstr") &&
                 find_call(library, &curses.current, "cur_term") &&
                 find_call(library, &curses.endwin, "endwin");
    if (!found) {
        log_line(stderr, "error", "--top needs ncurses 6: %s", dlerror());
        curses.endwin = nullptr;
        return -1;
    }
    return 0;
}

// Whether the terminal set up has the string capability: tigetstr answers (char *)-1 for a
// name that is not a string's and nullptr for one the terminal lacks.
static bool has_sequence(const char *capability)
{
    const char *sequence = curses.tigetstr(capability);
    return sequence != nullptr && sequence != reinterpret_cast<const char *>(-1);
}

// What endwin writes, in its order: the keypad and the looks reset, the cursor shown, the
// normal screen back.
static const char *const give_back_capabilities[] = {"rmkx", "sgr0", "cnorm", "rmcup"};

// The bytes of the terminal set up's sequences that give it back.
static size_t give_back_length_bytes(void)
{
    size_t bytes = 0;
    for (const char *capability : give_back_capabilities)
        if (has_sequence(capability))
            bytes += strlen(curses.tigetstr(capability));
    return bytes;
}

bool screen_shares_standard_error(void)
{
    return isatty(STDERR_FILENO) != 0;
}

int screen_check(void)
{
    int code = 0;
    if (!isatty(STDOUT_FILENO) || !isatty(STDIN_FILENO)) {
        log_line(stderr, "error", "--top needs a terminal on standard input and output");
        return -1;
    }
    if (load_curses() < 0)
        return -1;
    // Only asked whether the terminal is known and can place the cursor (a dumb terminal
    // would print the view as one long line); the view's own setup comes later.
    const char *term = getenv("TERM") != nullptr ? getenv("TERM") : "";
    if (curses.setupterm(nullptr, STDOUT_FILENO, &code) != OK) {
        log_line(stderr, "error", "--top cannot draw on this terminal (TERM=%s)", term);
        return -1;
    }
    bool addressed = has_sequence("cup");
    size_t give_back_needed_bytes = give_back_length_bytes();
    curses.del_curterm(*curses.current);
    *curses.current = nullptr;
    if (!addressed) {
        log_line(stderr, "error", "--top cannot draw on this terminal (TERM=%s): it cannot move "
                                  "the cursor", term);
        return -1;
    }
    // Refused here rather than found short at a signal, when the terminal would be left
    // half given back.
    if (give_back_needed_bytes > SCREEN_GIVE_BACK_BYTES_MAX) {
        log_line(stderr, "error", "--top cannot draw on this terminal (TERM=%s): its sequences "
                                  "that give it back take %zu bytes, past the limit of %d", term,
                 give_back_needed_bytes, SCREEN_GIVE_BACK_BYTES_MAX);
        return -1;
    }
    return 0;
}

// Adds the terminal's sequence of the capability to what gives the terminal back (screen_check
// refused a terminal whose sequences do not fit).
static void keep_give_back(const char *capability)
{
    if (!has_sequence(capability))
        return;
    const char *sequence = curses.tigetstr(capability);
    size_t bytes = strlen(sequence);
    if (give_back_bytes + bytes <= sizeof give_back_text) {
        memcpy(give_back_text + give_back_bytes, sequence, bytes);
        give_back_bytes += bytes;
    }
}

// What endwin does, ready to be written by a handler.
static void prepare_give_back(void)
{
    give_back_bytes = 0;
    for (const char *capability : give_back_capabilities)
        keep_give_back(capability);
}

void screen_give_back_at_signal(void)
{
    if (!shown)
        return;
    shown = 0;
    int saved = errno;
    for (size_t done = 0; done < give_back_bytes;) {
        ssize_t written = write(STDOUT_FILENO, give_back_text + done, give_back_bytes - done);
        if (written <= 0 && errno != EINTR)
            break;
        if (written > 0)
            done += static_cast<size_t>(written);
    }
    tcsetattr(STDOUT_FILENO, TCSADRAIN, &modes_before);
    errno = saved;
}

int screen_open(void)
{
    if (load_curses() < 0)
        return -1;
    if (tcgetattr(STDOUT_FILENO, &modes_before) != 0) {
        log_line(stderr, "error", "--top cannot read the terminal's modes");
        return -1;
    }
    screen = curses.initscr();
    if (screen == nullptr) {
        log_line(stderr, "error", "--top cannot draw on this terminal");
        return -1;
    }
    curses.cbreak();
    curses.noecho();
    curses.nodelay(screen, TRUE);
    curses.keypad(screen, TRUE);
    curses.curs_set(0);
    colour = curses.has_colors();
    if (colour) {
        curses.start_color();
        curses.use_default_colors();
        curses.init_pair(1, COLOR_RED, -1);
    }
    prepare_give_back();
    shown = 1;
    return 0;
}

void screen_size(int *height, int *width)
{
    *height = (curses.getmaxy)(screen);
    *width = (curses.getmaxx)(screen);
}

void screen_draw(const char *const *text, const bool *marked, int line_count)
{
    int height = (curses.getmaxy)(screen);
    int width = (curses.getmaxx)(screen);
    curses.werase(screen);
    for (int i = 0; i < line_count && i < height; i++) {
        attr_t look = i < 2 ? A_REVERSE : marked[i] ? (colour ? COLOR_PAIR(1) : 0) | A_BOLD : 0;
        if (look != 0)
            curses.wattr_on(screen, look, nullptr);
        (curses.mvwaddnstr)(screen, i, 0, text[i], width);
        if (look != 0)
            curses.wattr_off(screen, look, nullptr);
    }
    curses.wrefresh(screen);
}

int screen_key(void)
{
    int key = curses.wgetch(screen);
    if (key == ERR)
        return SCREEN_NO_KEY;
    return key == KEY_RESIZE ? SCREEN_RESIZED : key;
}

void screen_close(void)
{
    shown = 0;
    curses.endwin();
    screen = nullptr;
}
