// Installs the interrupt handler for SIGINT and SIGTERM, one-shot: the default action is back
// before the handler runs, so a second interrupt ends the process at once.
#pragma once

// Returns 0, or -1 after an error line.
int install_interrupt_handler(void (*handler)(int));
