#include "output/screen.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <curses.h>
// After every other header: it defines lines, columns and many more as macros.
#include <term.h>

#include "base/log.h"

static bool colour = false;

int screen_check(void)
{
    int code = 0;
    if (!isatty(STDOUT_FILENO) || !isatty(STDIN_FILENO)) {
        log_line(stderr, "error", "--top needs a terminal on standard input and output");
        return -1;
    }
    // Only asked whether the terminal is known; the view's own setup comes later.
    if (setupterm(nullptr, STDOUT_FILENO, &code) != OK) {
        log_line(stderr, "error", "--top cannot draw on this terminal (TERM=%s)",
                 getenv("TERM") != nullptr ? getenv("TERM") : "");
        return -1;
    }
    del_curterm(cur_term);
    return 0;
}

int screen_open(void)
{
    if (initscr() == nullptr) {
        log_line(stderr, "error", "--top cannot draw on this terminal");
        return -1;
    }
    cbreak();
    noecho();
    nodelay(stdscr, TRUE);
    keypad(stdscr, TRUE);
    curs_set(0);
    colour = has_colors();
    if (colour) {
        start_color();
        use_default_colors();
        init_pair(1, COLOR_RED, -1);
    }
    return 0;
}

void screen_size(int *height, int *width)
{
    getmaxyx(stdscr, *height, *width);
}

void screen_draw(const char *const *text, const bool *marked, int line_count)
{
    int height = 0;
    int width = 0;
    getmaxyx(stdscr, height, width);
    erase();
    for (int i = 0; i < line_count && i < height; i++) {
        attr_t look = i < 2 ? A_REVERSE : marked[i] ? (colour ? COLOR_PAIR(1) : 0) | A_BOLD : 0;
        if (look != 0)
            attron(look);
        mvaddnstr(i, 0, text[i], width);
        if (look != 0)
            attroff(look);
    }
    refresh();
}

int screen_key(void)
{
    int key = getch();
    if (key == ERR)
        return SCREEN_NO_KEY;
    return key == KEY_RESIZE ? SCREEN_RESIZED : key;
}

void screen_close(void)
{
    endwin();
}
