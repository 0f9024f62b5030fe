"""End-to-end tests of the live view (--top) in a real terminal: mcwatch runs in tmux, the test
reads the screen with capture-pane, resizes the window and presses keys, and holds the rows
against mcfeed's record and the summary printed after the view."""

import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, ROOMY_BUFFER, WINDOWS, expected_counts, feed_whole,  # noqa: E402
                     groups_joined, next_port, payload, run_to_end, sender, sent_count,
                     temp_folder, tool_command, wait_until, write_streams)

MANY = 1000
# Numbers a feed's lines carry: two seconds of them at 500 a second each.
COUNT = 1000


class Terminal:
    """One tmux server of the test's own, with one window running a command; the window stays
    after the command ends, so that its last screen (and "status N") can be read."""

    def __init__(self, test, command, width=120, height=40):
        self.socket = "mcwatch-top-%d-%d" % (os.getpid(), next_port())
        self.tmux("new-session", "-d", "-s", "top", "-x", str(width), "-y", str(height),
                  # Ctrl+C reaches the shell too: it outlives it, to say the status.
                  "sh -c %s" % shlex.quote("trap : INT; " + command +
                                           '; echo "status $?"; sleep 600'))
        test.addCleanup(self.tmux, "kill-server")

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, *args], capture_output=True,
                              text=True, timeout=30).stdout

    def screen(self):
        return self.tmux("capture-pane", "-p", "-J", "-t", "top")

    def keys(self, *keys):
        self.tmux("send-keys", "-t", "top", *keys)

    def resize(self, width, height):
        self.tmux("resize-window", "-t", "top", "-x", str(width), "-y", str(height))

    def modes(self):
        """Whether the alternate screen is on and the cursor shown: "1 0" while a view is."""
        return self.tmux("display-message", "-p", "-t", "top",
                         "#{alternate_on} #{cursor_flag}").strip()


def rows_of(screen):
    """{(name, source): {column: text}} of the view's rows on the screen, in their order, and
    whether each stands out: {"mark": "!"}."""
    lines = screen.splitlines()
    headers = [i for i, line in enumerate(lines) if line.split()[:2] == ["STREAM", "SOURCE"]]
    rows = {}
    if not headers:
        return rows
    names = ["RATE/s", "MBIT/s", "RECEIVED", "LOST", "LATE", "DUP", "DROPS", "LAST SEQ",
             "SILENT"]
    for line in lines[headers[0] + 1:]:
        words = line.split()
        if len(words) < 10 or words[0] == "...":
            break
        mark = words[0] == "!"
        head, cells = words[1 if mark else 0:-9], words[-9:]
        name = " ".join(head[:2]) if head[0] == "feed" else head[0]
        source = "" if head[0] == "feed" or len(head) < 2 else head[1]
        rows[(name, source)] = dict(zip(names, cells), mark=mark)
    return rows


def watch_command(*args):
    return " ".join(shlex.quote(a) for a in tool_command() + [str(a) for a in args])


