#include "output/screen.h"

#include <stdio.h>

#include "base/log.h"

// No curses library is built for Windows here; the console's own sequences would be a second
// implementation of the view to keep. Refused, before anything is joined.
int screen_check(void)
{
    log_line(stderr, "error", "--top needs a terminal this build can draw on");
    return -1;
}

bool screen_shares_standard_error(void)
{
    return false;
}

int screen_open(void)
{
    return screen_check();
}

void screen_size(int *height, int *width)
{
    *height = 0;
    *width = 0;
}

void screen_draw(const char *const *, const bool *, int)
{
}

int screen_key(void)
{
    return SCREEN_NO_KEY;
}

void screen_close(void)
{
}

void screen_give_back_at_signal(void)
{
}
