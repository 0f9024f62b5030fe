"""End-to-end tests of the time figures: each gap's outage, taken from the kernel's time of
arrival, so that a watcher that was itself held up still reports the network's time."""

import json
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, WINDOWS, exit_status, feed_command, next_port,  # noqa: E402
                     run_feed, send, sender, start_program, tool_command, wait_until, watch)

DURATION = r"([\d.]+ (?:us|ms|s))"
OUTAGE = re.compile(r"^Outage: (\d+\.\d{3}) ms$")
# A period without two datagrams has no inter-arrival figures: groups 3 to 5 are None.
RATE = re.compile(r"^Rate: (\d+) datagrams/s, (\d+\.\d\d) Mbit/s; inter-arrival "
                  r"(?:p50 (.+), p99 (.+), max (.+)|none)$")


def microseconds(text):
    """A duration as the rate line writes it ("180 us", "2.1 ms", "1.25 s"), in microseconds."""
    number, unit = text.split()
    return float(number) * {"us": 1, "ms": 1000, "s": 1000000}[unit]


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
        watcher = watch(self, "-g", "-v", "-s", "100", "--sent-at", "12:8:le:ns", GROUP, port)
        sock = sender("127.0.0.1", 40801)

        def send_stamped(seqs):
            for seq in seqs:
                sock.sendto(stamped(seq, time.time()), (GROUP, port))
        try:
            send_stamped(range(50))
            watcher.wait_for(r", seq 49$")
            # Stopped between the datagram before the hole and the one after it: a clock read
            # when the datagrams are taken would say the outage, and the delay of every
            # datagram sent meanwhile, lasted the whole stop.
            watcher.process.send_signal(signal.SIGSTOP)
            try:
                send_stamped(range(51, 100))
                time.sleep(1.0)
            finally:
                watcher.process.send_signal(signal.SIGCONT)
        finally:
            sock.close()
        watcher.wait_for(r"^Outage: ")
        # The report after the outage line covers the datagrams sent during the stop.
        reports = sum(m.startswith("Stats: ") for m in watcher.messages())
        watcher.wait_for(r"^Stats: ", count=reports + 1)
        self.assertEqual(watcher.stop(), 0)
        [outage] = outages(watcher)
        self.assertLess(float(outage), 1000.0)
        rates = [RATE.match(m) for m in watcher.messages() if m.startswith("Rate: ")]
        self.assertLess(max(microseconds(m.group(5)) for m in rates if m.group(5)), 1000000)
        delays = [re.search(r"max %s$" % DURATION, m) for m in watcher.messages()
                  if m.startswith("Delay: min ")]
        self.assertTrue(delays, watcher.messages())
        self.assertLess(max(ms(d.group(1)) for d in delays), 1000.0)


