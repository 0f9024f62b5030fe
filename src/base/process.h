// The process around the run: standard streams that are surely open, and the interrupt
// handler for SIGINT and SIGTERM.
#pragma once

// Opens the null device on each of the standard descriptors 0, 1 and 2 that is closed, so that
// no socket opened later takes a standard stream's place and receives its lines. Returns 0, or
// -1 when the null device could not be opened (nothing can be printed then).
int open_missing_standard_streams(void);

// Installs the interrupt handler for SIGINT and SIGTERM, one-shot: the default action is back
// before the handler runs, so a second interrupt ends the process at once. Returns 0, or -1
// after an error line.
int install_interrupt_handler(void (*handler)(int));
