"""End-to-end tests of --report: the page of a run with faults and of a real capture, opened
in headless Chromium (Debian's chromium). Its DOM holds every stream's figures as the summary
says them, its screenshot (kept in report-artefacts/ beside the test's working folder) is not
blank, the console says nothing and the page asks for nothing; each SVG is well-formed XML
(xmllint), the page passes HTML Tidy without a warning, and a capture's timeline counts what tshark's io,stat counts, interval by interval."""

import html.parser
import urllib.request
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, ROOMY_BUFFER, WINDOWS, feed_whole, free_port,  # noqa: E402
                     next_port, run_cleanly, run_feed, run_to_end, send, strip_prefix,
                     temp_folder, wait_until, watch, write_streams)

CHROMIUM = shutil.which("chromium")
TSHARK = shutil.which("tshark")
XMLLINT = shutil.which("xmllint")
TIDY = shutil.which("tidy")
CAPTURE = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "captures",
                       "st2022-7-audio.pcap")
ARTEFACTS = os.path.join(os.getcwd(), "report-artefacts")
NEEDS_CHROMIUM = unittest.skipUnless(CHROMIUM, "chromium is not installed (.ci/run installs it)")


def summary_totals(text):
    """Each stream's total line of the summary: {stream: {counter: value as written}}."""
    totals = {}
    for line in text.splitlines():
        match = re.search(r"Summary: \d+ senders?(?: and more)? over [\d.]+ s: (.*?)"
                          r"(?: on (\S+))?$", line)
        if match:
            figures = dict(item.rsplit(" ", 1) if not item.endswith(" ms") else
                           (item[:-3].rsplit(" ", 1)[0], item[:-3].rsplit(" ", 1)[1] + " ms")
                           for item in match.group(1).split(", "))
            totals[match.group(2)] = figures
    return totals


class PageTable(html.parser.HTMLParser):
    """The streams' table, {stream: {counter: cell text}} by its head's counters, and every
    address the page names."""

    def __init__(self):
        super().__init__()
        self.streams, self.addresses, self.counters = {}, [], []
        self._table = self._cells = self._cell = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for name in ("src", "href", "action", "poster", "data"):
            if attrs.get(name) and not attrs[name].startswith("#"):
                self.addresses.append(attrs[name])
        if tag in ("script", "link", "iframe", "img", "object", "embed"):
            self.addresses.append(tag)
        if tag == "table":
            self._table = attrs.get("id")
        if self._table != "streams":
            return
        if tag == "th":
            self.counters.append(attrs.get("data-counter"))
        if tag == "tr":
            self._cells = []
        if tag == "td":
            self._cells.append("")
            self._cell = True

    def handle_endtag(self, tag):
        if tag == "td":
            self._cell = None
        if tag == "tr" and self._cells:
            self.streams[self._cells[0]] = {
                counter: cell for counter, cell in zip(self.counters, self._cells) if counter}
            self._cells = None
        if tag == "table":
            self._table = None

    def handle_data(self, data):
        if self._cell:
            self._cells[-1] += data


