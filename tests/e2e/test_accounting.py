"""End-to-end tests of the exact accounting: the summary against mcfeed's record of the faults
it injected, two senders in one group, the limits -c and --duration, the verdict of
--max-lost, and the summary on SIGUSR1."""

import json
import os
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, WINDOWS, expected_counts, group_members,  # noqa: E402
                     next_port, queued_bytes, receive_buffer_errors, run_feed, send, send_paced,
                     sent_count, wait_until, watch)

SENDERS_MAX = 1024  # the tool's table of senders

SUMMARY = re.compile(r"^Summary: (.+?): received (\d+), bytes (\d+), unique (\d+), "
                     r"duplicates (\d+), missed (\d+), late (\d+), lost (\d+), stale (\d+), "
                     r"restarts (\d+)(?:, first (-?\d+), last (-?\d+))?"
                     r"(?:, longest outage (\d+\.\d{3}) ms, outages (\d+\.\d{3}) ms)?$")
FIELDS = ("received", "bytes", "unique", "duplicates", "missed", "late", "lost", "stale",
          "restarts")


def summaries(messages):
    """The summary lines as {who: {field: number}}."""
    found = {}
    for message in messages:
        match = SUMMARY.match(message)
        if match:
            counts = dict(zip(FIELDS, (int(v) for v in match.groups()[1:10])))
            if match.group(11) is not None:
                counts["first"], counts["last"] = int(match.group(11)), int(match.group(12))
            if match.group(13) is not None:
                counts["longest_outage_ms"] = float(match.group(13))
                counts["outages_ms"] = float(match.group(14))
            found[match.group(1)] = counts
    return found


def taken_whole(watcher, port):
    """Waits until the tool has taken every datagram queued for it: the queue is empty, and a
    summary asked for after that (printed between batches) has come."""
    wait_until(lambda: queued_bytes(port) == 0)
    totals = sum(" over " in m and m.startswith("Summary: ") for m in watcher.messages())
    watcher.process.send_signal(signal.SIGUSR1)
    watcher.wait_for(r"^Summary: .* over ", count=totals + 1)


def feed(port, *options, source="127.0.0.1"):
    status, out, err = run_feed(["-b", source, "-r", STREAM_RATE, *options, GROUP, port])
    assert status == 0, err
    return err.splitlines()


# A Windows program under Wine reads slowly in its first seconds: the streams that must
# arrive whole are paced slower there.
STREAM_RATE = 1000 if WINDOWS else 2000


