"""End-to-end tests of many streams in one process (--config) and of feeds: redundant lines
judged as one. mcfeed sends one sequence to several groups with faults decided for each group
on its own and recorded with it, so its record says exactly what each line and the feed lost."""

import json
import os
import re
import shutil
import signal
import subprocess
import socket
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (TRACED_ENV, WINDOWS, StampedReceiver, Watcher,  # noqa: E402
                     expected_counts, feed_command, groups_joined, next_port, payload,
                     process_status, queued_bytes, receive_buffer_errors, run_feed, run_to_end,
                     sender, steps, strip_prefix, tool_command, wait_until)

from test_ipv6 import GROUP6, V0, group6_members, sender6  # noqa: E402

# Under Wine a program's sockets are made by its wineserver: fewer streams there.
MANY = 50 if WINDOWS else 1000


def write_config(folder, text):
    path = os.path.join(folder, "streams.toml")
    with open(path, "w") as config:
        config.write(text)
    return path


def stream_table(name, group, port, feed=None, extra=""):
    table = '[[stream]]\nname = "%s"\ngroup = "%s"\nport = %d\n' % (name, group, port)
    if feed is not None:
        table += 'feed = "%s"\n' % feed
    return table + extra


def summary_of(watcher, stream):
    """A stream's total summary line as numbers by name."""
    line = watcher.line_where(r"Summary: \d+ senders? over .* on %s$" % re.escape(stream))
    return {k: int(v) for k, v in re.findall(r"(\w+) (\d+)(?=,| on)", line.split(": ", 2)[2])}


def feed_record(record, group, port):
    """The part of mcfeed's record that is one group's, without its " on ..." ending."""
    ending = " on %s:%d" % (group, port)
    return [line[:-len(ending)] for line in record if line.endswith(ending)]


def dropped(record):
    return {seq for fault, seq, _ in steps(record) if fault == "dropped"}


