// Windows console events: Ctrl+Break and a closing console stop the run as Ctrl+C does (ended
// outright by the system's default, they left no summary and the group joined); a second one
// ends it at once.
#include "base/console_win32.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

TEST(ConsoleEvent, BreakAndCloseStopTheRunOnceAndCtrlCIsTheRuntimes)
{
    struct event_case {
        unsigned long event;
        long seen;
        console_action action;
    };
    const event_case cases[] = {
        {CTRL_BREAK_EVENT, 1, CONSOLE_STOP},
        {CTRL_CLOSE_EVENT, 1, CONSOLE_STOP_AND_HOLD},
        {CTRL_BREAK_EVENT, 2, CONSOLE_PASS},
        {CTRL_CLOSE_EVENT, 2, CONSOLE_PASS},
        {CTRL_C_EVENT, 0, CONSOLE_PASS},
        {CTRL_LOGOFF_EVENT, 0, CONSOLE_PASS},
    };
    for (const event_case &c : cases)
        EXPECT_EQ(console_event_action(c.event, c.seen), c.action) << c.event << " " << c.seen;
}

} // namespace
