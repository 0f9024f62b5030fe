// mcwatch's options as one table: what the command line reads, what --help prints and what the
// completion and the manual page are checked against.
#pragma once

#include <stdint.h>

#include "app/app.h"

enum option_kind {
    OPTION_FLAG,    // no value: sets .flag
    OPTION_HELP,    // prints the help, and the run stops
    OPTION_VERSION, // prints the version, and the run stops
    OPTION_COUNT,   // digits alone, .least to .most, times .scale
    OPTION_PERIOD,  // as strtoul reads it (blanks, a plus, trailing text), 0 to .most, times .scale
    OPTION_SECONDS, // up to six decimal places, above 0, at least .least us and at most .most
                    // seconds, in us
    OPTION_SIZE,    // bytes with a k or m suffix, 1 to .most
    OPTION_TEXT,    // any text
    OPTION_FILE,    // a file's name: any text but none
    OPTION_OWN,     // a value of its own form, read by .read
};

// One option. A value goes to .number, .number32 (whose .most times .scale fits 32 bits) or
// .text by its kind; .flag is set by a flag and marks a value as given; .read, when there is
// one, reads an own value or follows a flag.
struct command_option {
    char short_name = '\0';           // '\0': none
    const char *long_name = nullptr;  // without its dashes; nullptr: none
    option_kind kind = OPTION_FLAG;
    const char *value_name = nullptr; // as the help shows it ("<count>"); nullptr: no value
    uint64_t least = 0;
    uint64_t most = 0;
    uint64_t scale = 1;               // the value is kept times this (1000: ms as us)
    bool settings::*flag = nullptr;
    uint64_t settings::*number = nullptr;
    uint32_t settings::*number32 = nullptr;
    const char *settings::*text = nullptr;
    int (*read)(const char *value, settings *options) = nullptr; // 0, or -1 after an error line
    const char *values = nullptr;     // the words its value may be, ", "-separated; nullptr: any
    const char *help = nullptr;       // one line
};

extern const command_option command_options[];
extern const int command_option_count;

// Writes --help, made from the table, to standard output.
void print_help();
