"""End-to-end tests of mcwatch: real sockets in a private network namespace."""

import itertools
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, WINDOWS, Watcher, datagram_line, payload, run_to_end,  # noqa: E402
                     send, sender, strip_prefix, watch)

_ports = itertools.count(41000)


def next_port():
    return next(_ports)


class WatcherTest(unittest.TestCase):
    def watch(self, *args):
        return watch(self, *args)

    def stop_cleanly(self, watcher, signal_number=signal.SIGINT):
        status = watcher.stop(signal_number)
        self.assertEqual(status, 0, watcher.error_messages())
        self.assertEqual(self.errors_but_leave(watcher), [])
        return watcher.messages()

    @staticmethod
    def errors_but_leave(watcher):
        """Error lines, less the leave's report: where the socket library is shut down by the
        interrupt (Winsock), the leave request fails after an interrupt by design."""
        errors = [m for m in watcher.error_messages() if m != ""]
        if WINDOWS and errors and \
                errors[-1].startswith("setsockopt failed: ("):
            errors.pop()
        return errors


class DatagramLines(WatcherTest):
    def test_exact_line_followed_by_an_empty_line(self):
        port = next_port()
        watcher = self.watch(GROUP, port)
        sock = sender("127.0.0.1", 40123)
        self.addCleanup(sock.close)
        send([7, 8], port, sock=sock)
        watcher.wait_for("seq 8$")
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
                watcher = self.watch(*options, GROUP, port)
                sock = sender("127.0.0.1", 40124)
                sock.sendto(data, (GROUP, port))
                sock.close()
                watcher.wait_for(r"UDP, length %d, seq " % len(data))
                messages = self.stop_cleanly(watcher)
                self.assertIn(datagram_line("127.0.0.1", 40124, port, len(data), seq), messages)

    def test_lines_reach_a_pipe_while_the_tool_runs(self):
        port = next_port()
        watcher = self.watch(GROUP, port)
        for seq in range(3):
            sent = time.monotonic()
            send([seq], port)
            arrived = watcher.wait_for(r"seq %d$" % seq, timeout_s=5)
            self.assertLess(arrived - sent, 1.0)
            self.assertIsNone(watcher.process.poll())
        self.stop_cleanly(watcher)


class GapDetection(WatcherTest):
    def test_gap_and_extra_lines_come_before_the_datagram_line(self):
        port = next_port()
        watcher = self.watch("-g", GROUP, port)
        send([10, 11, 12, 14, 19, 19, 3, 11], port)
        watcher.wait_for(r"seq 11$", count=2)
        messages = [m for m in self.stop_cleanly(watcher) if m != ""]
        seqs = [m.rsplit(" ", 1)[1] if m.startswith("IP ") else m for m in messages[1:]]
        self.assertEqual(seqs, [
            "10", "11", "12",
            "Missed packet: 13", "14",
            "Missed packets: 15 - 18", "19",
            "Extra packet: 19", "19",
            "Extra packet: 3", "3",
            "Missed packets: 4 - 10", "11",
        ])

    def test_no_gap_lines_without_the_option(self):
        port = next_port()
        watcher = self.watch(GROUP, port)
        send([1, 5, 2], port)
        watcher.wait_for(r"seq 2$")
        messages = self.stop_cleanly(watcher)
        self.assertFalse([m for m in messages if "packet" in m], messages)


