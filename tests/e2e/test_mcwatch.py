"""End-to-end tests of mcwatch: real sockets in a private network namespace."""

import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, STOP_TIMEOUT_S, TRACED_ENV, WINDOWS, Watcher,  # noqa: E402
                     WatcherTest, datagram_line, feed_command, group_members, ms_between, ms_of_day,
                     next_port, now_ms_of_day, payload, run_cleanly, run_program, run_to_end,
                     send, sender, strip_prefix, tool_command, watch)


class DatagramLines(WatcherTest):
    def test_exact_line_followed_by_an_empty_line(self):
        port = next_port()
        watcher = watch(self, GROUP, port)
        sock = sender("127.0.0.1", 40123)
        self.addCleanup(sock.close)
        send([7, 8], port, sock=sock)
        watcher.wait_for("seq 8$")
        # Each line says when its datagram came: the time of day, within a minute of now.
        for line in watcher.lines()[1:]:
            if line:
                self.assertLess(ms_between(ms_of_day(line), now_ms_of_day()), 60000, line)
        messages = self.stop_cleanly(watcher)
        self.assertEqual(messages, [
            "Socket is bound to 0.0.0.0:%d" % port,
            datagram_line("127.0.0.1", 40123, port, 12, 7), "",
            datagram_line("127.0.0.1", 40123, port, 12, 8), "",
        ])

    def test_both_sequence_layouts(self):
        cases = [
            ([], payload(-5), -5),
            ([], b"\xff\xff\xff\xff" + payload(3)[4:], 3),           # first bytes ignored
            (["-f"], b"\xff\xff\xff\xff" + payload(3)[4:], -1),       # sign-extended
            (["-f"], payload(2147483647, short_seq=True), 2147483647),
            ([], b"\x00\x00\x00\x00\x01\x02", 513),                   # short: zeros read
            (["-f"], b"\xff\xff", 65535),
            ([], b"", 0),
        ]
        for options, data, seq in cases:
            with self.subTest(options=options, data=data):
                port = next_port()
                watcher = watch(self, *options, GROUP, port)
                sock = sender("127.0.0.1", 40124)
                sock.sendto(data, (GROUP, port))
                sock.close()
                watcher.wait_for(r"UDP, length %d, seq " % len(data))
                messages = self.stop_cleanly(watcher)
                self.assertIn(datagram_line("127.0.0.1", 40124, port, len(data), seq), messages)

    def test_lines_reach_a_pipe_while_the_tool_runs(self):
        port = next_port()
        watcher = watch(self, GROUP, port)
        for seq in range(3):
            sent = time.monotonic()
            send([seq], port)
            arrived = watcher.wait_for(r"seq %d$" % seq, timeout_s=5)
            self.assertLess(arrived - sent, 1.0)
            self.assertIsNone(watcher.process.poll())
        self.stop_cleanly(watcher)


class GapDetection(WatcherTest):
    def test_gap_and_extra_lines_come_before_the_datagram_line_and_only_with_the_option(self):
        cases = [(["-g"], [10, 11, 12, 14, 19, 19, 3, 11], [
            "10", "11", "12",
            "Missed packet: 13", "14",
            "Missed packets: 15 - 18", "19",
            "Extra packet: 19", "19",
            "Extra packet: 3", "3",
            "Missed packets: 4 - 10", "11"]),
            ([], [1, 5, 2], ["1", "5", "2"])]
        for options, sent, expected in cases:
            with self.subTest(options=options):
                port = next_port()
                watcher = watch(self, *options, GROUP, port)
                send(sent, port)
                watcher.wait_for(r"^IP ", count=len(sent))
                messages = [m for m in self.stop_cleanly(watcher) if m != ""]
                self.assertEqual([m.rsplit(" ", 1)[1] if m.startswith("IP ") else m
                                  for m in messages[1:]], expected)


