// The terminal the live view draws on (--top): ncurses on POSIX; the Windows build has none
// and says so.
#pragma once

#define SCREEN_NO_KEY (-1)
#define SCREEN_RESIZED (-2)

// The terminal's own sequences that give it back from a signal's handler (its keypad, looks,
// cursor and normal screen) are kept up to this many bytes; a terminal whose take more is
// refused.
#define SCREEN_GIVE_BACK_BYTES_MAX 256

// Whether standard output is a terminal the view can draw on (one that can move its cursor,
// and whose sequences that give it back fit), asked before anything is joined. Returns 0, or
// -1 after an error line.
int screen_check(void);

// Whether standard error goes to a terminal, where the view would draw over its lines.
bool screen_shares_standard_error(void);

// Takes the terminal for the view (the alternate screen, keys unbuffered and unechoed; Ctrl+C
// still interrupts). Returns 0, or -1 after an error line.
int screen_open(void);

// The terminal's size now.
void screen_size(int *height, int *width);

// Draws line_count lines of text from the top, the first two (title, headers) in reverse;
// marked[i] makes line i stand out, in red where the terminal has colour.
void screen_draw(const char *const *text, const bool *marked, int line_count);

// A key pressed since the last call, SCREEN_RESIZED after the terminal's size changed, or
// SCREEN_NO_KEY; never waits.
int screen_key(void);

// Gives the terminal back as it was.
void screen_close(void);

// Gives the terminal back from a handler of a signal that ends the process while the view is
// shown (async-signal-safe: the normal screen, the cursor and the modes, without ncurses);
// nothing where the view is not shown.
void screen_give_back_at_signal(void);
