"""End-to-end tests of what a join is followed by: how long until the stream's first datagram,
as the -v lines, the JSON summary and the metrics say it."""

import json
import os
import re
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import GROUP, next_port, sender, payload, watch  # noqa: E402

LATENCY = re.compile(r"^First datagram (\d+\.\d{3}) ms after the join$")


def send_until(stop, port, count=20000, gap_s=0.001):
    """Sends numbered datagrams until stop is set, at most count of them (about 20 s)."""
    sock = sender()
    try:
        for seq in range(1, count + 1):
            if stop.is_set():
                break
            sock.sendto(payload(seq), (GROUP, port))
            time.sleep(gap_s)
    finally:
        sock.close()


class Join(unittest.TestCase):
    def latency_lines(self, watcher):
        return [float(m.group(1)) for m in map(LATENCY.match, watcher.messages()) if m]

    def test_a_sender_that_starts_late_is_timed_from_the_join_by_every_output(self):
        with tempfile.TemporaryDirectory() as folder:
            prom = os.path.join(folder, "m.prom")
            port = next_port()
            watcher = watch(self, "-v", "--prom", prom, GROUP, port)
            time.sleep(0.5)
            sock = sender()
            for seq in (1, 2, 3):
                sock.sendto(payload(seq), (GROUP, port))
            sock.close()
            watcher.wait_for_datagrams(3)
            self.assertEqual(watcher.stop(), 0)
            with open(prom, encoding="utf-8") as f:
                page = f.read()
        [latency_ms] = self.latency_lines(watcher)
        self.assertGreaterEqual(latency_ms, 500)
        self.assertLess(latency_ms, 5000)
        messages = watcher.messages()
        # Said once, before the first datagram's own line.
        first = messages.index(next(m for m in messages if m.startswith("IP ")))
        self.assertTrue(LATENCY.match(messages[first - 1]), messages[:first])
        self.assertIn("Summary: join latency %.3f ms" % latency_ms, messages)
        series = re.search(r'^mcwatch_join_latency_seconds\{group="%s",port="%d",[^}]*\} '
                           r'(\d+\.\d{6})$' % (GROUP, port), page, re.M)
        self.assertIsNotNone(series, page)
        self.assertAlmostEqual(float(series.group(1)) * 1000, latency_ms, places=2)

    def test_a_flowing_stream_is_heard_soon_after_the_join(self):
        port = next_port()
        stop = threading.Event()
        flow = threading.Thread(target=send_until, args=(stop, port))
        flow.start()
        self.addCleanup(flow.join)
        self.addCleanup(stop.set)
        watcher = watch(self, "--json", GROUP, port, bound_line='"event":"bound"')
        watcher.wait_for_datagrams(3)
        self.assertEqual(watcher.stop(), 0)
        summary = json.loads(watcher.lines()[-1])
        self.assertEqual(summary["event"], "summary")
        self.assertLess(summary["join_latency_us"], 100000)

    def test_a_silent_stream_says_nothing_came_since_the_join(self):
        port = next_port()
        watcher = watch(self, "-v", GROUP, port)
        self.assertEqual(watcher.stop(), 0)
        messages = watcher.messages()
        self.assertIn("Summary: no datagram since the join", messages)
        self.assertEqual(self.latency_lines(watcher), [])
        json_watcher = watch(self, "--json", GROUP, port, bound_line='"event":"bound"')
        self.assertEqual(json_watcher.stop(), 0)
        self.assertNotIn("join_latency_us", json.loads(json_watcher.lines()[-1]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
