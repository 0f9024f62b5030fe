"""End-to-end tests of the sequence layouts of real protocols: mcfeed sends RTP, MoldUDP64, MDP
3.0 and fields of any width and order, with faults it records. Wireshark's own dissectors
(tshark) decode a capture of the stream and must find, datagram by datagram, the numbers and
counts mcwatch reports; the summary must equal the record. The capture is dumpcap's (tshark's
capture engine): tcpdump drops to a user of its own, which a user namespace does not allow."""

import collections
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import unittest
from xml.etree import ElementTree

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, ROOMY_BUFFER, WINDOWS, expected_counts, next_port,  # noqa: E402
                     queued_bytes, receive_buffer_errors, run_feed, run_to_end, sender, steps,
                     temp_folder, wait_until, watch)

DUMPCAP = shutil.which("dumpcap")
TSHARK = shutil.which("tshark")
NEEDS_TSHARK = unittest.skipUnless(DUMPCAP and TSHARK,
                                   "tshark is not installed (.ci/run installs it)")
# A Windows program under Wine reads slowly in its first seconds.
RATE = 500 if WINDOWS else 2000


PROBE_PORT = 9  # discard: no test listens there
# dumpcap's kernel buffer: its default of 2 MiB is less than the longest stream a test sends
# (1,500 datagrams of 1,328 bytes), which a capture held up on a busy machine then misses.
CAPTURE_BUFFER_MIB = 64


class Capture:
    """dumpcap on lo (or another interface of this namespace, "any" among them) for one port,
    into a pcap file."""

    def __init__(self, port, folder, interface="lo"):
        self.path = os.path.join(folder, "stream-%s-%d.pcap" % (interface, port))
        self.process = subprocess.Popen(
            [DUMPCAP, "-q", "-P", "-B", str(CAPTURE_BUFFER_MIB), "-i", interface, "-f",
             "udp dst port %d or udp dst port %d" % (port, PROBE_PORT), "-w", self.path],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # It says it captures before its filter is in place: probes show when it is.
        probe = sender()
        try:
            def captured():
                assert self.process.poll() is None, "dumpcap ended"
                probe.sendto(b"probe", (GROUP, PROBE_PORT))
                return os.path.exists(self.path) and os.path.getsize(self.path) > 24
            wait_until(captured, timeout_s=30, poll_s=0.05)
        finally:
            probe.close()

    def captured(self, port):
        """How many datagrams to the port the file holds so far (pcap: a 24-byte file header
        naming the link type at 20, then a 16-byte header and the frame, whose UDP destination
        port follows the link header (Ethernet's 14 bytes, Linux cooked's 16 or 20) and IPv4's
        20 bytes and the source port)."""
        with open(self.path, "rb") as capture:
            data = capture.read()
        if len(data) < 24:
            return 0
        at_port = {1: 14, 113: 16, 276: 20}[struct.unpack_from("<I", data, 20)[0]] + 22
        count, at = 0, 24
        while at + 16 <= len(data):
            length = struct.unpack_from("<I", data, at + 8)[0]
            frame = data[at + 16:at + 16 + length]
            count += len(frame) >= at_port + 2 and struct.unpack_from(">H", frame, at_port)[0] == port
            at += 16 + length
        return count

    def stop(self, port, count):
        """Stops once the file holds count datagrams to the port: the capture hands packets
        over in blocks, and what a stop finds in an unfinished block is not written."""
        wait_until(lambda: self.captured(port) >= count)
        self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=30)
        return self.path


def decode(path, port, protocol, *fields):
    """Each datagram's fields as Wireshark's dissector for the protocol reads them."""
    out = subprocess.run([TSHARK, "-r", path, "-d", "udp.port==%d,%s" % (port, protocol),
                          "-Y", "udp.dstport==%d" % port, "-T", "fields", "-E", "separator=,",
                          *[arg for field in fields for arg in ("-e", field)]],
                         capture_output=True, text=True, check=True).stdout
    return [tuple(int(value) for value in line.split(",")) for line in out.splitlines() if line]


def wireshark_breaks(path, decode_as=()):
    """Per PID, the packets Wireshark's mp2t dissector marks with mp2t.cc.drop: one a break."""
    out = subprocess.run([TSHARK, "-r", path, *decode_as, "-Y", "mp2t.cc.drop", "-T", "pdml"],
                         capture_output=True, text=True, check=True).stdout
    breaks = collections.Counter()
    for proto in ElementTree.fromstring(out).iter("proto"):
        fields = {field.get("name"): field for field in proto.iter("field")}
        if proto.get("name") == "mp2t" and "mp2t.cc.drop" in fields:
            breaks[int(fields["mp2t.pid"].get("show"), 16)] += 1
    return dict(breaks)