@unittest.skipIf(WINDOWS, "the Windows build has no view (tested below by its refusal)")
@unittest.skipUnless(shutil.which("tmux"), "tmux is not installed (.ci/run installs it)")
class Top(unittest.TestCase):
    def setUp(self):
        self.tmp = temp_folder(self)

    def wait_for_screen(self, terminal, condition, timeout_s=60):
        seen = []

        def holds():
            seen[:] = [terminal.screen()]
            return condition(seen[0])
        try:
            wait_until(holds, timeout_s=timeout_s, poll_s=0.2)
        except AssertionError:
            raise AssertionError("the screen never showed it:\n" + seen[0])
        return seen[0]

    def final_screen(self, terminal, anywhere=False):
        """The screen once the run has ended and the shell said its status (anywhere on a
        line, where the terminal was not given back)."""
        return self.wait_for_screen(terminal, lambda s: re.search(
            r"%sstatus \d+$" % ("" if anywhere else "^"), s, re.M))

    def test_a_feed_and_its_lines_show_the_record_and_each_key_stops_the_run(self):
        for key in ("q", "C-c"):
            with self.subTest(key=key):
                self.feed_and_stop(key)

    def feed_and_stop(self, key):
        port = next_port()
        lines = [("A", "239.7.0.1", port, "f"), ("B", "239.7.0.2", port, "f"),
                 ("quiet", "239.7.0.3", port + 1, None)]
        config = write_streams(os.path.join(self.tmp, "streams.toml"), lines)
        # The view is drawn beside the stream on a busy machine: a queue that holds all of
        # it, so that a watcher kept from the processor for a second loses nothing.
        terminal = Terminal(self, watch_command("-g", "--top", "--stall", "1000",
                                                *ROOMY_BUFFER, "--config", config))
        wait_until(lambda: groups_joined("239.7.0.") == 3)
        _, record = feed_whole(self, ["-b", "127.0.0.1", "-n", COUNT, "-r", 500, "--seed", 5,
                                      "--drop", "0.02", "--duplicate", "0.02", "239.7.0.1", port,
                                      "239.7.0.2", port])
        expected = {}
        for name, group, _, _ in lines[:2]:
            own = [line.rsplit(" on ", 1)[0] for line in record
                   if line.endswith(" on %s:%d" % (group, port))]
            counts = expected_counts(own, 0, COUNT, 64)
            expected[name] = {"RECEIVED": str(sent_count(COUNT, own)), "LOST": str(counts["lost"]),
                              "LATE": str(counts["late"]), "DUP": str(counts["duplicates"])}

        def shows_the_record(screen):
            """The record's numbers on both lines, and every stream silent past --stall."""
            rows = {name: row for (name, _), row in rows_of(screen).items()}
            return all({k: rows.get(name, {}).get(k) for k in want} == want
                       for name, want in expected.items()) and \
                all(rows.get(name, {}).get("mark") for name in ("A", "B", "quiet"))
        screen = self.wait_for_screen(terminal, shows_the_record)
        rows = rows_of(screen)
        # Every row stands out: the feed's lines lost more, so their unit comes first, the
        # feed's own row after its lines.
        self.assertEqual([name for name, _ in rows], ["A", "B", "feed f", "quiet"], screen)
        self.assertEqual(rows[("quiet", "")]["RECEIVED"], "0")
        # The feed lost only what both lines dropped, below the highest number either sent.
        dropped = [{int(line.split()[2]) for line in record
                    if line.startswith("dropped") and line.endswith(" on %s:%d" % (group, port))}
                   for _, group, _, _ in lines[:2]]
        both = dropped[0] & dropped[1]
        highest = max(set(range(COUNT)) - both)
        lost = sum(n < highest for n in both)
        feed = rows[("feed f", "")]
        self.assertEqual((feed["RECEIVED"], feed["LOST"]), (str(highest + 1 - lost), str(lost)))
        terminal.keys(key)
        screen = self.final_screen(terminal)
        self.assertIn("status 0", screen.splitlines())
        self.assertEqual(groups_joined("239.7.0."), 0)
        # The summary, on the normal screen after the view, says what the view said.
        for name, want in expected.items():
            line = [line for line in screen.splitlines()
                    if re.search(r"Summary: \d+ senders? over .* on %s$" % name, line)]
            self.assertEqual(len(line), 1, screen)
            self.assertIn("received %s," % want["RECEIVED"], line[0])
            self.assertIn("duplicates %s, missed" % want["DUP"], line[0])
            self.assertIn("late %s, lost %s," % (want["LATE"], want["LOST"]), line[0])
        self.assertIn("Summary: feed f: numbers %s, missed" % feed["RECEIVED"], screen)

    def test_a_lone_stream_shows_a_row_per_sender_and_an_error_after_the_view(self):
        port = next_port()
        folder = os.path.join(self.tmp, "metrics")
        os.mkdir(folder)
        terminal = Terminal(self, watch_command("--top", "--prom", folder + "/m.prom", GROUP,
                                                port))
        wait_until(lambda: groups_joined(GROUP) == 1)
        first, second = sender("127.0.0.2"), sender("127.0.0.3")
        self.addCleanup(first.close)
        self.addCleanup(second.close)
        for seq in range(5):
            first.sendto(payload(seq), (GROUP, port))
        for seq in (0, 1, 3):
            second.sendto(payload(seq), (GROUP, port))
        sources = ["127.0.0.2:%d" % first.getsockname()[1],
                   "127.0.0.3:%d" % second.getsockname()[1]]
        screen = self.wait_for_screen(
            terminal, lambda s: [rows_of(s).get((GROUP + ":%d" % port, src), {}).get("RECEIVED")
                                 for src in sources] == ["5", "3"])
        rows = rows_of(screen)
        # No querier asks on this namespace's links: the title says for how long.
        self.assertRegex(screen.splitlines()[0], r"^mcwatch \S+  \d\d:\d\d:\d\d  1 stream  "
                                                 r"no querier for \d+ s  sorted by ")
        self.assertEqual(rows[(GROUP + ":%d" % port, sources[1])]["LOST"], "1")
        self.assertEqual(rows[(GROUP + ":%d" % port, sources[1])]["LAST SEQ"], "3")
        # A metrics file that can no longer be written ends the run; its line, written while
        # the view was shown, is seen on the screen given back.
        shutil.rmtree(folder)
        screen = self.final_screen(terminal)
        self.assertIn("status 255", screen.splitlines())
        self.assertIn('[error] Failed to write "%s/m.prom.tmp": (2) No such file or directory'
                      % folder, screen)
        self.assertEqual(groups_joined(GROUP), 0)

    def test_many_streams_follow_the_window_and_the_keys(self):
        port = next_port()
        groups = ["239.8.%d.%d" % (i // 250, i % 250 + 1) for i in range(MANY)]
        config = write_streams(os.path.join(self.tmp, "streams.toml"),
                               [("s%04d" % i, g, port, None) for i, g in enumerate(groups)])
        terminal = Terminal(self, watch_command("--top", "--config", config))
        wait_until(lambda: groups_joined("239.8.") == MANY, timeout_s=120)
        out = sender()
        self.addCleanup(out.close)
        for group in groups:
            out.sendto(payload(7), (group, port))
        terminal.keys("s")   # by name: s0000 first
        screen = self.wait_for_screen(
            terminal, lambda s: "sorted by name" in s and rows_of(s).get(("s0000", "127.0.0.1:%d"
                                                                         % out.getsockname()[1]),
                                                                        {}).get("RECEIVED") == "1")
        # 40 lines: the title, the headers, 37 rows and the line for the rest.
        self.assertEqual(len(rows_of(screen)), 37, screen)
        self.assertIn("... %d more streams" % (MANY - 37), screen)
        terminal.resize(120, 12)
        screen = self.wait_for_screen(terminal, lambda s: "... %d more streams" % (MANY - 9) in s)
        self.assertEqual([name for name, _ in rows_of(screen)], ["s%04d" % i for i in range(9)])
        # Narrower than the columns: they are cut at the right, never wrapped.
        terminal.resize(80, 12)
        screen = self.wait_for_screen(terminal, lambda s: all(
            len(line) <= 80 for line in s.splitlines()) and "... %d more" % (MANY - 9) in s)
        self.assertEqual(len(screen.splitlines()), 12)
        # Taller than any fixed size: every line of it is drawn.
        terminal.resize(120, 460)
        screen = self.wait_for_screen(terminal, lambda s: "... %d more streams" % (MANY - 457) in s)
        self.assertEqual(len(rows_of(screen)), 457)
        terminal.keys("p")
        self.wait_for_screen(terminal, lambda s: "PAUSED" in s)
        terminal.keys("q")
        screen = self.final_screen(terminal)
        self.assertIn("status 0", screen.splitlines())
        self.assertEqual(groups_joined("239.8."), 0)

    def test_a_terminal_the_view_cannot_use_is_refused_before_joining(self):
        # A terminal of the test's own whose normal screen comes back after 100 resets: 330
        # bytes to give it back, with screen's other sequences that do so.
        with open(os.path.join(self.tmp, "long.ti"), "w") as source:
            source.write("mcwatch-long|normal screen given back long,\n\trmcup=%s\\E[?1049l, "
                         "use=screen,\n" % ("\\E[m" * 100))
        subprocess.run(["tic", "-o", self.tmp, source.name], check=True)
        for term, why in (("dumb", "it cannot move the cursor"),
                          ("mcwatch-long", "its sequences that give it back take 330 bytes, "
                                           "past the limit of 256")):
            with self.subTest(term=term):
                terminal = Terminal(self, "TERMINFO=%s TERM=%s %s" % (
                    self.tmp, term, watch_command("-v", "--top", GROUP, next_port())))
                screen = self.final_screen(terminal)
                lines = [line for line in screen.splitlines() if line]
                self.assertEqual([re.sub(r"^\[.*?\] ", "", line) for line in lines],
                                 ["[error] --top cannot draw on this terminal (TERM=%s): %s"
                                  % (term, why), "status 255"])

    def test_a_signal_that_ends_the_run_gives_the_terminal_back(self):
        # SIGHUP, as when the terminal goes away, stops the run in order; the others end it
        # as they would without the view, the terminal given back first.
        for number, status in ((signal.SIGHUP, 0), (signal.SIGQUIT, 128 + signal.SIGQUIT),
                               (signal.SIGUSR2, 128 + signal.SIGUSR2),
                               (signal.SIGALRM, 128 + signal.SIGALRM)):
            with self.subTest(signal=number.name):
                self.end_by_signal(number, status)

    def end_by_signal(self, number, status):
        port = next_port()
        pid_file = os.path.join(self.tmp, "pid")
        if os.path.exists(pid_file):
            os.remove(pid_file)
        command = ("ulimit -c 0; modes=$(stty -g); sh -c %s; s=$?; "
                   '[ "$(stty -g)" = "$modes" ] && echo "modes kept"; (exit $s)'
                   % shlex.quote("echo $$ >%s; exec %s" % (
                       pid_file, watch_command("-g", "--top", GROUP, port))))
        terminal = Terminal(self, command)
        wait_until(lambda: groups_joined(GROUP) == 1)
        self.wait_for_screen(terminal, lambda s: "STREAM" in s and terminal.modes() == "1 0")
        with open(pid_file) as kept:
            os.kill(int(kept.read()), number)
        # Where the terminal is not given back, the line may start anywhere.
        screen = self.final_screen(terminal, anywhere=True)
        self.assertEqual(terminal.modes(), "0 1", screen)
        self.assertIn("modes kept", screen.splitlines())
        self.assertIn("status %d" % status, screen.splitlines())
        self.assertEqual(groups_joined(GROUP), 0)
        if number == signal.SIGHUP:
            self.assertRegex(screen, r"Summary: 0 senders over")


class TopRefused(unittest.TestCase):
    def test_without_a_terminal_nothing_is_joined(self):
        status, out, err = run_to_end(["-v", "--top", GROUP, next_port()])
        self.assertEqual((status, out), (255, ""))
        message = ("--top needs a terminal this build can draw on" if WINDOWS
                   else "--top needs a terminal on standard input and output")
        self.assertEqual([line.split("] ", 2)[2] for line in err.splitlines()], [message])


if __name__ == "__main__":
    unittest.main(verbosity=2)
