// What a Windows console event does to a run, decided apart from the system's calls so that a
// test can check it: Ctrl+Break and the closing of the console stop the run as Ctrl+C does.
#pragma once

enum console_action {
    CONSOLE_PASS,            // not ours: the next handler (the C runtime's SIGINT for Ctrl+C)
    CONSOLE_STOP,            // stop the run in order
    CONSOLE_STOP_AND_HOLD,   // stop it, and hold the event until the run ends the process:
                             // the system ends it once the handler returns from a closing
};

// The action for a console event (CTRL_BREAK_EVENT, ...) that is the events_seen-th of ours;
// a second one is passed on, so that the system's default ends the process at once.
console_action console_event_action(unsigned long event, long events_seen);