class Accounting(unittest.TestCase):
    def test_the_summary_equals_the_record_of_the_faults(self):
        # Seed 7 swaps the first pair, and --drop-every 50 drops the last number.
        mixes = [["--seed", "7", "--drop", "0.02", "--duplicate", "0.02", "--reorder", "0.02"],
                 ["--seed", "3", "--drop-every", "50", "--reorder", "0.05"],
                 ["--seed", "9", "-f", "--start", "2147483000", "--drop", "0.03",
                  "--duplicate", "0.03"]]
        for mix in mixes:
            with self.subTest(mix=mix):
                port = next_port()
                options = ["-f"] if "-f" in mix else []
                watcher = watch(self, *options, "--summary", GROUP, port)
                drops_before = receive_buffer_errors()
                record = feed(port, "-n", 2000, *mix)
                watcher.wait_for_datagrams(sent_count(2000, record))
                self.assertEqual(watcher.stop(), 0)
                self.assertEqual(receive_buffer_errors(), drops_before)
                found = summaries(watcher.messages())
                self.assertEqual(len(found), 2, found)  # the sender and the total
                total = [v for k, v in found.items() if " over " in k][0]
                start = int(mix[mix.index("--start") + 1]) if "--start" in mix else 0
                expected = expected_counts(record, start, 2000, 32 if options else 64)
                self.assertEqual({k: total[k] for k in expected}, expected)
                self.assertGreater(expected["lost"] * (expected["late"] + expected["duplicates"]), 0)
                self.assertEqual(total["received"],
                                 total["unique"] + total["duplicates"] + total["stale"])
                self.assertEqual(total["lost"], total["missed"] - total["late"])
                self.assertEqual(total["restarts"], 0)

    def test_two_senders_into_one_group_are_two_clean_streams(self):
        # Sent from Python's sockets: Wine's mcfeed.exe bound to 127.0.0.2 sends with source
        # 0.0.0.0 on the wire, which is Wine's doing, not the receiver's. Paced by the
        # receiver's queue, so that a slow receiver (Wine on a busy machine) loses nothing.
        port = next_port()
        watcher = watch(self, "-g", "--per-sender", "--summary", GROUP, port)
        send_paced([(source, source_port, seq) for seq in range(1000)
                    for source, source_port in (("127.0.0.1", 40601), ("127.0.0.2", 40602))],
                   port)
        watcher.wait_for_datagrams(2000)
        self.assertEqual(watcher.stop(), 0)
        messages = watcher.messages()
        self.assertEqual([m for m in messages if m.startswith(("Missed", "Extra"))], [])
        found = summaries(messages)
        senders = {k: v for k, v in found.items() if " over " not in k}
        self.assertEqual(sorted(k.rsplit(".", 1)[0] for k in senders), ["127.0.0.1", "127.0.0.2"])
        for counts in senders.values():
            self.assertEqual((counts["received"], counts["missed"], counts["lost"],
                              counts["first"], counts["last"]), (1000, 0, 0, 0, 999))
        self.assertEqual(sum(m.startswith("IP ") for m in messages), 2000)
        self.assertIn("2 senders over ", " ".join(found))

    def test_count_and_duration_stop_in_order(self):
        for options, sent in ((["-c", "5"], 20), (["--duration", "0.5"], 0)):
            with self.subTest(options=options):
                port = next_port()
                started = time.monotonic()  # before the tool starts: its run is no shorter
                watcher = watch(self, *options, GROUP, port)
                if sent:
                    feed(port, "-n", sent)
                self.assertEqual(watcher.finish(timeout_s=30), 0)
                lines = [m for m in watcher.messages() if m.startswith("IP ")]
                self.assertEqual(len(lines), 5 if sent else 0)
                self.assertEqual(group_members(GROUP), watcher.members_before)
                if not sent:
                    self.assertGreaterEqual(time.monotonic() - started, 0.5)

    def test_max_lost_judges_the_run(self):
        cases = [(["--drop-every", "10"], "0", 1), ([], "0", 0), (["--drop-every", "10"], "2", 0),
                 (None, "0", 1)]  # None: no datagram at all
        for mix, allowed, status in cases:
            with self.subTest(mix=mix, allowed=allowed):
                port = next_port()
                watcher = watch(self, "--max-lost", allowed, GROUP, port)
                if mix is not None:
                    record = feed(port, "-n", 25, *mix)
                    watcher.wait_for_datagrams(sent_count(25, record))
                self.assertEqual(watcher.stop(), status)

    @unittest.skipIf(WINDOWS, "the queue is read from Linux's /proc/net/udp")
    def test_a_restart_needs_two_numbers_in_a_row_and_a_stray_is_stale(self):
        far = 66000  # past the window of 65,536 numbers
        cases = [
            # One datagram far behind, then the stream goes on: nothing more lost.
            ("a late stray", [*range(10), *range(11, far + 10), 10, *range(far + 10, far + 20)],
             {"restarts": 0, "stale": 1, "missed": 1, "late": 0, "lost": 1, "duplicates": 0,
              "unique": far + 19}),
            ("an old copy", [*range(far + 10), 5, *range(far + 10, far + 20)],
             {"restarts": 0, "stale": 1, "missed": 0, "lost": 0, "duplicates": 0,
              "unique": far + 20}),
            ("a restart", [*range(far), *range(100)],
             {"restarts": 1, "stale": 0, "missed": 0, "lost": 0, "duplicates": 0,
              "unique": far + 100}),
        ]
        for name, seqs, expected in cases:
            with self.subTest(name):
                port = next_port()
                watcher = watch(self, "-q", "--summary", GROUP, port)
                send_paced([("127.0.0.1", 40555, seq) for seq in seqs], port)
                taken_whole(watcher, port)
                self.assertEqual(watcher.stop(), 0)
                total = [v for k, v in summaries(watcher.messages()).items() if " over " in k][-1]
                self.assertEqual({k: total[k] for k in expected}, expected)
                self.assertEqual(total["received"], len(seqs))

    @unittest.skipIf(WINDOWS, "the queue is read from Linux's /proc/net/udp")
    def test_senders_past_the_table_are_counted_not_judged(self):
        # 1,100 senders each send 0 to 4, interleaved: no sender lost or repeated anything.
        senders = SENDERS_MAX + 76
        port = next_port()
        watcher = watch(self, "-q", "--summary", GROUP, port)
        datagrams = [("127.0.0.%d" % (1 + n // 60000), 2000 + n % 60000, seq)
                     for seq in range(5) for n in range(senders)]
        send_paced(datagrams, port)
        taken_whole(watcher, port)
        self.assertEqual(watcher.stop(), 0)
        found = summaries(watcher.messages())
        who, total = [(k, v) for k, v in found.items() if " over " in k][-1]
        self.assertTrue(who.startswith("%d senders and more over " % SENDERS_MAX), who)
        self.assertEqual(total["received"], senders * 5)
        self.assertEqual(sum(total[k] for k in ("missed", "duplicates", "lost", "stale")), 0)
        self.assertEqual(found["other senders"]["received"], 76 * 5)

    def test_counts_never_wrap(self):
        # A jump of 2^32 numbers: JSON carries it in full, where the text line keeps its 32
        # bits; a copy far behind is a stale extra. Jumps near 2^63: missed stays at 2^64 - 1.
        port = next_port()
        watcher = watch(self, "--json", "-g", "-s", "100", GROUP, port,
                        bound_line='"event":"bound"')
        send([0, 2 ** 32 + 1, 5], port)
        watcher.wait_for_datagrams(3)

        def reported(field):
            return sum(json.loads(line)[field] for line in watcher.lines()
                       if '"event":"stats"' in line)
        wait_until(lambda: reported("packets") == 3)
        self.assertEqual(watcher.stop(), 0)
        self.assertEqual(reported("gaps"), 2 ** 32)
        objects = [json.loads(line) for line in watcher.lines()]
        gap = [o for o in objects if o["event"] == "gap"]
        self.assertEqual([(o["first"], o["last"], o["count"]) for o in gap],
                         [(1, 2 ** 32, 2 ** 32)])
        extra = [o for o in objects if o["event"] == "extra"]
        self.assertEqual([(o["seq"], o["class"]) for o in extra], [(5, "stale")])
        port = next_port()
        watcher = watch(self, "--summary", GROUP, port)
        send([0, 2 ** 63 - 1, -2, 2 ** 63 - 3], port)
        watcher.wait_for_datagrams(4)
        self.assertEqual(watcher.stop(), 0)
        total = [v for k, v in summaries(watcher.messages()).items() if " over " in k][-1]
        self.assertEqual((total["missed"], total["lost"]), (2 ** 64 - 1, 2 ** 64 - 1))

    @unittest.skipIf(WINDOWS, "Windows has no SIGUSR1")
    def test_sigusr1_prints_the_summary_so_far_and_the_run_goes_on(self):
        port = next_port()
        watcher = watch(self, GROUP, port)
        feed(port, "-n", 10, "--drop-every", "5")
        watcher.wait_for(r"seq 8$")
        watcher.process.send_signal(signal.SIGUSR1)
        watcher.wait_for(r"^Summary: 1 sender over ")
        feed(port, "-n", 3, "--start", "10")
        watcher.wait_for(r"seq 12$")
        self.assertIsNone(watcher.process.poll())
        self.assertEqual(watcher.stop(), 0)
        found = summaries(watcher.messages())
        sender = [v for k, v in found.items() if " over " not in k][0]
        self.assertEqual((sender["received"], sender["missed"], sender["lost"]), (8, 1, 1))


if __name__ == "__main__":
    unittest.main(verbosity=2)