class Rates(unittest.TestCase):
    @unittest.skipIf(WINDOWS, "stopping the sender stops Wine's launcher, not the program")
    def test_a_held_up_sender_shows_in_the_rate_lines(self):
        port = next_port()
        watcher = watch(self, "-s", "100", "-v", GROUP, port)
        # Spinning, the sender moves its schedule on after the stop instead of sending the
        # missed second at once, which the receive buffer would not hold.
        feed = start_program(feed_command() + ["-q", "--spin", "-b", "127.0.0.1", "-r", "1000",
                                               "-n", "2000", GROUP, str(port)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(feed.kill)
        watcher.wait_for_datagrams(300)
        feed.send_signal(signal.SIGSTOP)
        time.sleep(1.0)
        feed.send_signal(signal.SIGCONT)
        feed.wait(timeout=60)
        self.assertEqual(exit_status(feed), 0)
        watcher.wait_for_datagrams(2000)
        # One more report after the last datagram, so that the reports cover all of them.
        reports = sum(m.startswith("Rate: ") for m in watcher.messages())
        wait_until(lambda: sum(m.startswith("Rate: ") for m in watcher.messages()) > reports)
        self.assertEqual(watcher.stop(), 0)
        messages = watcher.messages()
        rates = [RATE.match(m) for m in messages if m.startswith("Rate: ")]
        self.assertTrue(all(rates), messages)
        # Each report follows its statistics line, and together they count every datagram.
        stats = [i for i, m in enumerate(messages) if m.startswith("Stats: ")]
        self.assertEqual([messages[i + 1].startswith("Rate: ") for i in stats], [True] * len(stats))
        self.assertEqual(sum(int(m.group(1)) for m in rates) // 10, 2000)
        # The held-up second is one inter-arrival time, as the kernel stamped the datagrams on
        # either side of it; ten times that is more than a slow machine adds.
        longest = max(microseconds(m.group(5)) for m in rates if m.group(5))
        self.assertGreaterEqual(longest, 999000)
        self.assertLess(longest, 10000000)
        self.assertEqual(float(max(m.group(2) for m in rates)) > 0, True)



def stamped(seq, sent_s):
    """A datagram in the classic layout with the sender's clock at bytes 12 to 19 (ns)."""
    return struct.pack("<4sqq", b"\xaa\xbb\xcc\xdd", seq, int(sent_s * 1e9))


def ms(text):
    return microseconds(text) / 1000


# How far the skewed sender's clock runs ahead. Windows takes the arrival from the loop's clock
# when it gets to the datagram, which under Wine on a busy machine may be tens of ms later.
AHEAD_S = 5.0 if WINDOWS else 0.050


class Delays(unittest.TestCase):
    def test_delays_from_the_senders_clock_and_a_clock_that_runs_ahead(self):
        port = next_port()
        watcher = watch(self, "--sent-at", "12:8:le:ns", "-s", "100", "-v", "--summary", GROUP,
                        port)
        behind, ahead = sender("127.0.0.1", 40802), sender("127.0.0.1", 40803)
        try:
            for seq in range(50):
                # One sender's clock says 20 ms earlier than the arrival at least; the other's
                # runs ahead of it, which is no delay at all but clock skew.
                behind.sendto(stamped(seq, time.time() - 0.020), (GROUP, port))
                ahead.sendto(stamped(seq, time.time() + AHEAD_S), (GROUP, port))
        finally:
            behind.close()
            ahead.close()
        watcher.wait_for_datagrams(100)
        watcher.wait_for(r"^Delay: min ")
        self.assertEqual(watcher.stop(), 0)
        messages = watcher.messages()
        summary = {m.split(":")[1].strip(): m for m in messages
                   if m.startswith("Summary: 127.0.0.1.4080")}
        self.assertEqual(sorted(summary), ["127.0.0.1.40802", "127.0.0.1.40803"], messages)
        found = re.search(r", delay min %s, p50 .*, max %s$" % (DURATION, DURATION),
                          summary["127.0.0.1.40802"])
        self.assertIsNotNone(found, summary)
        self.assertGreaterEqual(ms(found.group(1)), 20.0)
        self.assertLess(ms(found.group(2)), 2000.0)
        found = re.search(r"outages [\d.]+ ms, clock skew 50 datagrams, up to %s$" % DURATION,
                          summary["127.0.0.1.40803"])
        self.assertIsNotNone(found, summary)
        self.assertGreater(ms(found.group(1)), 0)
        self.assertLessEqual(ms(found.group(1)), AHEAD_S * 1000)
        # A skewed datagram is no delay of 0 in the period's figures: the smallest delay any
        # period shows is still the one sender's 20 ms.
        periods = [re.match(r"^Delay: min " + DURATION, m) for m in messages
                   if m.startswith("Delay")]
        minimums = [ms(p.group(1)) for p in periods if p]
        self.assertTrue(minimums, messages)
        self.assertGreaterEqual(min(minimums), 20.0)
        self.assertTrue(any("; clock skew " in m for m in messages if m.startswith("Delay")))

    def test_mdp3_carries_its_sending_time_from_mcfeed(self):
        port = next_port()
        watcher = watch(self, "--format", "mdp3", "-s", "100", "-v", GROUP, port)
        status, _, err = run_feed(["-b", "127.0.0.1", "--format", "mdp3", "-r", "1000", "-n", "300",
                                   GROUP, port])
        self.assertEqual(status, 0, err)
        watcher.wait_for_datagrams(300)
        reports = sum(m.startswith("Delay") for m in watcher.messages())
        wait_until(lambda: sum(m.startswith("Delay") for m in watcher.messages()) > reports)
        self.assertEqual(watcher.stop(), 0)
        delays = [m for m in watcher.messages() if m.startswith("Delay: min ")]
        self.assertTrue(delays, watcher.messages())
        self.assertFalse([m for m in delays if "clock skew" in m])
        self.assertLess(max(ms(re.search(r"max %s$" % DURATION, m).group(1)) for m in delays),
                        10000)



# scapy, found where the captures' tests find it.
from test_captures import NEEDS_SCAPY, scapy  # noqa: E402


@unittest.skipIf(WINDOWS, "the Windows build has no libpcap")
@NEEDS_SCAPY
class CaptureTimes(unittest.TestCase):
    """A capture's datagrams are each judged at their own time: a batch of the replay holds
    many, and no timer, stall or feed may read one time for all of them."""

    START_S = 1700000000

    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.tmp = folder.name

    def write(self, name, frames):
        """frames: (microseconds from the start, group, number); port 5000, classic layout."""
        path = os.path.join(self.tmp, name)
        writer = scapy.PcapWriter(path, linktype=1, sync=True)
        writer.write_header(None)
        for at_us, group, seq in frames:
            frame = (scapy.Ether(src="02:00:00:00:00:01", dst="01:00:5e:01:01:01") /
                     scapy.IP(src="10.0.0.7", dst=group) / scapy.UDP(sport=40000, dport=5000) /
                     struct.pack("<Iq", 0, seq))
            writer.write_packet(bytes(frame), sec=self.START_S + at_us // 1000000,
                                usec=at_us % 1000000)
        writer.close()
        return path

    def read(self, *args):
        process = subprocess.run([*tool_command(), *map(str, args)], capture_output=True,
                                 text=True, timeout=60)
        self.assertEqual((process.returncode, process.stderr), (0, ""), args)
        return [strip(line) for line in process.stdout.splitlines()]

    def test_timers_fall_due_between_the_datagrams_they_split(self):
        # 100 datagrams 1 ms apart; then the same with 500 ms of silence after the 50th. A
        # datagram that comes exactly when a timer falls due is still before it.
        even = self.write("even.pcap", [(k * 1000, GROUP, k) for k in range(100)])
        silent = self.write("silent.pcap", [((k + (499 if k >= 50 else 0)) * 1000, GROUP, k)
                                            for k in range(100)])
        cases = [
            (even, ["--duration", "0.05", "--summary", "-q"],
             lambda lines: [m for m in lines if m[1].startswith("Summary: 1 sender")],
             ["Summary: 1 sender over 0.050 s: received 51, bytes 612, unique 51, duplicates 0, "
              "missed 0, late 0, lost 0, stale 0, restarts 0, longest outage 0.000 ms, "
              "outages 0.000 ms"]),
            # The run ends at the 37th datagram, not at the end of the batch it came in.
            (even, ["-c", "37", "--summary", "-q"],
             lambda lines: [m for m in lines if m[1].startswith("Summary: 1 sender")],
             ["Summary: 1 sender over 0.036 s: received 37, bytes 444, unique 37, duplicates 0, "
              "missed 0, late 0, lost 0, stale 0, restarts 0, longest outage 0.000 ms, "
              "outages 0.000 ms"]),
            (even, ["-s", "10", "-q"], lambda lines: lines,
             ["Stats: packets - 11; gaps - 0"] + ["Stats: packets - 10; gaps - 0"] * 8),
            (silent, ["--stall", "200", "-q"], lambda lines: lines,
             ["No datagrams for 200 ms", "Datagrams resumed after 500 ms"]),
        ]
        # The 64th and 65th datagrams both come exactly at the period's end, in two batches
        # of the replay: both are in the period.
        boundary = self.write("boundary.pcap", [(k * 100, GROUP, k) for k in range(63)] +
                              [(10000, GROUP, 63), (10000, GROUP, 64), (15000, GROUP, 65)])
        cases += [
            (boundary, ["-s", "10", "-q"], lambda lines: lines[:1],
             ["Stats: packets - 65; gaps - 0"]),
            (boundary, ["--duration", "0.01", "--summary", "-q"],
             lambda lines: [m for m in lines if m[1].startswith("Summary: 1 sender")],
             ["Summary: 1 sender over 0.010 s: received 65, bytes 780, unique 65, duplicates 0, "
              "missed 0, late 0, lost 0, stale 0, restarts 0, longest outage 0.000 ms, "
              "outages 0.000 ms"]),
        ]
        # A stream found after a period ended is not reported for that period.
        late = self.write("late.pcap", [(k * 10000, GROUP, k) for k in range(16)] +
                          [(100500, "239.1.1.2", 1)])
        for path, options, pick, expected in cases:
            with self.subTest(options=options):
                lines = pick(self.read("-r", path, *options, GROUP, 5000))
                self.assertEqual([text for _, text in lines], expected)
        self.assertEqual([t for _, t in self.read("-r", late, "-s", "100", "-q")],
                         ["Stats: packets - 11; gaps - 0 on 239.1.2.3:5000"])
        # Timer lines carry the time they fell due: the stall 200 ms after the 50th datagram,
        # the resumption at the 51st.
        lines = self.read("-r", silent, "--stall", "200", "-q", GROUP, 5000)
        self.assertEqual([at for at, _ in lines], [self.ms_of_day(249), self.ms_of_day(549)])

    def test_a_feed_judges_each_copy_at_its_own_arrival(self):
        # Line B carries A's numbers 45.3 ms later: nothing is lost, whatever the arbitration
        # time above that, and A is always first.
        frames = sorted([(k * 1000, "239.1.1.1", k) for k in range(100)] +
                        [(k * 1000 + 45300, "239.1.1.2", k) for k in range(100)])
        path = self.write("ab.pcap", frames)
        config = os.path.join(self.tmp, "ab.toml")
        with open(config, "w", encoding="ascii") as out:
            for name, group in (("A", "239.1.1.1"), ("B", "239.1.1.2")):
                out.write('[[stream]]\nname = "%s"\ngroup = "%s"\nport = 5000\nfeed = "f"\n'
                          % (name, group))
        for arbitration in ("48", "1000"):
            with self.subTest(arbitration=arbitration):
                lines = self.read("-r", path, "--config", config, "-q", "-g", "--summary",
                                  "--arbitration", arbitration)
                self.assertEqual([t for _, t in lines if t.startswith(("Feed", "Summary: feed"))],
                                 ["Summary: feed f: numbers 100, missed 0, late 0, lost 0; "
                                  "A alone 0, first 100.0%, B alone 0, first 0.0%; A behind p50 "
                                  "0.000 ms, p99 0.000 ms, max 0.000 ms, B behind p50 45.300 ms, "
                                  "p99 45.300 ms, max 45.300 ms"])
        # Now B is 49.5 ms behind, 1.5 ms past --arbitration 48, and A skips 50: B's copy of 50
        # comes 48.5 ms after A passed it, so 50 is given up and then late. A alone delivered
        # the 20 numbers after B's last, B alone 50. A sends on for 20 ms after B's last.
        frames = sorted([(k * 1000, "239.1.1.1", k) for k in range(120) if k != 50] +
                        [(k * 1000 + 49500, "239.1.1.2", k) for k in range(100)])
        lines = self.read("-r", self.write("ab-late.pcap", frames), "--config", config, "-q",
                          "-g", "--summary", "--arbitration", "48")
        self.assertEqual([t for _, t in lines if t.startswith(("Feed", "Summary: feed"))],
                         ["Feed f lost: 50",
                          "Summary: feed f: numbers 120, missed 1, late 1, lost 0; "
                          "A alone 20, first 99.2%, B alone 1, first 0.8%; A behind p50 0.000 "
                          "ms, p99 0.000 ms, max 0.000 ms, B behind p50 49.500 ms, p99 49.500 "
                          "ms, max 49.500 ms"])

    def test_what_a_capture_leaves_out_is_said(self):
        # Frames of a merged file step back 10 s: the periods go on counting from there, the
        # frame after the step at the time before it.
        stepped = self.write("stepped.pcap", [(k * 1000 - (10000000 if k >= 50 else 0), GROUP, k)
                                              for k in range(100)])
        lines = self.read_all("-r", stepped, "-s", "20", "-q", GROUP, 5000)
        self.assertEqual([t for _, t in lines[0]],
                         ["Stats: packets - %d; gaps - 0" % n for n in (21, 20, 21, 20)])
        self.assertEqual(lines[1], ["%s: the time steps back 9.999000 s at frame 51: the times "
                                    "from there on are moved on by the step" % stepped])
        # Two interfaces' frames a little out of order are no step to speak of.
        jittered = self.write("jittered.pcap", [(k * 1000 + (-2 if k % 2 else 0), GROUP, k)
                                                for k in range(1, 100)])
        self.assertEqual(self.read_all("-r", jittered, "-q", "-s", "20", GROUP, 5000)[1], [])
        # Only unicast: nothing to watch, and how to name it; then the summary of nothing.
        unicast = self.write("unicast.pcap", [(k * 1000, "10.1.1.1", k) for k in range(3)])
        lines = self.read_all("-r", unicast, "--summary")
        self.assertEqual(lines, ([(self.ms_of_day(2), "Summary: 0 senders over 0.000 s: received "
                                   "0, bytes 0, unique 0, duplicates 0, missed 0, late 0, lost 0, "
                                   "stale 0, restarts 0, longest outage 0.000 ms, outages 0.000 "
                                   "ms"),
                                  (self.ms_of_day(2), "Summary: dropped by this host: not known "
                                   "from a capture; fragmented 0, truncated 0")],
                                 ["No multicast datagram in %s: to read a unicast stream, "
                                  "name it (<host> <port>)" % unicast]))
        lines = self.read_all("-r", unicast, "-q", "--summary", GROUP, 5000)
        self.assertEqual(lines[1], ["No datagram of the named stream in %s" % unicast])
        # Its summary is of the capture's time (its end), not of 1970.
        self.assertEqual({at for at, _ in lines[0]}, {self.ms_of_day(2)})

    def test_a_frame_stamped_far_off_is_taken_at_its_neighbours_time(self):
        # 100 datagrams 1 ms apart, some stamped in 2100 or 1970; then real steps of an hour,
        # which every frame after them shares.
        year_2100_us, hour_us = (4102444800 - self.START_S) * 10**6, 3600 * 10**6
        said = ("%s: %d frame%s stamped far from %s neighbours %s taken at a neighbour's time "
                "(the first: frame %d, stamped %s)")
        late, epoch = "2100-01-01T00:00:00.000000Z", "1970-01-01T00:00:00.000000Z"
        cases = [  # name, (index, stamp from the start), lines, ms of the summary, its span, errors
            ("lone 2100", [(50, year_2100_us)], [], 99, "0.099", [(1, "its", "was", 51, late)]),
            ("first at 0", [(0, -self.START_S * 10**6)], [], 99, "0.098",
             [(1, "its", "was", 1, epoch)]),
            ("last far ahead", [(99, year_2100_us)], [], 98, "0.098",
             [(1, "its", "was", 100, late)]),
            ("two in a row", [(50, year_2100_us), (51, year_2100_us)], [], 99, "0.099",
             [(2, "their", "were", 51, late)]),
            ("a step ahead", [(k, hour_us + k * 1000) for k in range(50, 100)],
             [(249, "No datagrams for 200 ms"),
              (3600050, "Datagrams resumed after 3600001 ms")], 3600099, "3600.099", []),
            ("a step back", [(k, k * 1000 - hour_us) for k in range(50, 100)], [], 98, "0.098",
             ["%s: the time steps back 3599.999000 s at frame 51: the times from there on are "
              "moved on by the step"]),
        ]
        for name, moved, lines, end_ms, span, errors in cases:
            with self.subTest(name):
                at_us = [k * 1000 for k in range(100)]
                for index, stamp_us in moved:
                    at_us[index] = stamp_us
                path = self.write("far.pcap", [(at, GROUP, k) for k, at in enumerate(at_us)])
                out, err = self.read_all("-r", path, "-q", "-g", "--summary", "--stall", "200",
                                         GROUP, 5000)
                self.assertEqual(out[:-3], [(self.ms_of_day(ms), text) for ms, text in lines])
                self.assertEqual(out[-2], (self.ms_of_day(end_ms), "Summary: 1 sender over %s s: "
                                           "received 100, bytes 1200, unique 100, duplicates 0, "
                                           "missed 0, late 0, lost 0, stale 0, restarts 0, "
                                           "longest outage 0.000 ms, outages 0.000 ms" % span))
                self.assertEqual(err, [e % path if isinstance(e, str) else said % ((path, e[0], "s" *
                                       (e[0] > 1)) + e[1:]) for e in errors])

    def test_a_found_streams_first_period_has_its_delays_from_the_start(self):
        # Stamped by the sender 5 ms before each arrival; the stream is found, not named.
        path = os.path.join(self.tmp, "stamped.pcap")
        writer = scapy.PcapWriter(path, linktype=1, sync=True)
        writer.write_header(None)
        for k in range(20):
            at_us = k * 100000
            sent_ns = ((self.START_S * 10**6) + at_us - 5000) * 1000
            frame = (scapy.Ether() / scapy.IP(src="10.0.0.7", dst=GROUP) /
                     scapy.UDP(sport=40000, dport=5000) / struct.pack("<Iqq", 0, k, sent_ns))
            writer.write_packet(bytes(frame), sec=self.START_S + at_us // 1000000,
                                usec=at_us % 1000000)
        writer.close()
        lines = self.read("-r", path, "-q", "-v", "-s", "1000", "--sent-at", "12:8:le:ns")
        self.assertEqual([t for _, t in lines if t.startswith("Delay:")],
                         ["Delay: min 5.0 ms, p50 5.0 ms, p99 5.0 ms, max 5.0 ms on %s:5000"
                          % GROUP])

    def test_groups_past_the_most_a_capture_holds_are_counted(self):
        path = os.path.join(self.tmp, "many.pcap")
        with open(path, "wb") as out:
            # Raw IPv4 frames, one datagram to each of 4,100 groups.
            out.write(struct.pack("<IHHiIII", 0xa1b2c3d4, 2, 4, 0, 0, 65535, 101))
            for i in range(4100):
                udp = struct.pack("!HHHH", 40000, 5000, 20, 0) + struct.pack("<Iq", 0, 1)
                ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 1, 17, 0,
                                 bytes([10, 0, 0, 7]), bytes([239, 11, i // 256, i % 256])) + udp
                out.write(struct.pack("<IIII", self.START_S, i, len(ip), len(ip)) + ip)
        lines = self.read_all("-r", path, "-q")
        self.assertEqual(lines[1], [
            "%s holds more than 4096 multicast groups and ports: the datagrams of those past "
            "the 4096th are not watched (name the streams to watch with --config)" % path,
            "Not watched: 4 datagrams of groups past the 4096th"])

    def read_all(self, *args):
        """Standard output's lines (time, text) and the error lines' texts of a run that
        ends with status 0."""
        process = subprocess.run([*tool_command(), *map(str, args)], capture_output=True,
                                 text=True, timeout=60)
        self.assertEqual(process.returncode, 0, process.stderr)
        return ([strip(line) for line in process.stdout.splitlines()],
                [line.split("] [error] ", 1)[1] for line in process.stderr.splitlines()])

    def ms_of_day(self, offset_ms):
        local = time.localtime(self.START_S + offset_ms // 1000)
        return "%02d:%02d:%02d.%03d" % (local.tm_hour, local.tm_min, local.tm_sec,
                                        offset_ms % 1000)


def strip(line):
    """A line's time of day and its text."""
    match = re.match(r"^\[([\d:.]+)\] \[info\] (.*)$", line)
    assert match is not None, line
    return match.group(1), match.group(2)


if __name__ == "__main__":
    unittest.main()