class Statistics(WatcherTest):
    def test_reports_each_period_and_resets(self):
        port = next_port()
        watcher = watch(self, "-g", "-s", "400", GROUP, port)
        send([1, 2, 4, 5, 9], port)                        # 5 datagrams, 1 + 3 missed
        watcher.wait_for(r"^Stats: ", count=3, timeout_s=10)
        messages = self.stop_cleanly(watcher)
        stats = [m for m in messages if m.startswith("Stats: ")]
        self.assertEqual(stats[:3], ["Stats: packets - 5; gaps - 4",
                                     "Stats: packets - 0; gaps - 0",
                                     "Stats: packets - 0; gaps - 0"])
        # The first report comes one period after start-up, not at once: by the tool's own
        # clock (a busy machine delays lines, never hastens them), and not ten periods late.
        waited_ms = ms_between(ms_of_day(watcher.line_where(r"^Socket is bound")),
                               ms_of_day(watcher.line_where(r"^Stats: ")))
        self.assertTrue(399 <= waited_ms < 4000, waited_ms)

    def test_reports_stay_on_the_grid(self):
        port = next_port()
        watcher = watch(self, "-s", "200", GROUP, port)
        watcher.wait_for(r"^Stats: ", count=6, timeout_s=20)
        self.stop_cleanly(watcher)
        # Report k is due k periods after the start, which comes after the bind line: a busy
        # machine may make one late, never early. (That a late one does not push the next is
        # the loop's unit test, on a scripted clock.)
        bound = ms_of_day(watcher.line_where(r"^Socket is bound"))
        waited = [ms_between(bound, ms_of_day(line)) for line in watcher.lines()
                  if "Stats: " in line]
        self.assertTrue(all(k * 200 - 1 <= ms < 20000 for k, ms in enumerate(waited, 1)), waited)


class Membership(WatcherTest):
    @unittest.skipIf(WINDOWS, "Wine 8 passes the Windows ip_mreq_source to Linux without "
                     "reordering its fields, so the kernel filters on source 0.0.0.0 "
                     "(seen in /proc/net/mcfilter); real Windows is not affected")
    def test_source_specific_membership_receives_only_its_source(self):
        # With -v it says what it joined, after the bind line.
        port = next_port()
        watcher = watch(self, "-v", "-i", "lo", GROUP, port, "127.0.0.2")
        for source, seq in [("127.0.0.1", 1), ("127.0.0.2", 2), ("127.0.0.3", 3)]:
            send([seq], port, source=source)
        send([4], port, source="127.0.0.2")
        watcher.wait_for(r"seq 4$")
        time.sleep(0.2)
        all_messages = self.stop_cleanly(watcher)
        self.assertEqual(all_messages[1], "Joined %s on lo, source 127.0.0.2" % GROUP)
        messages = [m for m in all_messages if m.startswith("IP ")]
        self.assertEqual([m.split(" ")[1].rsplit(".", 1)[0] for m in messages],
                         ["127.0.0.2", "127.0.0.2"])
        self.assertEqual([m.rsplit(" ", 1)[1] for m in messages], ["2", "4"])

    def test_each_watcher_receives_on_the_given_interface_or_beside_another(self):
        # One on an interface given by its address; two instances on one port.
        for options in ([["-i", "127.0.0.1"]], [[], ["-g"]]):
            with self.subTest(options=options):
                port = next_port()
                watchers = [watch(self, *each, GROUP, port) for each in options]
                send([1, 2], port)
                for watcher in watchers:
                    watcher.wait_for(r"seq 2$")
                    self.stop_cleanly(watcher)

    def test_a_group_address_that_is_not_multicast_fails_at_the_join(self):
        status, out, err = run_to_end(["127.0.0.1", next_port()])
        self.assertEqual(status, 255)
        self.assertRegex(strip_prefix(out.splitlines()[0], "info"), r"^Socket is bound to ")
        self.assertRegex(strip_prefix(err.splitlines()[0], "error"), r"^setsockopt failed: \(")
        # Windows' texts end with a line break of their own, which leaves an empty line.
        self.assertEqual(len([line for line in err.splitlines() if line.strip()]), 1)
        # With -v the likely cause follows, for each failure whose cause is known.
        # Without -i, a missing device means no route: a namespace of its own has none.
        for args, cause, no_route in (
                (["127.0.0.1"], "the group is not a multicast address", False),
                (["-i", "10.9.9.9", GROUP], "no such interface", False),
                ([GROUP], "no route leads to the group: give an interface with -i", True)):
            if WINDOWS and (no_route or "-i" in args):
                continue  # Wine reports the kernel's ENODEV as WSAEINVAL, Windows does not
            with self.subTest(args=args):
                command = ["unshare", "-n"] + tool_command() if no_route else None
                status, out, err = run_to_end(["-v", *args, next_port()], command=command)
                lines = [strip_prefix(line, "error") for line in err.splitlines() if line.strip()]
                self.assertEqual(status, 255)
                self.assertEqual(len(lines), 2, lines)
                self.assertTrue(lines[1].startswith("Likely cause: " + cause), lines)