def png_ink(path):
    """The share of a PNG's pixels that are not white (8-bit RGB or RGBA, unfiltered here)."""
    with open(path, "rb") as file:
        data = file.read()
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    assert depth == 8 and colour in (2, 6), (depth, colour)
    chunks, at = [], 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"IDAT":
            chunks.append(data[at + 8:at + 8 + length])
        at += 12 + length
    raw, size = zlib.decompress(b"".join(chunks)), 3 if colour == 2 else 4
    stride, previous, ink = width * size, bytearray(width * size), 0
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - size] if i >= size else 0
            b, c = previous[i], previous[i - size] if i >= size else 0
            p = a + b - c
            nearest = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else \
                b if abs(p - b) <= abs(p - c) else c
            line[i] = (line[i] + (0, a, b, (a + b) // 2, nearest)[kind]) & 0xFF
        ink += sum(1 for x in range(0, stride, size) if min(line[x:x + 3]) < 200)
        previous = line
    return ink / (width * height)


@NEEDS_CHROMIUM
@unittest.skipIf(WINDOWS, "the browser runs beside the Linux build")
class Report(unittest.TestCase):
    def setUp(self):
        self.tmp = temp_folder(self)
        os.makedirs(ARTEFACTS, exist_ok=True)

    def chromium(self, *args):
        """Runs headless Chromium on its own profile; returns stdout and its log (stderr)."""
        done = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                               "--no-first-run", "--disable-background-networking",
                               "--enable-logging=stderr", "--v=0",
                               "--user-data-dir=" + os.path.join(self.tmp, "profile")] +
                              list(args), capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout, done.stderr

    def check_page(self, path, summary, name):
        """The page against the summary in the browser, its SVGs against xmllint."""
        url = "file://" + os.path.abspath(path)
        dom, log = self.chromium("--dump-dom", url)
        # The browser's own pages (chrome://) speak on its console too: only the page's count.
        said = [line for line in log.splitlines()
                if re.search(r"CONSOLE|Uncaught|net::ERR", line) and "chrome://" not in line]
        self.assertEqual(said, [])
        table = PageTable()
        table.feed(dom)
        self.assertEqual(table.addresses, [])
        totals = summary_totals(summary)
        self.assertTrue(totals)
        # A lone group of the command line: its lines name no stream.
        if list(totals) == [None] and len(table.streams) == 1:
            totals = {list(table.streams)[0]: totals[None]}
        self.assertEqual(sorted(table.streams), sorted(totals))
        for stream, figures in totals.items():
            shown = {counter: table.streams[stream][counter] for counter in figures}
            self.assertEqual(shown, figures, stream)
        picture = os.path.join(ARTEFACTS, name + ".png")
        self.chromium("--screenshot=" + picture, "--window-size=1100,1400", url)
        self.assertGreater(png_ink(picture), 0.01)
        if XMLLINT:
            with open(path, encoding="utf-8") as file:
                pictures = re.findall(r"<svg .*?</svg>", file.read(), re.S)
            self.assertTrue(pictures)
            for svg in pictures:
                checked = subprocess.run([XMLLINT, "--noout", "-"], input=svg, text=True,
                                         capture_output=True, timeout=60)
                self.assertEqual(checked.returncode, 0, checked.stderr)
        if TIDY:
            checked = subprocess.run([TIDY, "-q", "-e", path], capture_output=True, text=True,
                                     timeout=60)
            self.assertEqual((checked.returncode, checked.stderr), (0, ""))
        return dom

    def test_a_run_with_faults(self):
        port = next_port()
        path = os.path.join(self.tmp, "run.html")
        # A queue that holds the whole stream, for a watcher kept from a core that must print
        # every datagram.
        watcher = watch(self, "--summary", *ROOMY_BUFFER, "--report", path, GROUP, port)
        out, _ = feed_whole(self, ["-b", "127.0.0.1", "-r", 2000, "-n", 3000, "--seed", 5,
                                   "--drop", "0.01", "--duplicate", "0.01", "--reorder", "0.02",
                                   GROUP, port])
        watcher.wait_for_datagrams(int(re.search(r"sent (\d+)", out).group(1)))
        self.assertEqual(watcher.stop(), 0)
        summary = "\n".join(watcher.lines())
        self.assertRegex(summary, r"missed [1-9]")
        self.assertRegex(summary, r"late [1-9]")
        dom = self.check_page(path, summary, "run-with-faults")
        self.assertRegex(dom, r'<rect class="missed"')
        self.assertRegex(dom, r'<rect class="late"')

    def test_the_verdict_says_why_as_the_status_does(self):
        port = next_port()
        config = os.path.join(self.tmp, "two.toml")
        with open(config, "w", encoding="utf-8") as file:
            file.write("".join('[[stream]]\nname = "%s"\ngroup = "%s"\nport = %d\n'
                               % (name, group, port) for name, group in (("a", GROUP),
                                                                         ("b", "239.1.2.200"))))
        rows = [  # what the run is given, the numbers sent to GROUP, the page's verdict
            ("nothing came", [GROUP, port], [], "no datagram came (exit status 1)"),
            ("one stream of two silent", ["--config", config], [0, 1, 2],
             "nothing came on stream b (exit status 1)"),
            ("every number came", [GROUP, port], [0, 1, 2],
             "within --max-lost 0 (exit status 0)"),
        ]
        for what, args, seqs, said in rows:
            with self.subTest(what):
                path = os.path.join(self.tmp, "verdict.html")
                watcher = watch(self, "--max-lost", 0, "--report", path, *args)
                if seqs:
                    send(seqs, port)
                    watcher.wait_for_datagrams(len(seqs))
                self.assertEqual(watcher.stop(), int(said[-2]))
                with open(path, encoding="utf-8") as file:
                    verdict = re.search(r'<dd id="verdict"[^>]*>(.*?)</dd>', file.read()).group(1)
                self.assertTrue(verdict.endswith(": " + said), verdict)

    def test_the_page_of_the_run_so_far_is_served_at_the_root(self):
        port, listen = next_port(), free_port()
        path = os.path.join(self.tmp, "live.html")
        watcher = watch(self, "--summary", "--report", path, "--listen", listen, GROUP, port)
        url = "http://127.0.0.1:%d/" % listen
        status, out, err = run_feed(["-b", "127.0.0.1", "-r", 1000, "-n", 500, "--seed", 9,
                                     "--drop", "0.01", GROUP, port])
        self.assertEqual(status, 0, err)

        def served_received():
            """The received cell of the page served now, or None before the first drawing."""
            with urllib.request.urlopen(url, timeout=10) as answer:
                self.assertEqual(answer.headers["Content-Type"], "text/html; charset=utf-8")
                table = PageTable()
                table.feed(answer.read().decode())
            return [row["received"] for row in table.streams.values()] or None

        def printed():
            return sum(1 for line in watcher.lines() if strip_prefix(line, None).startswith("IP "))

        # Drawn once a second while asked for: a page drawn after the last datagram was taken
        # counts every datagram line (a busy host may have dropped some, counted apart).
        wait_until(lambda: printed() > 0 and served_received() == [str(printed())],
                   timeout_s=60, poll_s=0.2)
        dom, log = self.chromium("--dump-dom", url)
        self.assertIn('<meta http-equiv="refresh" content="5">', dom)
        self.assertIn("so far", dom)
        self.assertEqual(watcher.stop(), 0)
        # The file at the end says what the page said, and what the summary says.
        self.check_page(path, "\n".join(watcher.lines()), "served")

    def report_of_capture(self, name, *options):
        """The page of the shared capture read with the options, checked; the run's output."""
        path = os.path.join(self.tmp, name + ".html")
        out = run_cleanly(self, ["-q", "--summary", *options, "--report", path, "-r", CAPTURE])
        return out, self.check_page(path, out, name)

    @unittest.skipUnless(os.path.exists(CAPTURE), "the shared captures are not here")
    def test_a_capture_counts_what_tshark_counts(self):
        _, dom = self.report_of_capture("capture", "--format", "rtp")
        if not TSHARK:
            self.skipTest("tshark is not installed (.ci/run installs it)")
        for group, column_us, counts in re.findall(
                r'<section id="s\d+">\s*<h2>([\d.]+:\d+)</h2>\s*<svg [^>]*data-column-us="(\d+)"'
                r'.*?data-datagrams="([\d ]+)"', dom, re.S):
            address, port = group.split(":")
            rows = self.tshark_frames(int(column_us) / 1e6, address, port)
            drawn = [int(n) for n in counts.split()]
            self.assertEqual(drawn[:len(rows)], rows, group)
            # tshark's table stops at the capture's length: a frame at its very end is in the
            # whole capture's count alone.
            self.assertEqual(sum(drawn), self.tshark_frames(0, address, port)[0], group)

    def test_a_capture_as_a_feed_of_two_lines(self):
        config = write_streams(os.path.join(self.tmp, "feed.toml"),
                               [("path-a", "239.1.2.1", 6000, "audio"),
                                ("path-b", "239.1.2.2", 6000, "audio")],
                               head='[defaults]\nformat = "rtp"\n')
        faults = os.path.join(self.tmp, "faults.pcap")
        write_feed_capture(faults)
        cut = os.path.join(self.tmp, "cut.pcap")
        with open(faults, "rb") as whole, open(cut, "wb") as part:
            part.write(whole.read()[:200000])
        rows = [  # capture, options, status
            ("the shared capture", CAPTURE, [], 0),
            # Holes on each line and on both; B 20 ms behind from the middle: late past an
            # arbitration of 5 ms, beyond a max skew of 10 ms.
            ("lines with holes, B late", faults, ["--arbitration", 5, "--max-skew", 10], 0),
            ("cut mid-frame", cut, [], 255),
        ]
        for what, capture, options, expected in rows:
            if not os.path.exists(capture):
                continue
            with self.subTest(what):
                path = os.path.join(self.tmp, "feed.html")
                status, out, err = run_to_end(["-q", "--summary", "--config", config, *options,
                                               "--report", path, "-r", capture])
                self.assertEqual(status, expected, err)
                dom = self.check_page(path, out, "feed-" + what.split()[0])
                self.check_feed(out, dom)
                # A capture cut short: the page is of what was read, and says where it stopped.
                stop = re.search(r"\[error\] \S+: (reading stopped at frame \d+: .*)", err)
                shown = re.search(r'<dd id="cut"[^>]*>(.*?); this page', dom)
                self.assertEqual(shown and shown.group(1), stop and stop.group(1))
                # The verdict says a failed run's status, judged or not.
                verdict = re.search(r'<dd id="verdict"[^>]*>(.*?)</dd>', dom).group(1)
                self.assertEqual(verdict.endswith(" (exit status %d)" % expected), expected != 0,
                                 verdict)

    def check_feed(self, out, dom):
        """The feed's table and pictures against its summary line: what the feed missed and
        filled late, and each line's alone, summed over the columns drawn; its times behind."""
        said = re.search(r"Summary: feed audio: numbers (\d+), missed (\d+), late (\d+), "
                         r"lost (\d+)(?:, lost in window (\d+))?; path-a alone (\d+), .*, "
                         r"path-b alone (\d+)", out)
        shown = re.search(r"<tr[^>]*><td>audio</td><td>(\d+)</td><td>(\d+)</td><td>(\d+)</td>"
                          r"<td>(\d+)</td>(?:<td>(\d+)</td>)?", dom)
        self.assertEqual(shown.groups(), said.groups()[:5])
        # Both lines drawn on the feed's one axis, and what the feed decided under them.
        feed = re.search(r'<section class="feed">.*?</section>', dom, re.S).group(0)
        self.assertEqual(feed.count("data-datagrams="), 2)
        drawn = [(kind, sum(int(n) for n in counts.split())) for kind, counts in
                 re.findall(r'<g class="(\w+)" data-counts="([\d ]+)"', feed)]
        self.assertEqual(drawn, [("missed", int(said.group(2))), ("late", int(said.group(3))),
                                 ("alone", int(said.group(6))), ("alone", int(said.group(7)))])
        beyond = re.findall(r"path-\w behind .*?(?:, beyond (\d+))?(?=, path|$)", out, re.M)
        rows = re.findall(r"<tr><td>(path-\w)</td><td>(\d+)</td>(?:<td>[^<]*</td>){3}"
                          r"(?:<td>(\d+)</td>)?</tr>", feed)
        self.assertEqual(rows, [("path-a", said.group(6), beyond[0]),
                                ("path-b", said.group(7), beyond[1])])

    def tshark_frames(self, interval_s, address, port):
        done = subprocess.run([TSHARK, "-r", CAPTURE, "-q", "-z",
                               "io,stat,%.6f,ip.dst==%s && udp.dstport==%s"
                               % (interval_s, address, port)],
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        return [int(n) for n in re.findall(r"^\|[\d.\s]+<>[\d.\sDur]+\|\s+(\d+) \|",
                                           done.stdout, re.M)]

def write_feed_capture(path):
    """Two paths of one RTP stream, 3,000 numbers a millisecond apart, in a classic pcap of raw
    IPv4: each path loses 3 % at random, A 1000-1009 and both 1005-1007; B runs 0.3 ms behind,
    and 20 ms behind from number 1500 on."""
    random = __import__("random").Random(3)
    frames = []
    for seq in range(3000):
        for lag_us, group in ((0, 239 << 24 | 1 << 16 | 2 << 8 | 1),
                              (20000 if seq >= 1500 else 300, 239 << 24 | 1 << 16 | 2 << 8 | 2)):
            if random.random() < 0.03 or 1005 <= seq < 1008 or (1000 <= seq < 1010 and lag_us == 0):
                continue
            frames.append((seq * 1000 + lag_us, group, seq))
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xa1b2c3d4, 2, 4, 0, 0, 65535, 101))
        for at_us, group, seq in sorted(frames):
            rtp = struct.pack("!BBHII", 0x80, 96, seq, seq * 48, 1) + bytes(48)
            udp = struct.pack("!HHHH", 4000, 6000, 8 + len(rtp), 0) + rtp
            ip = struct.pack("!BBHHHBBHII", 0x45, 0, 20 + len(udp), 0, 0, 1, 17, 0,
                             10 << 24 | 7, group) + udp
            out.write(struct.pack("<IIII", 1700000000 + at_us // 1000000, at_us % 1000000,
                                  len(ip), len(ip)) + ip)


if __name__ == "__main__":
    unittest.main()