class Statistics(WatcherTest):
    def test_reports_each_period_and_resets(self):
        port = next_port()
        watcher = Watcher(["-g", "-s", "400", GROUP, port])
        self.addCleanup(watcher.kill)
        bound = watcher.ready()
        send([1, 2, 4, 5, 9], port)                        # 5 datagrams, 1 + 3 missed
        first = watcher.wait_for(r"^Stats: ", count=1, timeout_s=5)
        watcher.wait_for(r"^Stats: ", count=3, timeout_s=5)
        messages = self.stop_cleanly(watcher)
        stats = [m for m in messages if m.startswith("Stats: ")]
        self.assertEqual(stats[:3], ["Stats: packets - 5; gaps - 4",
                                     "Stats: packets - 0; gaps - 0",
                                     "Stats: packets - 0; gaps - 0"])
        # The first report comes one period after start-up, not at once.
        self.assertGreater(first - bound, 0.25)
        self.assertLess(first - bound, 1.5)

    def test_reports_stay_on_the_grid(self):
        port = next_port()
        watcher = self.watch("-s", "200", GROUP, port)
        watcher.wait_for(r"^Stats: ", count=6, timeout_s=5)
        self.stop_cleanly(watcher)
        stamps = [line[1:13] for line in watcher.lines() if "Stats: " in line]
        ms = [((int(s[0:2]) * 60 + int(s[3:5])) * 60 + int(s[6:8])) * 1000 + int(s[9:12])
              for s in stamps]
        intervals = [b - a for a, b in zip(ms, ms[1:])]
        # Reports are due every 200 ms from the start; a late one does not push the next.
        self.assertAlmostEqual((ms[-1] - ms[0]) / (len(ms) - 1), 200, delta=25)
        self.assertTrue(all(100 < i < 300 for i in intervals), intervals)


class Membership(WatcherTest):
    @unittest.skipIf(WINDOWS, "Wine 8 passes the Windows ip_mreq_source to Linux without "
                     "reordering its fields, so the kernel filters on source 0.0.0.0 "
                     "(seen in /proc/net/mcfilter); real Windows is not affected")
    def test_source_specific_membership_receives_only_its_source(self):
        port = next_port()
        watcher = self.watch(GROUP, port, "127.0.0.2")
        for source, seq in [("127.0.0.1", 1), ("127.0.0.2", 2), ("127.0.0.3", 3)]:
            send([seq], port, source=source)
        send([4], port, source="127.0.0.2")
        watcher.wait_for(r"seq 4$")
        time.sleep(0.2)
        messages = [m for m in self.stop_cleanly(watcher) if m.startswith("IP ")]
        self.assertEqual([m.split(" ")[1].rsplit(".", 1)[0] for m in messages],
                         ["127.0.0.2", "127.0.0.2"])
        self.assertEqual([m.rsplit(" ", 1)[1] for m in messages], ["2", "4"])

    def test_joins_on_the_given_interface(self):
        port = next_port()
        watcher = self.watch("-i", "127.0.0.1", GROUP, port)
        send([42], port)
        watcher.wait_for(r"seq 42$")
        self.stop_cleanly(watcher)

    def test_two_instances_on_one_port_both_receive(self):
        port = next_port()
        first = self.watch(GROUP, port)
        second = self.watch("-g", GROUP, port)
        send([1, 2], port)
        for watcher in (first, second):
            watcher.wait_for(r"seq 2$")
            self.stop_cleanly(watcher)

    def test_a_group_address_that_is_not_multicast_fails_at_the_join(self):
        status, out, err = run_to_end(["127.0.0.1", next_port()])
        self.assertEqual(status, 255)
        self.assertRegex(strip_prefix(out.splitlines()[0], "info"), r"^Socket is bound to ")
        self.assertRegex(strip_prefix(err.splitlines()[0], "error"), r"^setsockopt failed: \(")


class Interrupt(WatcherTest):
    def test_sigint_and_sigterm_stop_in_order(self):
        # A Windows program only ever sees SIGINT, as Ctrl+C on its console; Wine ends it
        # outright on SIGTERM, as Windows ends a program from outside.
        signals = (signal.SIGINT,) if WINDOWS else (signal.SIGINT, signal.SIGTERM)
        for signal_number in signals:
            for busy in (False, True):
                with self.subTest(signal=signal_number, busy=busy):
                    port = next_port()
                    watcher = self.watch("-g", "-s", "100", GROUP, port)
                    if busy:
                        send(range(50), port)
                        watcher.wait_for(r"seq 49$")
                    messages = self.stop_cleanly(watcher, signal_number)
                    self.assertEqual(messages[0], "Socket is bound to 0.0.0.0:%d" % port)


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
