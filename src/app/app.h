// Command and control: the settings read from the command line, and the run that joins the
// group, prints what arrives and stops in order on an interrupt.
#pragma once

#include <stdint.h>

#include "net/socket.h"

struct settings {
    bool check_gaps;        // -g
    bool short_seq;         // -f: 32-bit sequence number at the start of the payload
    uint32_t period_us;     // -s, in microseconds; 0: no statistics
    in_addr interface_addr; // -i; INADDR_ANY lets the system choose
    const char *host;       // the group
    uint16_t port;
    const char *source_host; // nullptr: any-source membership
};

// Fills options from the argument vector. Returns 0 to run, 1 after printing the help or the
// version to standard output (the tool then exits 0), or -1 after writing why not (the usage
// line, "invalid option", "unknown option" or "invalid port").
int read_command_line(int argc, char **argv, settings *options);

// Runs until interrupted: returns 0 after an orderly stop, -1 after a failure.
int run(const settings *options);
