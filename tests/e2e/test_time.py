"""End-to-end tests of the time figures: each gap's outage, taken from the kernel's time of
arrival, so that a watcher that was itself held up still reports the network's time."""

import json
import os
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import GROUP, WINDOWS, next_port, send, sender, watch  # noqa: E402

OUTAGE = re.compile(r"^Outage: (\d+\.\d{3}) ms$")


def outages(watcher):
    return [OUTAGE.match(m).group(1) for m in watcher.messages() if OUTAGE.match(m)]


class Outages(unittest.TestCase):
    def test_an_outage_is_the_silence_before_the_gap_in_every_output(self):
        port = next_port()
        text = watch(self, "-g", "-v", "--summary", GROUP, port)
        machine = watch(self, "-g", "--json", GROUP, port, bound_line='"event":"bound"')
        sock = sender("127.0.0.1", 40800)
        try:
            send(range(50), port, sock=sock)
            time.sleep(0.3)
            send(range(55, 100), port, sock=sock)
        finally:
            sock.close()
        for watcher in (text, machine):
            watcher.wait_for_datagrams(95)
            self.assertEqual(watcher.stop(), 0)
        messages = text.messages()
        gap = messages.index("Missed packets: 50 - 54")
        self.assertRegex(messages[gap + 1], OUTAGE)
        [outage] = outages(text)
        # From the kernel's stamps, never shorter than the sender's silence (Windows has only
        # the loop's clock, which took the datagram before the hole whenever it got to it);
        # ten times that is far more than a slow machine adds.
        if not WINDOWS:
            self.assertGreaterEqual(float(outage), 299.0)
        self.assertLess(float(outage), 3000.0)
        summary = [m for m in messages if m.startswith("Summary: 127.0.0.1.40800: ")]
        self.assertEqual(len(summary), 1, messages)
        self.assertTrue(summary[0].endswith(", longest outage %s ms, outages %s ms"
                                            % (outage, outage)), summary[0])
        objects = [json.loads(line) for line in machine.lines()]
        [gap_object] = [o for o in objects if o["event"] == "gap"]
        if not WINDOWS:  # the JSON watcher's socket got the same kernel stamps
            self.assertEqual("%d.%03d" % divmod(gap_object["outage_us"], 1000), outage)
        [sender_counts] = json.loads(machine.lines()[-1])["senders"]
        self.assertEqual(sender_counts["longest_outage_us"], gap_object["outage_us"])
        self.assertEqual(sender_counts["outage_us"], gap_object["outage_us"])

    @unittest.skipIf(WINDOWS, "Windows hands no arrival time over: the loop's clock stands for "
                              "it there, as documented")
    def test_a_stopped_watcher_still_reports_the_network_time(self):
        port = next_port()
        watcher = watch(self, "-g", "-v", GROUP, port)
        sock = sender("127.0.0.1", 40801)
        try:
            send(range(50), port, sock=sock)
            watcher.wait_for(r", seq 49$")
            # Stopped between the datagram before the hole and the one after it: a clock read
            # when the datagrams are taken would say the outage lasted the whole stop.
            watcher.process.send_signal(signal.SIGSTOP)
            try:
                send(range(51, 100), port, sock=sock)
                time.sleep(1.0)
            finally:
                watcher.process.send_signal(signal.SIGCONT)
        finally:
            sock.close()
        watcher.wait_for(r"^Outage: ")
        self.assertEqual(watcher.stop(), 0)
        [outage] = outages(watcher)
        self.assertLess(float(outage), 1000.0)


if __name__ == "__main__":
    unittest.main()