class Interrupt(WatcherTest):
    def test_sigint_and_sigterm_stop_in_order(self):
        # A Windows program only ever sees SIGINT, as Ctrl+C on its console; Wine ends it
        # outright on SIGTERM, as Windows ends a program from outside.
        signals = (signal.SIGINT,) if WINDOWS else (signal.SIGINT, signal.SIGTERM)
        for signal_number in signals:
            for busy in (False, True):
                with self.subTest(signal=signal_number, busy=busy):
                    port = next_port()
                    watcher = watch(self, "-g", "-s", "100", GROUP, port)
                    if busy:
                        send(range(50), port)
                        watcher.wait_for(r"seq 49$")
                    messages = self.stop_cleanly(watcher, signal_number)
                    self.assertEqual(messages[0], "Socket is bound to 0.0.0.0:%d" % port)




def traced_child(watcher):
    """The pid of the tool that a prefix command (strace) started."""
    pid = watcher.process.pid
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
            found = children.read().split()
        if found:
            return int(found[0])
        time.sleep(0.01)
    raise AssertionError("no child of %d" % pid)


@unittest.skipIf(WINDOWS, "descriptors, strace, /dev/full, terminals and LD_PRELOAD are POSIX's")
class PosixFaults(WatcherTest):
    """What only a POSIX system can do to the tool: its waits, streams and clocks."""

    @unittest.skipUnless(shutil.which("strace"), "strace is not installed")
    def test_only_an_interrupt_stops_the_wait(self):
        # The first recvmmsg takes what is queued; each later one follows a wait: ppoll on the
        # one socket, or with a timer armed epoll_pwait on the set.
        cases = [
            ([], "recvmmsg:error=EINTR:when=2", 0, []),
            ([], "recvmmsg:error=ENOMEM:when=2", 255,
             ["recv failed: (12) Cannot allocate memory"]),
            (["-s", "60000"], "epoll_pwait:error=ENOMEM:when=1", 255,
             ["select failed: (12) Cannot allocate memory"]),
        ]
        for options, injection, status, errors in cases:
            with self.subTest(injection=injection):
                port = next_port()
                watcher = Watcher([*options, GROUP, port], env=TRACED_ENV, prefix=[
                    "strace", "-qq", "-o", "/dev/null", "-e", "trace=recvmmsg,ppoll,epoll_pwait",
                    "-e", "inject=" + injection])
                self.addCleanup(watcher.kill)
                if not options:
                    watcher.ready()  # the poll case fails at once, at its first wait
                if status == 0:
                    send([1, 2, 3], port, gap_s=0.05)
                    watcher.wait_for(r"seq 3$")
                    os.kill(traced_child(watcher), signal.SIGINT)
                elif not options:
                    send([1], port)
                self.assertEqual(watcher.finish(), status)
                self.assertEqual(watcher.error_messages(), errors)
                self.assertLessEqual(group_members(GROUP), watcher.members_before)

    def test_a_failed_write_ends_the_run_after_leaving_the_group(self):
        before = group_members(GROUP)
        with open("/dev/full", "wb") as full:
            status, _, err = run_program(tool_command() + ["-g", GROUP, str(next_port())],
                                         STOP_TIMEOUT_S, stdout=full)
        self.assertEqual(status, 255)
        self.assertEqual([strip_prefix(line, "error") for line in err.decode().splitlines()],
                         ["write failed: (28) No space left on device"])
        self.assertEqual(group_members(GROUP), before)

    def test_a_closed_standard_output_is_not_taken_by_the_socket(self):
        port = next_port()
        # Its output in files: the join alone says it is ready, as it writes no bind line.
        watcher = watch(self, GROUP, port, prefix=["sh", "-c", 'exec "$@" >&-', "sh"],
                        to_files=True)
        self.assertEqual(os.readlink("/proc/%d/fd/1" % watcher.process.pid), "/dev/null")
        send([1, 2], port)
        time.sleep(0.2)
        self.assertEqual((watcher.stop(), watcher.errors()), (0, ""))

    @unittest.skipUnless(shutil.which("script"), "script (util-linux) is not installed")
    def test_an_error_line_comes_after_the_lines_before_it_on_a_terminal(self):
        command = shlex.join(tool_command() + ["-i", "10.9.9.9", GROUP, str(next_port())])
        done = subprocess.run(["script", "-qec", command, "/dev/null"], capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=STOP_TIMEOUT_S)
        self.assertEqual(done.returncode, 255)
        lines = [strip_prefix(line, None) for line in done.stdout.decode().splitlines()]
        self.assertEqual(lines[0], "Socket is bound to 0.0.0.0:%s" % command.split()[-1])
        self.assertRegex(lines[1], r"^setsockopt failed: \(19\) ")

    @unittest.skipUnless(os.environ.get("MCWATCH_STEP_CLOCK"), "the clock shim was not built")
    def test_statistics_keep_their_period_when_the_calendar_clock_is_set(self):
        # With -s 100 over about 1.2 s: a dozen reports, whichever way the clock was set.
        for step_s in ("60", "-60"):
            with self.subTest(step_s=step_s):
                watcher = watch(self, "-s", "100", GROUP, next_port(), env={
                    "LD_PRELOAD": os.environ["MCWATCH_STEP_CLOCK"],
                    "STEP_CLOCK_AFTER_MS": "300", "STEP_CLOCK_SECONDS": step_s})
                time.sleep(1.2)
                reports = [m for m in self.stop_cleanly(watcher) if m.startswith("Stats: ")]
                self.assertTrue(8 <= len(reports) <= 16, len(reports))

    @unittest.skipUnless(shutil.which("strace"), "strace is not installed")
    def test_standard_output_is_written_in_blocks_larger_than_the_library_s(self):
        port = next_port()
        with tempfile.TemporaryDirectory() as folder:
            trace = os.path.join(folder, "trace")
            # Traced, the tool is slow enough that a flood queues up behind each wait.
            watcher = watch(self, GROUP, port, env=TRACED_ENV,
                            prefix=["strace", "-qq", "-o", trace, "-e", "trace=write"])
            subprocess.run(feed_command() + ["-q", "-b", "127.0.0.1", "-r", "0", "-n", "20000",
                                             GROUP, str(port)], check=True, timeout=60)
            time.sleep(1.0)
            os.kill(traced_child(watcher), signal.SIGINT)
            self.assertEqual(watcher.finish(), 0)
            with open(trace) as calls:
                sizes = [int(m.group(1)) for m in re.finditer(r"^write\(1, .*\) = (\d+)$",
                                                              calls.read(), re.M)]
        self.assertGreater(max(sizes), 4096)