class Streams(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def watch_config(self, text, *options):
        path = write_config(self.folder.name, text)
        watcher = Watcher([*options, "--config", path])
        self.addCleanup(watcher.kill)
        return watcher

    def test_streams_on_one_port_see_only_their_own_group(self):
        port = next_port()
        text = stream_table("a", "239.3.0.1", port) + stream_table("b", "239.3.0.2", port)
        watcher = self.watch_config(text, "-g", "--summary")
        # One socket serves both: its line names the first.
        watcher.wait_for(r"Socket is bound to .* on a$")
        wait_until(lambda: groups_joined("239.3.0.") == 2)
        # Another program's group on the same port: its datagrams are not the streams'.
        other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(other.close)
        other.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        other.bind(("", port))
        other.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                         socket.inet_aton("239.3.0.3") + socket.inet_aton("0.0.0.0"))
        wait_until(lambda: groups_joined("239.3.0.") == 3)
        out = sender()
        self.addCleanup(out.close)
        for seq in range(5):
            out.sendto(payload(seq), ("239.3.0.1", port))
            out.sendto(payload(100 + seq), ("239.3.0.2", port))
            out.sendto(payload(1000 + seq), ("239.3.0.3", port))
        watcher.wait_for_datagrams(10)
        self.assertEqual(watcher.stop(), 0)
        lines = [line for line in watcher.messages() if line.startswith("IP ")]
        self.assertEqual(sorted(lines), sorted(
            ["IP %s > %s.%d: UDP, length 12, seq %d" % (s, g, port, n)
             for g, first in (("239.3.0.1", 0), ("239.3.0.2", 100))
             for n in range(first, first + 5)
             for s in [re.match(r"IP (\S+) >", lines[0]).group(1)]]))
        for name in ("a", "b"):
            self.assertEqual(summary_of(watcher, name)["received"], 5)
            self.assertEqual(summary_of(watcher, name)["missed"], 0)
        self.assertEqual(groups_joined("239.3.0.") - 1, 0)

    def feed_run(self, lines, feed_args, *options, record_groups=None):
        """Watches the lines of feed f, sends mcfeed's sequence to record_groups (default
        all), and returns the watcher after its stop with mcfeed's record."""
        port = next_port()
        text = "".join(stream_table(name, group, port + i, "f")
                       for i, (name, group) in enumerate(lines))
        before = groups_joined("239.4.")
        # A queue of several seconds: a watcher held up on a busy machine drops nothing.
        watcher = self.watch_config(text, "--rcvbuf", "16m", *options)
        wait_until(lambda: groups_joined("239.4.") == before + len(lines))
        targets = []
        for i, (name, group) in enumerate(lines):
            if record_groups is None or group in record_groups:
                targets += [group, str(port + i)]
        status, _, record = run_feed([*feed_args, *targets])
        self.assertEqual(status, 0, record)
        return watcher, port, record.splitlines()

    def test_a_feed_loses_only_what_no_line_delivered(self):
        # The arbitration time is long enough that only the lines decide: every number a line
        # dropped the other delivered, or both lost it.
        lines = [("A", "239.4.0.1"), ("B", "239.4.0.2")]
        count = 2000
        watcher, port, record = self.feed_run(
            lines, ["-n", count, "-r", 2000, "--seed", 7, "--drop", "0.05", "--duplicate",
                    "0.01"], "-g", "--summary", "--arbitration", "5000", "--max-lost", "6")
        per_line = [feed_record(record, group, port + i) for i, (_, group) in enumerate(lines)]
        sent = [count - len(dropped(r)) + sum(f == "duplicated" for f, _, _ in steps(r))
                for r in per_line]
        watcher.wait_for_datagrams(sum(sent))
        status = watcher.stop()
        for (name, _), r, n in zip(lines, per_line, sent):
            counts = summary_of(watcher, name)
            self.assertEqual(counts["received"], n, name)
            for key, value in expected_counts(r, 0, count, 64).items():
                self.assertEqual(counts[key], value, (name, key))
        both = dropped(per_line[0]) & dropped(per_line[1])
        highest = max(set(range(count)) - both)
        lost = sorted(n for n in both if n < highest)
        shown = []
        for line in watcher.messages():
            match = re.match(r"Feed f lost: (\d+)(?: - (\d+))?$", line)
            if match:
                first = int(match.group(1))
                shown += range(first, int(match.group(2) or first) + 1)
        self.assertEqual(shown, lost)
        # The feed is judged by its own loss: each line lost far more than 6 on its own.
        self.assertGreater(min(len(dropped(r)) for r in per_line), 6)
        self.assertEqual(status, 0 if len(lost) <= 6 else 1)
        feed = watcher.line_where(r"Summary: feed f:")
        alone_a = len(dropped(per_line[1]) - dropped(per_line[0]))
        alone_b = len(dropped(per_line[0]) - dropped(per_line[1]))
        self.assertIn("numbers %d, missed %d, late 0, lost %d; A alone %d, " % (
            highest + 1 - len(lost), len(lost), len(lost), alone_a), feed)
        self.assertIn(", B alone %d, first " % alone_b, feed)

    def test_the_feed_follows_its_lines_rules(self):
        # Each row: what mcfeed sends to both lines, the layout, the feed's numbers, missed and
        # late, each line's lost (both alike), and the holes the feed prints.
        rows = [
            ("both lose the same 70,000 numbers", ["-n", 200, "--restart", "100:70100"], "",
             200, 200, 70000, ["100 - 70099"]),
            ("a restart of the numbers, and the same numbers lost after it",
             ["-n", 300, "--start", 1000000, "--restart", "150:1", "--drop-every", 50], "",
             294, 294, 4, ["1000049", "1000099", "50", "100"]),
            ("heartbeats show the end of the run lost",
             ["-n", 2990, "--format", "moldudp64", "--heartbeat", 20, "--restart", "2990:3000"],
             'format = "moldudp64"\n', 2990, 2990, 10, ["2990 - 2999"]),
            ("a new MoldUDP64 session, and the same numbers lost in it",
             ["-n", 300, "--format", "moldudp64", "--new-session", "150:S2", "--drop-every", 50],
             'format = "moldudp64"\n', 294, 294, 4, ["49", "99", "50", "100"]),
            ("an RTP sender that restarts 20,000 ahead",
             ["-n", 200, "--format", "rtp", "--start", 1000, "--restart", "100:21100"],
             'format = "rtp"\n', 200, 200, 0, []),
            ("64-bit numbers across 2^63",
             ["-n", 20, "--seq", "4:8:be", "--start", 2 ** 63 - 10, "--drop-every", 7],
             'seq = "4:8:be"\n', 18, 18, 2, ["9223372036854775804", "9223372036854775811"]),
            ("the classic signed field across its largest number",
             ["-n", 20, "--start", 2 ** 63 - 10, "--drop-every", 7], "",
             18, 18, 2, ["9223372036854775804", "-9223372036854775805"]),
        ]
        for name, args, layout, datagrams, numbers, missed, holes in rows:
            with self.subTest(name):
                lines = [("A", "239.4.4.1"), ("B", "239.4.4.2")]
                port = next_port()
                text = "".join(stream_table(n, g, port + i, "f", layout)
                               for i, (n, g) in enumerate(lines))
                before = groups_joined("239.4.4.")
                watcher = self.watch_config(text, "-q", "-g", "--summary", "--rcvbuf", "16m",
                                            "--max-lost", "5")
                wait_until(lambda: groups_joined("239.4.4.") == before + 2)
                targets = [str(a) for i, (_, g) in enumerate(lines) for a in (g, port + i)]
                status, _, record = run_feed(["-r", 2000, *args, *targets])
                self.assertEqual(status, 0, record)
                # Everything is sent: once both queues are empty, every datagram was taken.
                wait_until(lambda: queued_bytes(port) == 0 and queued_bytes(port + 1) == 0)
                if holes:
                    watcher.wait_for(r"Feed f lost: %s$" % holes[-1])
                status = watcher.stop()
                for line_name, _ in lines:
                    self.assertEqual(summary_of(watcher, line_name)["lost"], missed, line_name)
                    self.assertEqual(summary_of(watcher, line_name)["received"], datagrams,
                                     line_name)
                shown = [m[len("Feed f lost: "):] for m in watcher.messages()
                         if m.startswith("Feed f lost: ")]
                self.assertEqual(shown, holes)
                feed = watcher.line_where(r"Summary: feed f:")
                self.assertIn("numbers %d, missed %d, late 0, lost %d;" % (
                    numbers, missed, missed), feed)
                self.assertEqual(status, 1 if missed > 5 else 0)

    def test_each_copy_counts_at_its_own_arrival(self):
        # B far behind: it saves what A lost, late; B within the arbitration time past the
        # old window of numbers: no loss; A a millisecond behind: B is first with every number.
        lines = [("A", "239.4.5.1"), ("B", "239.4.5.2")]
        rows = [
            ("B 1.5 s behind", ["-n", 3000, "-r", 2000, "--drop", "0.01", "--lag",
                                "239.4.5.2:1500"], []),
            ("B 300 ms behind at 300,000 numbers a second: more than 65,536 apart",
             ["-n", 300000, "-r", 600, "--format", "moldudp64", "--messages", 1000, "--lag",
              "239.4.5.2:300"], ["--arbitration", "1000"]),
            ("A 1 ms behind", ["-n", 2000, "-r", 2000, "--lag", "239.4.5.1:1"],
             ["--arbitration", "1000"]),
            # Every copy of B is beyond a window of 10 ms; what A lost and B alone delivered is
            # lost for a receiver with that window.
            ("B 20 ms behind, max skew 10 ms", ["-n", 1000, "-r", 1000, "--drop", "0.02",
                                                "--lag", "239.4.5.2:20"],
             ["--max-skew", "10", "-s", "500", "-v"]),
            # Several numberings in flight: B's copies of each run are that run's, not A's.
            ("B four runs behind, the sender started again every 50 ms", ["-n", 100, "-r", 2000],
             ["--arbitration", "20"]),
        ]
        for name, args, options in rows:
            # Windows stamps no arrival: a copy's time is its receive's, and sockets drained in
            # turn cannot tell a millisecond apart.
            if WINDOWS and name[2:4] in ("1 ", "20"):
                continue
            with self.subTest(name):
                layout = 'format = "moldudp64"\n' if "moldudp64" in args else ""
                port = next_port()
                text = "".join(stream_table(n, g, port + i, "f", layout)
                               for i, (n, g) in enumerate(lines))
                before = groups_joined("239.4.5.")
                # A queue of several seconds: a watcher held up on a busy machine drops nothing.
                watcher = self.watch_config(text, "-q", "--summary", "--rcvbuf", "16m", *options)
                wait_until(lambda: groups_joined("239.4.5.") == before + 2)
                if "started again" in name:
                    self.check_runs_behind(watcher, args, [(g, port + i) for i, (_, g) in
                                                           enumerate(lines)])
                    continue
                targets = [str(a) for i, (_, g) in enumerate(lines) for a in (g, port + i)]
                stamped = [self.stamped(port + i, g) for i, (_, g) in enumerate(lines)
                           if name.startswith("B 20")]
                status, out, record = run_feed([*args, "--seed", 5, *targets], timeout_s=120)
                self.assertEqual(status, 0, record)
                per_line = [feed_record(record.splitlines(), g, port + i)
                            for i, (_, g) in enumerate(lines)]
                # Everything is sent: once both queues are empty, every datagram was taken.
                wait_until(lambda: queued_bytes(port) == 0 and queued_bytes(port + 1) == 0)
                self.assertEqual(watcher.stop(), 0)
                for (line_name, _), r in zip(lines, per_line):
                    self.assertEqual(summary_of(watcher, line_name)["received"],
                                     int(args[1]) - len(dropped(r)), line_name)
                feed = watcher.line_where(r"Summary: feed f:")
                count = int(args[1])
                has = [set(range(count)) - dropped(r) for r in per_line]
                start, a_last, b_last = min(has[0]), max(has[0]), max(has[1])
                # A's holes are decided before B's copies come; past A's last, B's are in time.
                missed = {n for n in range(start, b_last) if n not in has[0]}
                late = {n for n in missed & has[1] if n < a_last}
                b_tail = {n for n in has[1] if n > a_last}
                if name.startswith("B 1.5"):
                    # A line's alone is what no other line delivered, whenever its copies came.
                    expected = "numbers %d, missed %d, late %d, lost %d; A alone %d, " % (
                        len(has[0]) + len(late) + len(b_tail), len(missed - b_tail), len(late),
                        len(missed - b_tail - late), len(has[0] - has[1]))
                    self.assertIn(expected, feed)
                    self.assertIn(", B alone %d, first " % len(has[1] - has[0]), feed)
                elif name.startswith("B 20"):
                    self.check_skew(watcher, feed, has, a_last, stamped)
                elif name.startswith("B 300"):
                    self.assertIn("numbers %d, missed 0, late 0, lost 0; A alone 0, first 100.0%%,"
                                  " B alone 0, first 0.0%%" % count, feed)
                else:
                    self.assertIn("numbers %d, missed 0, late 0, lost 0; A alone 0, first 0.0%%,"
                                  " B alone 0, first 100.0%%" % count, feed)

    def check_runs_behind(self, watcher, args, targets):
        """Four runs of the sender in a row on each line, each a new sender whose numbers begin
        again; B's start 200 ms after A's, and A drops every 25th number."""
        statuses = []

        def send(line):
            time.sleep(0.2 * line)
            for _ in range(4):
                drops = ["--drop-every", 25] if line == 0 else []
                statuses.append(run_feed([*args, *drops, *targets[line]])[0])

        senders = [threading.Thread(target=send, args=(line,)) for line in (0, 1)]
        for thread in senders:
            thread.start()
        for thread in senders:
            thread.join()
        self.assertEqual(statuses, [0] * 8)
        wait_until(lambda: all(queued_bytes(port) == 0 for _, port in targets))
        self.assertEqual(watcher.stop(), 0)
        feed = watcher.line_where(r"Summary: feed f:")
        counts = re.search(r"numbers (\d+), missed (\d+), late (\d+), lost (\d+); A alone (\d+), "
                           r".*, B alone (\d+), ", feed)
        numbers, missed, late, lost, alone_a, alone_b = map(int, counts.groups())
        # B fills every hole of A's, in time or late by when B's copy came.
        self.assertEqual((numbers, lost, alone_a, alone_b), (400, 0, 0, 16), feed)
        self.assertEqual(missed, late, feed)

    def stamped(self, port, group):
        receiver = StampedReceiver(port, group)
        self.addCleanup(receiver.close)
        return receiver

    def check_skew(self, watcher, feed, has, a_last, stamped):
        """B 20 ms behind A, with a max skew of 10 ms; stamped: each line's arrivals as the
        kernel stamped them, the times the watcher judges by."""
        behind = {name: [float(v) for v in times] for name, *times in re.findall(
            r"(\w) behind p50 ([\d.]+) ms, p99 ([\d.]+) ms, max ([\d.]+) ms", feed)}
        self.assertLess(behind["A"][0], 1, feed)
        self.assertGreaterEqual(behind["B"][0], 20, feed)
        self.assertLess(behind["B"][0], 200, feed)
        # B's copies past A's last came when no line had passed their numbers: on time. Of
        # what A lost, B's copy is lost in the window where it came more than 10 ms after A's
        # next: all of them, but where a sender held up caught up in a burst (on a busy machine
        # some may), so the stamps decide.
        b_beyond = len({n for n in has[1] if n <= a_last})
        a_arrivals = stamped[0].arrivals
        b_first = {}
        for at_s, seq in stamped[1].arrivals:
            b_first.setdefault(seq, at_s)
        beyond_window = [b_first[n] - min(t for t, seq in a_arrivals if seq > n) > 0.010
                         for n in has[1] - has[0] if n < a_last]
        self.assertGreater(sum(beyond_window), 0)
        counted = int(re.search(r", lost in window (\d+);", feed).group(1))
        self.assertEqual(counted, sum(beyond_window), feed)
        beyond = re.search(r"A behind .*, beyond (\d+), B behind .*, beyond (\d+)$", feed)
        self.assertEqual(int(beyond.group(1)), 0, feed)
        self.assertTrue(b_beyond * 0.98 <= int(beyond.group(2)) <= b_beyond, feed)
        # -s with -v: the feed's period line says the same for each period.
        periods = [m for m in watcher.messages() if m.startswith("Feed f: A behind ")]
        # The last part of a period after the last line is the summary's alone.
        self.assertTrue(0 < sum(int(m.rsplit("beyond ", 1)[1]) for m in periods) <= b_beyond)

    def test_a_silent_line_leaves_the_decision_to_the_arbitration_time(self):
        lines = [("A", "239.4.1.1"), ("B", "239.4.1.2")]
        watcher, port, record = self.feed_run(
            lines, ["-n", 300, "-r", 1000, "--seed", 3, "--drop", "0.05"], "-q", "-g",
            "--arbitration", "100", record_groups=["239.4.1.1"])
        # One group: mcfeed's record is that line's alone, as a single stream's has it.
        highest = max(set(range(300)) - dropped(record))
        lost = sorted(n for n in dropped(record) if n < highest)
        # Decided while the run goes on: only the time can decide, B never passes a number.
        last = lost[-1]
        watcher.wait_for(r"Feed f lost: (\d+ - )?%d$" % last, timeout_s=30)
        self.assertEqual(watcher.stop(), 0)
        shown = []
        for line in watcher.messages():
            match = re.match(r"Feed f lost: (\d+)(?: - (\d+))?$", line)
            if match:
                shown += range(int(match.group(1)), int(match.group(2) or match.group(1)) + 1)
        self.assertEqual(shown, lost)

    def test_the_verdict_fails_a_silent_stream_or_feed(self):
        # Each row: what is sent to (one stream outside any feed always), and the verdict.
        rows = [(["239.4.3.1", "239.4.3.2", "239.4.3.3"], "Verdict: lost 0 numbers and "),
                (["239.4.3.1", "239.4.3.3"], "Verdict: nothing came on stream s2: status 1"),
                (["239.4.3.1", "239.4.3.2"], "Verdict: nothing came on feed DF: status 1")]
        for groups, verdict in rows:
            with self.subTest(groups=groups):
                port = next_port()
                text = (stream_table("s1", "239.4.3.1", port) +
                        stream_table("s2", "239.4.3.2", port) +
                        stream_table("A", "239.4.3.3", port, "DF") +
                        stream_table("B", "239.4.3.4", port, "DF"))
                before = groups_joined("239.4.3.")
                watcher = self.watch_config(text, "-v", "--max-lost", "100")
                wait_until(lambda: groups_joined("239.4.3.") == before + 4)
                out = sender()
                self.addCleanup(out.close)
                for seq in range(3):
                    for group in groups:
                        out.sendto(payload(seq), (group, port))
                watcher.wait_for_datagrams(3 * len(groups))
                status = watcher.stop()
                self.assertEqual(status, 0 if verdict.startswith("Verdict: lost") else 1)
                self.assertIn(verdict, watcher.line_where(r"Verdict: "))

    @unittest.skipIf(WINDOWS, "Winsock keeps no count of a socket's drops")
    def test_a_socket_s_drops_count_for_its_stream_outside_any_feed(self):
        # One socket: a feed's two lines first, then a stream of its own, the one that is sent
        # to while the watcher is stopped and its queue overflows.
        port = next_port()
        text = (stream_table("A", "239.4.6.1", port, "f") +
                stream_table("B", "239.4.6.2", port, "f") + stream_table("s", "239.4.6.3", port))
        watcher = self.watch_config(text, "-q", "-v", "--max-lost", "0")
        wait_until(lambda: groups_joined("239.4.6.") == 3)
        out = sender()
        self.addCleanup(out.close)
        for seq in range(3):
            out.sendto(payload(seq), ("239.4.6.1", port))
            out.sendto(payload(seq), ("239.4.6.2", port))
        wait_until(lambda: groups_joined("239.4.6.") == 3 and queued_bytes(port) == 0)
        before = receive_buffer_errors()
        watcher.process.send_signal(signal.SIGSTOP)
        subprocess.run(feed_command() + ["-q", "-b", "127.0.0.1", "-r", "0", "-n", "20000",
                                         "239.4.6.3", str(port)], check=True, timeout=60,
                       stdout=subprocess.DEVNULL)
        risen = receive_buffer_errors() - before
        watcher.process.send_signal(signal.SIGCONT)
        # What the queue held is taken before the stop.
        wait_until(lambda: queued_bytes(port) == 0)
        self.assertGreater(risen, 0)
        self.assertEqual(watcher.stop(), 1)
        self.assertIn("Verdict: lost 0 numbers and %d host drops, more than 0 allowed: "
                      "status 1" % risen, watcher.messages()[-1])

    def test_many_streams_are_joined_counted_and_left(self):
        port = next_port()
        groups = ["239.5.%d.%d" % (i // 250, i % 250 + 1) for i in range(MANY)]
        text = "".join(stream_table("s%d" % i, g, port) for i, g in enumerate(groups))
        watcher = self.watch_config(text, "--summary")
        wait_until(lambda: groups_joined("239.5.") == MANY, timeout_s=120)
        # Nothing has arrived: a stream and its senders cost nothing yet.
        if not WINDOWS:
            resident_kib = process_status(watcher.process.pid, "VmRSS")
            self.assertLess(resident_kib, 32 * 1024)
        out = sender()
        self.addCleanup(out.close)
        for seq in range(3):
            for group in groups:
                out.sendto(payload(seq), (group, port))
        watcher.wait_for_datagrams(3 * MANY)
        self.assertEqual(watcher.stop(), 0)
        for i in range(MANY):
            self.assertEqual(summary_of(watcher, "s%d" % i)["received"], 3, i)
        self.assertEqual(groups_joined("239.5."), 0)

    def test_a_bad_file_joins_nothing(self):
        port = next_port()
        text = stream_table("a", "239.6.0.1", port) + stream_table(
            "b", "239.6.0.2", port, extra='interface = "nosuch0"\n')
        path = write_config(self.folder.name, text)
        status, out, err = run_to_end(["--config", path])
        self.assertEqual(status, 255)
        self.assertEqual(out, "")
        self.assertTrue(err.rstrip().endswith('streams.toml:9: unknown interface "nosuch0"'), err)
        self.assertEqual(groups_joined("239.6."), 0)

    @unittest.skipIf(V0 is None, "cannot make a veth pair in this namespace")
    def test_ipv4_and_ipv6_streams_in_one_file(self):
        port = next_port()
        text = stream_table("v4", "239.7.0.1", port) + stream_table(
            "v6", GROUP6, port, extra='interface = "%d"\n' % V0)
        watcher = self.watch_config(text, "-g", "--summary")
        wait_until(lambda: groups_joined("239.7.") == 1 and group6_members() == 1)
        out4, out6 = sender(), sender6("fd00::1")
        self.addCleanup(out4.close)
        self.addCleanup(out6.close)
        for seq in (1, 2, 4):
            out4.sendto(payload(seq), ("239.7.0.1", port))
            out6.sendto(payload(seq + 10), (GROUP6, port))
        watcher.wait_for_datagrams(6)
        self.assertEqual(watcher.stop(), 0)
        # The two streams' sockets are read in whatever order they became ready.
        self.assertEqual(sorted(m for m in watcher.messages() if m.startswith("Missed")),
                         ["Missed packet: 13 on v6", "Missed packet: 3 on v4"])
        for name in ("v4", "v6"):
            self.assertEqual(summary_of(watcher, name)["received"], 3)
        self.assertEqual((groups_joined("239.7."), group6_members()), (0, 0))

    @unittest.skipUnless(shutil.which("jq"), "jq is not installed (.ci/run installs it)")
    def test_json_and_metrics_name_each_stream_and_feed(self):
        prom = os.path.join(self.folder.name, "mcwatch.prom")
        lines = [("A", "239.4.2.1"), ("B", "239.4.2.2")]
        watcher, port, record = self.feed_run(
            lines, ["-n", 400, "-r", 2000, "--seed", 11, "--drop", "0.1"], "--json", "-g",
            "--prom", prom, "--arbitration", "5000", "--max-lost", "1000", "-v", "-s", "100")
        per_line = [feed_record(record, group, port + i) for i, (_, group) in enumerate(lines)]
        watcher.wait_for_datagrams(sum(400 - len(dropped(r)) for r in per_line))
        self.assertEqual(watcher.stop(), 0)
        out = os.path.join(self.folder.name, "out.json")
        with open(out, "w") as json_lines:
            json_lines.write("".join(line + "\n" for line in watcher.lines()))
        # Every object about a stream names it and its feed; the feed's own name the feed; the
        # verdict, the run's, names none.
        unnamed = subprocess.run(
            ["jq", "-c", 'select((.event | startswith("feed_") or . == "verdict" | not) and '
             '((.stream != "A" and .stream != "B") or .feed != "f"))', out],
            capture_output=True, text=True, check=True).stdout
        self.assertEqual(unnamed, "")
        verdict = subprocess.run(["jq", "-c", 'select(.event == "verdict") | [has("stream"), '
                                  'has("feed"), .status]', out],
                                 capture_output=True, text=True, check=True).stdout
        self.assertEqual(verdict, "[false,false,0]\n")
        # Each period's object names the feed and its lines, and no period's line is further
        # behind than the run's.
        periods = subprocess.run(
            ["jq", "-c", '[.[] | select(.event == "feed_period")] | [length > 0, (map([.feed, '
             '[.lines[].stream]]) | unique), ([.[].lines[0].behind_max_us // 0] | max), '
             '([.[].lines[1].behind_max_us // 0] | max)]', "-s", out],
            capture_output=True, text=True, check=True).stdout
        whole = subprocess.run(["jq", "-c", 'select(.event == "feed_summary") | '
                                '[.lines[].behind_max_us]', out],
                               capture_output=True, text=True, check=True).stdout
        found, names, *most = json.loads(periods)
        self.assertEqual((found, names), (True, [["f", ["A", "B"]]]))
        self.assertTrue(all(a <= b for a, b in zip(most, json.loads(whole))), (most, whole))
        summary = subprocess.run(["jq", "-c", 'select(.event == "feed_summary") | '
                                  '[.feed, .numbers, .lost, [.lines[] | .stream, .alone]]', out],
                                 capture_output=True, text=True, check=True).stdout
        both = dropped(per_line[0]) & dropped(per_line[1])
        highest = max(set(range(400)) - both)
        lost = len([n for n in both if n < highest])
        alone = [len(dropped(per_line[1]) - dropped(per_line[0])),
                 len(dropped(per_line[0]) - dropped(per_line[1]))]
        self.assertEqual(summary, '["f",%d,%d,["A",%d,"B",%d]]\n' % (
            highest + 1 - lost, lost, alone[0], alone[1]))
        with open(prom) as metrics:
            text = metrics.read()
        self.assertIn('mcwatch_feed_missed_total{feed="f"} %d\n' % lost, text)
        self.assertIn('mcwatch_feed_alone_total{feed="f",stream="A"} %d\n' % alone[0], text)
        self.assertRegex(text, r'mcwatch_datagrams_received_total\{stream="B",feed="f",'
                               r'group="239.4.2.2",port="%d",.*\} %d\n' % (
                                   port + 1, 400 - len(dropped(per_line[1]))))
        if shutil.which("promtool"):
            check = subprocess.run(["promtool", "check", "metrics"], input=text.encode(),
                                   capture_output=True)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    @unittest.skipIf(WINDOWS, "Winsock's sockets are handles, with no open-file limit")
    def test_the_open_file_limit_is_named_before_anything_is_joined(self):
        port = next_port()
        text = "".join(stream_table("s%d" % i, "239.8.0.%d" % (i + 1), port) for i in range(60))
        path = write_config(self.folder.name, text)
        status, out, err = run_to_end(["--config", path], command=[
            "sh", "-c", 'ulimit -n 20 && exec "$0" "$@"', *tool_command()])
        self.assertEqual(status, 255)
        # 60 groups of one port share 3 sockets, 20 groups each.
        self.assertIn("60 streams on 3 sockets need 35 open files, past the open-file limit "
                      "(RLIMIT_NOFILE, ulimit -n) of 20", err)
        self.assertEqual(groups_joined("239.8."), 0)

    @unittest.skipUnless(shutil.which("strace") and not WINDOWS, "strace is not installed")
    def test_a_socket_past_its_group_limit_says_which_and_leaves_all(self):
        port = next_port()
        path = write_config(self.folder.name, stream_table("a", "239.9.0.1", port) +
                            stream_table("b", "239.9.0.2", port))
        # The second join's place among the setsockopt calls, from a run that fails none of them.
        trace = os.path.join(self.folder.name, "trace")
        untraced_leaks = ["env", "ASAN_OPTIONS=" + TRACED_ENV["ASAN_OPTIONS"]]
        run_to_end(["--config", path, "--duration", "0.1"], command=[
            *untraced_leaks, "strace", "-qq", "-o", trace, "-e", "trace=setsockopt",
            *tool_command()])
        with open(trace) as calls:
            joins = [n for n, call in enumerate(calls, 1) if "ADD_MEMBERSHIP" in call]
        self.assertEqual(len(joins), 2)
        status, _, err = run_to_end(["--config", path], command=[
            *untraced_leaks, "strace", "-qq", "-o", "/dev/null", "-e", "trace=setsockopt", "-e",
            "inject=setsockopt:error=ENOBUFS:when=%d" % joins[1], *tool_command()])
        self.assertEqual(status, 255)
        self.assertIn("joining 239.9.0.2 failed: the socket's group limit "
                      "net.ipv4.igmp_max_memberships (1) is reached", err)
        self.assertTrue(err.rstrip().endswith('streams.toml:5: stream "b" was not joined'), err)
        self.assertEqual(groups_joined("239.9."), 0)

    @unittest.skipIf(WINDOWS, "Wine knows no Linux interface names")
    def test_a_zone_by_name_is_read_and_a_join_that_fails_names_its_stream(self):
        port = next_port()
        path = write_config(self.folder.name, stream_table("z", GROUP6 + "%lo", port))
        status, out, err = run_to_end(["--config", path, "--duration", "0.1"])
        self.assertEqual((status, err), (0, ""))
        # Only the join finds that a link-local group has no interface.
        path = write_config(self.folder.name, stream_table("a", "239.6.1.1", port) +
                            stream_table("b", "ff02::1:3", port))
        status, out, err = run_to_end(["--config", path])
        self.assertEqual(status, 255)
        self.assertEqual([strip_prefix(line, "error") for line in err.splitlines()],
                         ['The link-local group "ff02::1:3" needs an interface: -i <name> or a '
                          'zone, as in ff02::1%eth0', path + ':5: stream "b" was not joined'])
        self.assertEqual(groups_joined("239.6."), 0)


if __name__ == "__main__":
    unittest.main()