def ts_breaks(lines):
    """Per PID, the breaks mcwatch's JSON summary counts, and its errors' causes."""
    summary = [json.loads(line) for line in lines if '"ts_summary"' in line][-1]
    causes = collections.Counter(json.loads(line)["cause"] for line in lines
                                 if '"check":"continuity"' in line)
    return {p["pid"]: p["continuity_errors"] for p in summary["pids"]
            if p["continuity_errors"] > 0}, dict(causes)


def json_events(watcher, event):
    return [obj for obj in (json.loads(line) for line in watcher.lines()) if obj["event"] == event]


class Layouts(unittest.TestCase):
    def setUp(self):
        self.tmp = temp_folder(self)

    def watch_feed(self, watch_options, feed_options, count, capture=True):
        """Watches (JSON) while mcfeed sends count numbers; returns the watcher, the record and
        the capture's path (or None)."""
        port = next_port()
        # Beside dumpcap and mcfeed, the receiver may wait long for a core.
        watcher = watch(self, *watch_options, "--json", "-g", *ROOMY_BUFFER, GROUP, port,
                        bound_line='"event":"bound"')
        capturing = Capture(port, self.tmp) if capture else None
        drops_before = receive_buffer_errors()
        # No count: mcfeed's own (a file's datagrams, once).
        counted = ["-n", count] if count is not None else []
        status, out, err = run_feed(["-b", "127.0.0.1", "-r", RATE, *counted, *feed_options,
                                     GROUP, port])
        self.assertEqual(status, 0, err)
        # Datagrams and heartbeats, as mcfeed counts them.
        sent = sum(int(n) for n in re.findall(r"(?:sent|heartbeats) (\d+)", out))
        watcher.wait_for_datagrams(sent)
        self.assertEqual(watcher.stop(), 0)
        self.assertEqual(receive_buffer_errors(), drops_before, "the kernel dropped datagrams")
        path = capturing.stop(port, sent) if capturing else None
        return watcher, err.splitlines(), path, port

    def check_summary(self, watcher, expected):
        total = json_events(watcher, "summary")[-1]["total"]
        self.assertEqual({k: total[k] for k in expected}, expected)
        self.assertEqual(total["received"],
                         total["unique"] + total["duplicates"] + total["stale"] + total["short"])
        self.assertEqual(total["lost"], total["missed"] - total["late"])
        self.assertEqual(total["restarts"], 0)
        self.assertGreater(expected["lost"] * (expected["late"] + expected["duplicates"]), 0)
        return total

    @NEEDS_TSHARK
    def test_rtp_across_the_wrap_agrees_with_wireshark_and_the_record(self):
        faults = ["--seed", "2", "--drop", "0.02", "--duplicate", "0.02", "--reorder", "0.02"]
        watcher, record, capture, port = self.watch_feed(
            ["--summary", "--format", "rtp"], ["--format", "rtp", "--start", 64000, *faults],
            3000)
        mine = [event["seq"] for event in json_events(watcher, "datagram")]
        self.assertEqual(mine, [row[0] for row in decode(capture, port, "rtp", "rtp.seq")])
        # Across the wrap, with faults at it: seed 2 swaps 0 and 1, so 1 follows 65535 and 0
        # comes late, then drops 3 and sends 4 twice.
        self.assertEqual((mine[0], mine[-1]), (64000, 1463))
        self.assertEqual([line for line in record if line.endswith((" 1", " 3", " 4"))][:3],
                         ["swapped seq 0 and 1", "dropped seq 3", "duplicated seq 4"])
        wrap = mine.index(65535)
        self.assertEqual(mine[wrap:wrap + 6], [65535, 1, 0, 2, 4, 4])
        self.check_summary(watcher, expected_counts(record, 64000, 3000, 16, False))

    @NEEDS_TSHARK
    def test_moldudp64_runs_and_heartbeats_agree_with_wireshark_and_the_record(self):
        # Seed 19 drops the last datagram (numbers 2980 to 2999): only the heartbeat at the
        # end shows those numbers lost.
        faults = ["--seed", "19", "--drop", "0.03", "--duplicate", "0.03", "--reorder", "0.03"]
        watcher, record, capture, port = self.watch_feed(
            ["--summary", "--format", "moldudp64"],
            ["--format", "moldudp64", "--messages", 20, "--heartbeat", 20, "--session", "A1",
             *faults], 3000)
        self.assertEqual(steps(record)[-1], ("dropped", 2980, 20))
        mine = [(event["seq"], event["count"]) for event in json_events(watcher, "datagram")]
        wireshark = decode(capture, port, "moldudp64", "moldudp64.sequence", "moldudp64.count")
        self.assertEqual(mine, wireshark)
        self.assertEqual(sorted({count for _, count in mine}), list(range(21)))
        self.assertEqual(mine[-1], (3000, 0))
        total = self.check_summary(watcher, expected_counts(record, 0, 3000, 64, True))
        self.assertEqual(total["datagrams"], len(mine))
        self.assertEqual(json_events(watcher, "summary")[-1]["counts"], "messages")
        self.assertEqual([s["session"] for s in json_events(watcher, "summary")[-1]["senders"]],
                         ["A1"])

    def test_a_new_session_is_a_new_sender_not_a_restart(self):
        port = next_port()
        watcher = watch(self, "--format", "moldudp64", "--summary", GROUP, port)
        sock = sender("127.0.0.1", 40700)
        short = sender("127.0.0.1", 40701)
        self.addCleanup(short.close)

        def mold(session, seq, count):
            return session.ljust(10).encode() + seq.to_bytes(8, "big") + count.to_bytes(2, "big")
        try:
            for session, last in (("OLD", 40), ("NEW", 25)):
                for seq in range(1, last + 1):
                    sock.sendto(mold(session, seq, 1), (GROUP, port))
            sock.sendto(mold("NEW", 26, 0xffff), (GROUP, port))  # the end of the session
            for _ in range(2):
                short.sendto(bytes(12), (GROUP, port))  # no number: no first or last
        finally:
            sock.close()
        watcher.wait_for_datagrams(68)
        self.assertEqual(watcher.stop(), 0)
        summary = [m.split(", longest outage ")[0] for m in watcher.messages()
                   if m.startswith("Summary: 127.0.0.1")]
        self.assertEqual(summary, [
            "Summary: 127.0.0.1.40700 session %s: received %d, bytes %d, unique %d, duplicates 0, "
            "missed 0, late 0, lost 0, stale 0, restarts 0, short 0, datagrams %d (counts are of "
            "messages), first 1, last %d" % (name, n, 20 * d, n, d, n)
            for name, n, d in (("OLD", 40, 40), ("NEW", 25, 26))] + [
            "Summary: 127.0.0.1.40701: received 2, bytes 24, unique 0, duplicates 0, missed 0, "
            "late 0, lost 0, stale 0, restarts 0, short 2, datagrams 2 (counts are of messages)"])
        self.assertIn("IP 127.0.0.1.40700 > %s.%d: UDP, length 20, seq 26, count 65535 (end of "
                      "session)" % (GROUP, port), watcher.messages())

    def test_fields_of_any_width_and_order_equal_the_record(self):
        for layout, start, width in ((["--format", "mdp3"], 4294966000, 32),
                                     (["--seq", "0:4:be"], 4294966000, 32),
                                     (["--seq", "4:8:be"], 2 ** 64 - 1000, 64)):
            with self.subTest(layout=layout):
                faults = ["--seed", "7", "--drop", "0.02", "--duplicate", "0.02", "--reorder", "0.02"]
                watcher, record, _, _ = self.watch_feed(
                    ["--summary", *layout], [*layout, "--start", start, *faults], 2000,
                    capture=False)
                mine = [event["seq"] for event in json_events(watcher, "datagram")]
                self.assertIn(2 ** width - 1, mine)
                self.assertIn(0, mine)
                self.check_summary(watcher, expected_counts(record, start, 2000, width, False))

    def test_a_field_at_the_end_of_the_largest_datagram_and_one_too_short(self):
        port = next_port()
        watcher = watch(self, "--seq", "65505:2:be", "-g", "--summary", GROUP, port)
        sock = sender("127.0.0.1", 40701)
        try:
            # Each waits until the last was taken: four of these fill a default receive buffer.
            for datagram in [bytes(65505) + seq.to_bytes(2, "big") for seq in (1, 2, 4)] + \
                    [bytes(65506)]:
                sock.sendto(datagram, (GROUP, port))
                wait_until(lambda: queued_bytes(port) == 0)
        finally:
            sock.close()
        watcher.wait_for_datagrams(4)
        self.assertEqual(watcher.stop(), 0)
        head = "IP 127.0.0.1.40701 > %s.%d: UDP, length " % (GROUP, port)
        self.assertEqual([m for m in watcher.messages() if m.startswith(("IP ", "Missed"))], [
            head + "65507, seq 1", head + "65507, seq 2", "Missed packet: 3",
            head + "65507, seq 4", head + "65506, too short for seq"])
        self.assertIn("Summary: 127.0.0.1.40701: received 4, bytes 262027, unique 3, "
                      "duplicates 0, missed 1, late 0, lost 1, stale 0, restarts 0, short 1, "
                      "first 1, last 4", [m.split(", longest outage ")[0]
                                          for m in watcher.messages()])


    # Transport streams: continuity per PID against Wireshark's mp2t dissector, on live
    # captures, on copies with datagrams cut out, and on files ffmpeg made.
    @NEEDS_TSHARK
    def test_breaks_per_pid_agree_with_wireshark_and_say_who_made_them(self):
        rtp = ["-d", "udp.port==%d,rtp"]
        for faults, cause in ((["--drop", "0.03"], "network"), (["--ts-drop", "0.01"], "source")):
            # 1,328-byte datagrams: a queue of some hundreds outlasts a busy machine's stall.
            watcher, record, capture, port = self.watch_feed(
                ["--summary", "--rcvbuf", "4m", "--format", "rtp-mpegts"],
                ["--format", "rtp-mpegts", "--seed", 5, *faults], 1500)
            decode_as = [rtp[0], rtp[1] % port]
            mine, causes = ts_breaks(watcher.lines())
            self.assertEqual(mine, wireshark_breaks(capture, decode_as), cause)
            self.assertEqual(list(causes), [cause])
            self.assertGreater(causes[cause], 5)
            # The Windows build reads no capture (it has no libpcap): the copy is the Linux
            # build's to read.
            if cause != "network" or WINDOWS:
                continue
            # The same capture with datagrams cut out, read back: every break the network's.
            cut = os.path.join(self.tmp, "cut.pcap")
            subprocess.run(["editcap", capture, cut, "200-203", "700", "1100-1101"],
                           check=True, capture_output=True)
            status, out, err = run_to_end(["-r", cut, "-q", "-g", "--json", "--summary",
                                           "--format", "rtp-mpegts", GROUP, port])
            self.assertEqual(status, 0, err)
            mine_cut, causes_cut = ts_breaks(out.splitlines())
            self.assertEqual(mine_cut, wireshark_breaks(cut, decode_as))
            self.assertEqual(list(causes_cut), ["network"])
            self.assertGreater(causes_cut["network"], causes["network"])

    @unittest.skipUnless(shutil.which("ffmpeg") and TSHARK, "ffmpeg or tshark is not installed (.ci/run "
                                            "installs them)")
    def test_a_file_ffmpeg_made_is_whole_and_two_spliced_break_at_the_source(self):
        made = os.path.join(self.tmp, "made.ts")
        subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                        "testsrc=size=160x120:rate=25", "-t", "2", "-c:v", "mpeg2video", "-f",
                        "mpegts", made], check=True, capture_output=True)
        spliced = os.path.join(self.tmp, "spliced.ts")
        with open(made, "rb") as one, open(spliced, "wb") as two:
            two.write(one.read() * 2)
        for path, layout, causes_expected in ((made, "rtp-mpegts", set()),
                                              (spliced, "rtp-mpegts", {"source"}),
                                              (spliced, "mpegts", {"unknown"})):
            watcher, record, capture, port = self.watch_feed(
                ["--summary", "--rcvbuf", "4m", "--format", layout],
                ["--format", layout, "--ts-file", path], None, capture=False)
            mine, causes = ts_breaks(watcher.lines())
            self.assertEqual(mine, wireshark_breaks(path), path)
            self.assertEqual(set(causes), causes_expected)
            summary = [json.loads(line) for line in watcher.lines() if '"ts_summary"' in line][-1]
            self.assertEqual(summary["packets"], os.path.getsize(path) // 188)
            self.assertEqual(summary["sync_byte_errors"], 0)
            classes = {s["class"] for s in json_events(watcher, "datagram")}
            self.assertEqual(classes, {"unjudged"} if layout == "mpegts" else {"first", "next"})

    @unittest.skipUnless(shutil.which("ffmpeg") and DUMPCAP and TSHARK, "ffmpeg or tshark is not "
                         "installed (.ci/run installs them)")
    def test_tables_and_pids_absent_agree_with_wireshark(self):
        """ffmpeg's files sent at their own rate, as made and as changed: the PAT's errors are
        the datagrams that came past 0.5 s since the last PAT Wireshark decoded; a PMT whose
        CRC fails is one Wireshark calls bad, and absent; a PID gone silent past the timeout."""
        files = {}
        for period in ("0.1", "1.5"):
            files[period] = os.path.join(self.tmp, "pat-%s.ts" % period)
            subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                            "testsrc=size=160x120:rate=25", "-t", "4", "-c:v", "mpeg2video",
                            "-g", "250", "-pat_period", period, "-sdt_period", "1", "-f",
                            "mpegts", files[period]], check=True, capture_output=True)
        with open(files["0.1"], "rb") as made:
            data = made.read()
        packets = [data[at:at + 188] for at in range(0, len(data) - 187, 188)]
        changes = {
            # PID 0 as null packets: the PAT never comes, so no PMT is named.
            "no PAT": lambda p, i: p[1:3] == b"\x40\x00" and p.__setitem__(slice(1, 3), b"\x1f\xff"),
            # Every PMT's last CRC byte spoiled.
            "bad PMT CRC": lambda p, i: (p[1] & 0x1f, p[2]) == (0x10, 0x00) and p[1] & 0x40 and
                                        p.__setitem__(5 + 3 + ((p[6] & 0x0f) << 8 | p[7]) - 1,
                                                      p[5 + 3 + ((p[6] & 0x0f) << 8 | p[7]) - 1] ^ 1),
            # The video PID as null packets from the middle on.
            "video silent": lambda p, i: i > len(packets) // 2 and (p[1] & 0x1f, p[2]) == (1, 0) and
                                         p.__setitem__(slice(1, 3), b"\x1f\xff"),
        }
        for name, change in changes.items():
            files[name] = os.path.join(self.tmp, name.replace(" ", "-") + ".ts")
            with open(files[name], "wb") as out:
                for i, packet in enumerate(packets):
                    packet = bytearray(packet)
                    change(packet, i)
                    out.write(packet)
        # Whether the PAT must be absent, the PMT errors (None: as many as the PAT's, since
        # ffmpeg writes the PMT beside the PAT), and the PID errors. A sender held up past
        # 0.5 s on a busy machine leaves a gap in any file: Wireshark sees it too.
        expected = {"0.1": (False, None, 0), "1.5": (True, None, 0), "no PAT": (True, 0, 0),
                    "bad PMT CRC": (False, 1, 0), "video silent": (False, None, 1)}
        for name, (pat_errors, pmt_errors, pid_errors) in expected.items():
            path = files[name]
            rate = max(1, round(os.path.getsize(path) / 188 / 7 / 4))
            watcher, record, capture, port = self.watch_feed(
                ["--summary", "--format", "rtp-mpegts", "--pid-timeout", "1"],
                ["--format", "rtp-mpegts", "--ts-file", path, "-r", rate], None)
            summary = [json.loads(line) for line in watcher.lines() if '"ts_summary"' in line][-1]
            decode_as = ["-d", "udp.port==%d,rtp" % port, "-o", "mpeg_sect.verify_crc:TRUE"]
            out = subprocess.run([TSHARK, "-r", capture, *decode_as, "-Y", "udp.dstport==%d" % port,
                                  "-T", "fields", "-E", "separator=;", "-e", "frame.time_epoch",
                                  "-e", "mpeg_pat.prog_num", "-e", "mpeg_sect.crc.status"],
                                 capture_output=True, text=True, check=True).stdout
            frames = [line.split(";") for line in out.splitlines() if line]
            # mcwatch's rule on Wireshark's decoding: said once per absence, by the first
            # datagram past the limit.
            said, last_pat, absent = 0, float(frames[0][0]), False
            for time, pat, _ in frames:
                if float(time) > last_pat + 0.5 and not absent:
                    said, absent = said + 1, True
                if pat:
                    last_pat, absent = float(time), False
            bad_crcs = sum(f[2].count("0") + f[2].count("Bad") for f in frames if f[2])
            self.assertEqual(summary["pat_errors"], said, name)
            if pat_errors:
                self.assertGreater(said, 0, name)
            self.assertEqual(summary["pmt_errors"], said if pmt_errors is None else pmt_errors,
                             name)
            self.assertEqual(summary["pid_errors"], pid_errors, name)
            self.assertEqual(summary["continuity_errors"], 0, name)
            self.assertEqual(bad_crcs > 0, name == "bad PMT CRC", (name, bad_crcs))
            errors = json_events(watcher, "ts_error")
            self.assertEqual(len(errors), said + summary["pmt_errors"] + pid_errors, name)
            if pid_errors:
                self.assertEqual([(e["check"], e["pid"], e["program"], e["fault"], e["limit_us"])
                                  for e in errors], [("pid", 256, 1, "absent", 1000000)])


if __name__ == "__main__":
    unittest.main()