class Faults(WatcherTest):
    def test_only_datagrams_sent_to_the_group_are_taken(self):
        port = next_port()
        other = "239.2.2.2"
        first = watch(self, "-g", GROUP, port)
        second = watch(self, "-g", other, port, group=other)
        send([100], port, group=other)
        send([55555], port, group="127.0.0.1")
        send([1, 2], port)
        send([101], port, group=other)
        first.wait_for(r"seq 2$")
        second.wait_for(r"seq 101$")
        time.sleep(0.2)
        for watcher, group, seqs in ((first, GROUP, [1, 2]), (second, other, [100, 101])):
            messages = [m for m in self.stop_cleanly(watcher) if m != ""]
            self.assertEqual([m.split(" > ", 1)[-1] for m in messages[1:]],
                             ["%s.%d: UDP, length 12, seq %d" % (group, port, seq)
                              for seq in seqs])

    def test_a_source_that_cannot_send_is_refused(self):
        for source in ("0.0.0.0", "255.255.255.255", "239.9.9.9"):
            with self.subTest(source=source):
                status, out, err = run_to_end([GROUP, next_port(), source])
                self.assertEqual(status, 255)
                self.assertEqual([strip_prefix(line, "error") for line in err.splitlines()],
                                 ['Invalid source address "%s": a source must be a unicast '
                                  'address' % source])

    def test_help_and_version_go_to_standard_output(self):
        for option, first_line in (("-h", "usage: mcwatch [-g] [-f] [-s <period(ms)>] "
                                          "[-i <interface>] [-v] [--summary] [--per-sender]"),
                                   ("--help", None), ("-V", "mcwatch 1.0.0"),
                                   ("--version", "mcwatch 1.0.0")):
            with self.subTest(option=option):
                out = run_cleanly(self, [option])
                if first_line is not None:
                    self.assertEqual(out.splitlines()[0], first_line)
                else:
                    for word in ("-g", "-f", "-s", "-i", "-h", "--help", "-V", "--version",
                                 "--verbose", "--summary", "--per-sender", "--count",
                                 "--duration", "--max-lost", "--seq", "--seq-count", "--format"):
                        self.assertRegex(out, r"(?m)^ +(-\w, )?%s\b" % re.escape(word))


class CommandLineErrors(unittest.TestCase):
    USAGE = "%s [-g] [-f] [-s <period(ms)>] <host> <port> [<source_host>]"

    def test_bad_command_lines_print_one_error_and_exit_255(self):
        cases = [
            ([], None),
            (["-g", GROUP], None),
            (["-x", GROUP, "5000"], "unknown option"),
            (["-s", "-g", GROUP, "5000"], "invalid option"),
            (["-s", "4294968", GROUP, "5000"], "invalid option"),
            (["-i", "255.255.255.255", GROUP, "5000"], "invalid option"),
            (["-c", "0", GROUP, "5000"], "invalid option"),
            (["--count=12x", GROUP, "5000"], "invalid option"),
            (["--duration", "0", GROUP, "5000"], "invalid option"),
            (["--duration", "1.5s", GROUP, "5000"], "invalid option"),
            (["--max-lost", "-1", GROUP, "5000"], "invalid option"),
            (["--rcvbuf", "0", GROUP, "5000"], "invalid option"),
            (["--rcvbuf", "3g", GROUP, "5000"], "invalid option"),
            (["--rcvbuf", "2049m", GROUP, "5000"], "invalid option"),
            (["--stall", "0", GROUP, "5000"], "invalid option"),
            (["--summaries", GROUP, "5000"], "unknown option"),
            ([GROUP, "65616"], "invalid port"),
            ([GROUP, "abc"], "invalid port"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                status, out, err = run_to_end(args)
                self.assertEqual(status, 255)
                self.assertEqual(out, "")
                lines = [strip_prefix(line, "error") for line in err.splitlines()]
                if message is None:
                    self.assertEqual(len(lines), 2, lines)
                    # The program name is whatever started it; the rest is exact.
                    program, rest = lines[0].split(" ", 1)
                    self.assertRegex(program, r"mcwatch(\.exe)?$")
                    self.assertEqual(rest, (self.USAGE % "").lstrip())
                    self.assertEqual(lines[1], "")
                else:
                    self.assertEqual(lines, [message])

    def test_an_unresolvable_group_is_reported(self):
        status, out, err = run_to_end(["no-such-group.invalid", "5000"])
        self.assertEqual(status, 255)
        self.assertRegex(strip_prefix(err.splitlines()[0], "error"),
                         r'^Failed to resolve address "no-such-group\.invalid": \(-?\d+\) .+')


if __name__ == "__main__":
    unittest.main(verbosity=2)
