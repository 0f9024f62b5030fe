"""End-to-end tests of reading captures (-r). dumpcap records a live run in the namespace, and
mcwatch -r of that file must say what the live run said; scapy (Debian's python3-scapy) writes
frames of each link layer real captures hold, with fragments and frames cut short, whose counts
the file's own making decides."""

import itertools
import json
import os
import re
import signal
import shutil
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, ROOMY_BUFFER, WINDOWS, Watcher, feed_whole,  # noqa: E402
                     next_port, run_cleanly, run_to_end, temp_folder, tool_command, watch,
                     write_streams)
from test_layouts import DUMPCAP, TSHARK, Capture  # noqa: E402
from test_accounting import SENDERS_MAX  # noqa: E402

try:
    import scapy.all as scapy
except ImportError:
    # Debian's package, where the tests run with another Python than the system's.
    sys.path.append("/usr/lib/python3/dist-packages")
    try:
        import scapy.all as scapy
    except ImportError:
        scapy = None

NEEDS_SCAPY = unittest.skipUnless(scapy, "scapy is not installed (.ci/run installs python3-scapy)")
GROUP6 = "ff15::1234"


def payload(seq):
    """mcwatch's classic layout, 64 bytes: the number at bytes 4 to 11, little-endian."""
    return struct.pack("<Iq", 0xAABBCCDD, seq) + bytes(52)


def pcapng_block(kind, body):
    """A pcapng block of the kind, its body padded to 32 bits."""
    body += bytes(-len(body) % 4)
    return struct.pack("<II", kind, len(body) + 12) + body + struct.pack("<I", len(body) + 12)


def without_times(lines):
    """Lines as the live run and the capture must both say them: no time of day, no run
    length, no outage figures (the kernel's stamps and the capture's differ by microseconds),
    no line of host drops (a capture does not know them) and none of the receive buffer the
    live run asked for."""
    kept = []
    for line in lines:
        line = re.sub(r"^\[[\d:.]+\] \[info\] ", "", line)
        line = re.sub(r" over [\d.]+ s", "", line)
        line = re.sub(r", longest outage [\d.]+ ms, outages [\d.]+ ms", "", line)
        if line and not line.startswith(("Summary: dropped by this host", "Socket is bound",
                                         "Receive buffer")):
            kept.append(line)
    return kept


@unittest.skipIf(WINDOWS, "the Windows build has no libpcap")
class Captures(unittest.TestCase):
    def setUp(self):
        self.tmp = temp_folder(self)

    @unittest.skipUnless(DUMPCAP and TSHARK, "tshark is not installed (.ci/run installs it)")
    def test_a_capture_of_a_live_run_says_what_the_live_run_said(self):
        port = next_port()
        # A queue that holds the whole stream: a watcher kept from a core beside the two
        # dumpcaps loses none of what it must print.
        watcher = watch(self, "-g", "--summary", *ROOMY_BUFFER, GROUP, port)
        # On lo an Ethernet header, on "any" Linux's cooked one.
        captures = [Capture(port, self.tmp, interface) for interface in ("lo", "any")]
        out, _ = feed_whole(self, ["-b", "127.0.0.1", "-r", 2000, "-n", 1500, "--seed", 17,
                                   "--drop", "0.02", "--duplicate", "0.02", "--reorder", "0.02",
                                   GROUP, port])
        sent = int(re.search(r"sent (\d+)", out).group(1))
        watcher.wait_for_datagrams(sent)
        self.assertEqual(watcher.stop(), 0)
        paths = [capture.stop(port, sent) for capture in captures]
        live = without_times(watcher.lines())
        self.assertIn("Missed packet", "\n".join(live))
        for path in paths:
            read = run_cleanly(self, ["-r", path, "-g", "--summary", GROUP, port])
            self.assertEqual(without_times(read.splitlines()), live, path)
            self.assertIn("Summary: dropped by this host: not known from a capture; "
                          "fragmented 0, truncated 0", read)
        path = paths[0]
        # Standard input reads the same.
        with open(path, "rb") as capture_file:
            piped = subprocess.run(tool_command() + ["-r", "-", "-g", "--summary", GROUP,
                                                     str(port)], stdin=capture_file,
                                   capture_output=True, timeout=60)
        self.assertEqual(without_times(piped.stdout.decode().splitlines()), live)

    def write(self, name, linktype, frames, sec=1700000000, step_us=1000):
        """A capture of the frames (scapy packets, or (bytes, length on the wire) for a frame
        cut short), from sec on, step_us apart."""
        path = os.path.join(self.tmp, name + ".pcap")
        writer = scapy.PcapWriter(path, linktype=linktype, sync=True)
        writer.write_header(None)
        for number, frame in enumerate(frames):
            if isinstance(frame, tuple):
                writer.write_packet(frame[0], sec=sec, usec=number * step_us, wirelen=frame[1])
            else:
                writer.write_packet(bytes(frame), sec=sec, usec=number * step_us)
        writer.close()
        return path

    @NEEDS_SCAPY
    def test_each_link_layer_is_read_with_its_fragments_and_truncated_frames(self):
        s = scapy
        ip4 = s.IP(src="10.0.0.7", dst=GROUP)
        ip6 = s.IPv6(src="fd00::1", dst=GROUP6)
        ether = s.Ether(src="02:00:00:00:00:01", dst="01:00:5e:01:02:03")
        layers = [
            ("ethernet", 1, GROUP, lambda ip: ether / ip),
            ("vlan", 1, GROUP, lambda ip: ether / s.Dot1Q(vlan=7) / ip),
            ("qinq", 1, GROUP, lambda ip: ether / s.Dot1AD(vlan=1) / s.Dot1Q(vlan=2) /
             s.Dot1Q(vlan=3) / ip),
            ("pppoe", 1, GROUP, lambda ip: ether / s.PPPoE(sessionid=9) / s.PPP(proto=0x21) / ip),
            ("raw", 101, GROUP, lambda ip: ip),
            ("sll", 113, GROUP, lambda ip: s.CookedLinux(proto=0x0800) / ip),
            ("sll2", 276, GROUP, lambda ip: s.CookedLinuxV2(proto=0x0800) / ip),
            ("loopback", 0, GROUP, lambda ip: s.Loopback(type=2) / ip),
            ("ipv6 extension headers", 1, GROUP6,
             lambda ip: ether / ip / s.IPv6ExtHdrHopByHop() / s.IPv6ExtHdrDestOpt()),
        ]
        for name, linktype, group, wrap in layers:
            with self.subTest(layer=name):
                ip = ip6 if group == GROUP6 else ip4
                frames = [wrap(ip) / s.UDP(sport=40000, dport=5000) / payload(seq)
                          for seq in range(10) if seq != 4]
                # A first fragment, a later one, and a frame cut short before its number.
                if group == GROUP:
                    first = ip4.copy()
                    first.flags = "MF"
                    frames.append(wrap(first) / s.UDP(sport=40000, dport=5000, len=1008) /
                                  payload(50))
                    later = ip4.copy()
                    later.frag = 125
                    frames.append(wrap(later) / s.Raw(bytes(16)))
                else:
                    frames.append(wrap(ip6) / s.IPv6ExtHdrFragment(m=1, offset=0) /
                                  s.UDP(sport=40000, dport=5000, len=1008) / payload(50))
                cut = bytes(wrap(ip) / s.UDP(sport=40000, dport=5000) / payload(60))
                frames.append((cut[:len(cut) - 60], len(cut)))
                path = self.write(name, linktype, frames)
                out = run_cleanly(self, ["-r", path, "-q", "-g", "--summary", group, 5000])
                self.assertIn("Missed packet: 4", out)
                self.assertRegex(out, r"1 sender over 0.008 s: received 9, bytes 576, unique 9, "
                                      r"duplicates 0, missed 1, late 0, lost 1")
                self.assertIn("fragmented 1, truncated 1", out)

    @NEEDS_SCAPY
    @unittest.skipUnless(TSHARK, "tshark is not installed (.ci/run installs it)")
    def test_fragmented_datagrams_are_reassembled_as_tshark_reassembles_them(self):
        s = scapy
        for family, group in (("IPv4", GROUP), ("IPv6", GROUP6)):
            with self.subTest(family=family):
                datagrams = []
                for seq in range(40):
                    udp = s.UDP(sport=40000, dport=5000) / (payload(seq) + bytes(2936))
                    if family == "IPv4":
                        datagrams.append(s.fragment(s.IP(src="10.0.0.7", dst=group, id=seq + 1) /
                                                    udp, fragsize=1480))
                    else:
                        datagrams.append(s.fragment6(s.IPv6(src="fd00::1", dst=group) /
                                                     s.IPv6ExtHdrFragment(id=seq + 1) / udp, 1500))
                # One whole datagram beside them, one without its middle, one in reverse, two
                # interleaved, one fragment repeated.
                datagrams[3] = [s.IP(src="10.0.0.7", dst=group) / s.UDP(sport=40000, dport=5000) /
                                payload(3)] if family == "IPv4" else \
                    [s.IPv6(src="fd00::1", dst=group) / s.UDP(sport=40000, dport=5000) / payload(3)]
                del datagrams[7][1]
                datagrams[12].reverse()
                datagrams[20] = [f for pair in zip(datagrams[20], datagrams[21]) for f in pair]
                datagrams[21] = []
                datagrams[30].append(datagrams[30][1])
                path = self.write("fragments " + family, 1,
                                  [s.Ether() / f for fragments in datagrams for f in fragments])
                out = run_cleanly(self, ["-r", path, "-q", "-g", "--summary", group, 5000])
                tshark = subprocess.run([TSHARK, "-r", path, "-Y", "udp.dstport == 5000", "-T",
                                         "fields", "-e", "udp.length"],
                                        capture_output=True, timeout=60, check=True)
                lengths = [int(n) - 8 for n in tshark.stdout.split()]
                self.assertEqual(len(lengths), 39)
                self.assertIn("received %d, bytes %d, unique 39, duplicates 0, missed 1"
                              % (len(lengths), sum(lengths)), out)
                self.assertIn("Missed packet: 7", out)
                self.assertIn("fragmented 1, truncated 0", out)

    @NEEDS_SCAPY
    def test_without_a_group_each_multicast_group_and_port_is_a_stream(self):
        s = scapy
        frames = []
        for seq in range(6):
            for group, port in (("239.1.1.1", 5000), ("239.1.1.2", 5000), ("239.1.1.1", 5001)):
                if (group, port, seq) != ("239.1.1.2", 5000, 3):
                    frames.append(s.IP(src="10.0.0.7", dst=group) /
                                  s.UDP(sport=40000, dport=port) / payload(seq))
        frames.append(s.IP(src="10.0.0.7", dst="10.0.0.8") / s.UDP(dport=5000) / payload(0))
        frames.append(s.IP(src="10.0.0.9", dst="239.1.1.1") / s.UDP(dport=5000) / payload(9))
        path = self.write("streams", 101, frames)
        # A group, a source, a unicast host, or the streams of a config pick theirs alone.
        config = write_streams(os.path.join(self.tmp, "streams.toml"),
                               [("b", "239.1.1.2", 5000, None)])
        for args, received in ((["239.1.1.1", 5000], [7]), (["239.1.1.1", 5000, "10.0.0.7"], [6]),
                               (["10.0.0.8", 5000], [1]), (["--config", config], [5])):
            out = run_cleanly(self, ["-r", path, "-q", "--summary", *args])
            totals = re.findall(r"senders? over [\d.]+ s: received (\d+)", out)
            self.assertEqual([int(n) for n in totals], received, args)
        out = run_cleanly(self, ["-r", path, "-q", "-g", "--json"])
        # 239.1.1.2 skipped 3; 10.0.0.9's 9 came after 10.0.0.7's 5 on 239.1.1.1.
        gaps = re.findall(r'"event":"gap","stream":"([^"]+)"', out)
        self.assertEqual(sorted(gaps), ["239.1.1.1:5000", "239.1.1.2:5000"])
        streams = re.findall(r'"event":"summary","stream":"([^"]+)"', out)
        self.assertEqual(streams, ["239.1.1.1:5000", "239.1.1.2:5000", "239.1.1.1:5001"])
        self.assertIn('"senders":2', out)

    @NEEDS_SCAPY
    def test_each_stream_judges_its_first_senders_and_says_once_where_senders_share(self):
        # 1,030 senders on one stream fill the table's room; four on another are still
        # judged each, and those past the room are counted together, with a line said once.
        s = scapy
        frames = [s.IP(src="10.0.0.7", dst="239.1.1.1") / s.UDP(sport=10000 + n, dport=5000) /
                  payload(seq) for seq in range(2) for n in range(SENDERS_MAX + 6)]
        frames += [s.IP(src="10.0.0.8", dst="239.1.1.2") / s.UDP(sport=20000 + n, dport=5000) /
                   payload(seq) for seq in (0, 1, 3) for n in range(4)]
        status, out, err = run_to_end(["-r", self.write("crowd", 101, frames), "-q", "--summary"])
        self.assertEqual(status, 0)
        self.assertEqual([line.split("] [error] ", 1)[1] for line in err.splitlines()],
                         ["More senders than the table holds (1024, and 4 more for each stream "
                          "past the first) on 239.1.1.1:5000: the datagrams of those past it "
                          "are counted together as \"other senders\", not judged"])
        self.assertRegex(out, r"Summary: other senders: received 12, .* on 239\.1\.1\.1:5000\n")
        self.assertRegex(out, r"Summary: 1024 senders and more over [\d.]+ s: received 2060, "
                              r"bytes \d+, unique 2060, duplicates 0, missed 0, .* on "
                              r"239\.1\.1\.1:5000")
        self.assertRegex(out, r"Summary: 4 senders over [\d.]+ s: received 12, bytes \d+, "
                              r"unique 12, duplicates 0, missed 4, .* on 239\.1\.1\.2:5000")

    @NEEDS_SCAPY
    def test_a_pcapng_of_two_link_types_says_how_to_read_each_interface(self):
        """What dumpcap -i lo -i any writes: an Ethernet interface and a Linux cooked one."""
        s = scapy
        udp = s.IP(src="10.0.0.7", dst=GROUP) / s.UDP(sport=40000, dport=5000)
        data = pcapng_block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
        data += pcapng_block(1, struct.pack("<HHI", 1, 0, 0)) + \
            pcapng_block(1, struct.pack("<HHI", 113, 0, 0))
        for seq in range(5):
            for interface, frame in enumerate((s.Ether() / udp / payload(seq),
                                               s.CookedLinux(proto=0x0800) / udp / payload(seq))):
                frame = bytes(frame)
                data += pcapng_block(6, struct.pack("<IIIII", interface, 0, seq * 1000,
                                                    len(frame), len(frame)) + frame)
        path = os.path.join(self.tmp, "two.pcapng")
        with open(path, "wb") as out:
            out.write(data)
        status, out, err = run_to_end(["-r", path, "--summary", GROUP, 5000])
        self.assertEqual(status, 255)
        command = ("tshark -r '%s' -Y 'frame.interface_id == 0' -w - | editcap -F pcap -T ether - "
                   "interface0.pcap" % path)
        self.assertIn("%s: reading stopped at frame 1: an interface has a type 113 different from "
                      "the type of the first interface; libpcap reads one link type a file: write "
                      "each interface's frames to a file of their own, as %s, and the same with "
                      "the number of the interface of type 113 and -T linux-sll" % (path, command),
                      err)
        self.assertIn("received 0,", out)
        if not (TSHARK and shutil.which("editcap")):
            return
        # The command said does what it says, for either interface.
        for interface, encapsulation in ((0, "ether"), (1, "linux-sll")):
            said = command.replace("== 0", "== %d" % interface).replace(
                "-T ether", "-T " + encapsulation).replace("interface0", "interface%d" % interface)
            subprocess.run(said, shell=True, cwd=self.tmp, check=True, timeout=60,
                           capture_output=True)
            out = run_cleanly(self, ["-r", os.path.join(self.tmp, "interface%d.pcap" % interface),
                                     "-q", "--summary", GROUP, 5000])
            self.assertIn("1 sender over 0.004 s: received 5,", out)

    @NEEDS_SCAPY
    def test_a_pipe_is_read_as_it_comes_and_an_interrupt_stops_after_what_was_read(self):
        path = self.write("pipe", 101, [scapy.IP(src="10.0.0.7", dst=GROUP) /
                                        scapy.UDP(sport=40000, dport=5000) / payload(seq)
                                        for seq in range(52)])
        with open(path, "rb") as capture_file:
            data = capture_file.read()
        # Fifty-one frames, then all or part of the last (a record: 16 bytes and 92), and the
        # writer still there: each line is written as its datagram is read, a summary asked for
        # comes at once, and an interrupt ends the input where it stands.
        for cut_bytes in (108, 50):
            read_end, write_end = os.pipe()
            watcher = Watcher(["-r", "-", "--summary", GROUP, 5000], stdin=read_end)
            self.addCleanup(watcher.kill)
            os.close(read_end)
            self.addCleanup(os.close, write_end)
            os.write(write_end, data[:len(data) - cut_bytes])
            watcher.wait_for_datagrams(51)
            # A summary asked for while the writer is quiet comes at once, not at its next frame.
            if not WINDOWS:
                watcher.process.send_signal(signal.SIGUSR1)
                watcher.wait_for(r"^Summary: .* over .*received 51,")
            self.assertEqual(watcher.stop(), 0, cut_bytes)
            self.assertEqual(watcher.error_messages(), [])
            self.assertEqual(len([m for m in watcher.messages() if m.startswith("IP ")]), 51)
            self.assertRegex("\n".join(watcher.messages()),
                             r"1 sender over 0.050 s: received 51, bytes 3264, unique 51, "
                             r"duplicates 0, missed 0")

    @NEEDS_SCAPY
    def test_stamps_are_read_up_to_2106_in_a_pcap_and_to_the_end_of_9999_in_a_pcapng(self):
        # A pcap's seconds are unsigned 32 bits: past 2038 as the file says, not before 1970.
        frames = [bytes(scapy.IP(src="10.0.0.7", dst=GROUP) / scapy.UDP(dport=5000) / payload(seq))
                  for seq in range(3)]
        path = self.write("late", 101, frames, sec=2**32 - 100, step_us=1)
        out = run_cleanly(self, ["-r", path, "-g", "--json", GROUP, 5000])
        self.assertEqual(re.findall(r'"time":"([^"]+)","event":"datagram"', out),
                         ["2106-02-07T06:26:36.00000%dZ" % seq for seq in range(3)])
        # A pcapng's 64 bits of microseconds reach years of five digits, which are refused.
        late_us = (11476 - 1970) * 365 * 86400 * 10**6
        blocks = [pcapng_block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)),
                  pcapng_block(1, struct.pack("<HHI", 101, 0, 65535))]
        for stamp_us, frame in ((1700000000 * 10**6, frames[0]), (late_us, frames[1])):
            blocks.append(pcapng_block(6, struct.pack("<IIIII", 0, stamp_us >> 32,
                                                      stamp_us & 0xffffffff, len(frame),
                                                      len(frame)) + frame))
        path = os.path.join(self.tmp, "far.pcapng")
        with open(path, "wb") as out:
            out.write(b"".join(blocks))
        status, out, err = run_to_end(["-r", path, "--json", GROUP, 5000])
        self.assertEqual(status, 255)
        # One line, where every stop is said: no second one for the frame after.
        self.assertEqual([line.split("] [error] ", 1)[1] for line in err.splitlines()],
                         ["%s: reading stopped at frame 2: its time is not between 1970 and the "
                          "end of 9999" % path])
        self.assertIn('"time":"2023-11-14T22:13:20.000000Z","event":"datagram"', out)

    @NEEDS_SCAPY
    def test_a_file_that_is_cut_short_or_is_no_capture_fails_after_what_it_read(self):
        path = self.write("whole", 101, [scapy.IP(src="10.0.0.7", dst=GROUP) /
                                         scapy.UDP(dport=5000) / payload(seq) for seq in range(3)])
        with open(path, "rb") as whole:
            data = whole.read()
        files = {"cut.pcap": data[:-10], "notes.txt": b"not a capture\n", "empty.pcap": b""}
        # The stream named, or each group found: where none is, the summary is of nothing.
        for (name, contents), stream in itertools.product(files.items(), ([GROUP, "5000"], [])):
            with self.subTest(file=name, stream=stream):
                cut = os.path.join(self.tmp, name)
                with open(cut, "wb") as out:
                    out.write(contents)
                read = 2 if name == "cut.pcap" else 0
                status, out, _ = run_to_end(["-r", cut, "--json", *stream])
                self.assertEqual(status, 255)
                total = json.loads(out.splitlines()[-1])
                self.assertEqual((total["event"], total["total"]["received"]), ("summary", read))
                # Both streams in one, as a terminal shows them: the error line follows the
                # lines of what was read before it, and the summary of that follows it.
                run = subprocess.run(tool_command() + ["-r", cut, "--summary", *stream],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
                self.assertEqual(run.returncode, 255)
                lines = [re.sub(r"^\[[\d:.]+\] ", "", line)
                         for line in run.stdout.decode().splitlines() if line]
                self.assertEqual([line[:10] for line in lines[:read]], ["[info] IP "] * read)
                self.assertTrue(lines[read].startswith(
                    "[error] %s: reading stopped at frame %d: " % (cut, read + 1)), lines)
                self.assertTrue(lines[read + 1].startswith("[info] Summary: "), lines)
                self.assertRegex("\n".join(lines), r"Summary: %d senders? over [\d.]+ s: "
                                                    r"received %d," % (min(read, 1), read))


# Captures others published (their sources in SOURCES.md there), beside the project.
SHARED_CAPTURES = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "captures")
ST2022_7 = os.path.join(SHARED_CAPTURES, "st2022-7-audio.pcap")


@unittest.skipIf(WINDOWS, "the Windows build has no libpcap")
@unittest.skipUnless(os.path.exists(ST2022_7), "the shared captures are not beside the project")
class RedundantPaths(unittest.TestCase):
    def setUp(self):
        self.config = write_streams(os.path.join(temp_folder(self), "paths.toml"),
                                    [(name, group, 6000, "F") for name, group in PATHS],
                                    head='[defaults]\nformat = "rtp"\n')

    def test_a_feed_of_two_paths_does_not_change_with_the_arbitration_time(self):
        # Two ST 2022-7 paths of RTP audio, their copies microseconds apart: no arbitration
        # time above that changes what the feed says.
        said = []
        for arbitration_ms in (1, 50, 1000):
            out = run_cleanly(self, ["-r", ST2022_7, "-q", "--summary", "--config", self.config,
                                     "--arbitration", arbitration_ms])
            said.append(re.search(r"Summary: feed F: .*", out).group(0))
        self.assertEqual(said, [said[0]] * 3)
        # Each path has 16,000 numbers, the first path's one later than the second's.
        self.assertTrue(said[0].startswith(
            "Summary: feed F: numbers 16001, missed 0, late 0, lost 0; A alone 1, first "), said)
        self.assertIn(", B alone 1, first ", said[0])

    @unittest.skipUnless(TSHARK and shutil.which("editcap") and shutil.which("mergecap"),
                         "tshark, editcap or mergecap is not installed")
    @NEEDS_SCAPY
    def test_each_path_s_time_behind_is_tshark_s(self):
        # As published (copies nanoseconds apart, read to the microsecond), with path B's
        # frames moved 20.3 ms later by editcap, and with frames out of time order.
        folder = os.path.dirname(self.config)
        moved = os.path.join(folder, "moved.pcap")
        part = [os.path.join(folder, name) for name in ("a.pcap", "b.pcap", "b-later.pcap")]
        for (_, group), path in zip(PATHS, part):
            subprocess.run([TSHARK, "-r", ST2022_7, "-Y", "ip.dst==" + group, "-w", path],
                           check=True, capture_output=True)
        subprocess.run(["editcap", "-t", "0.0203", part[1], part[2]], check=True)
        subprocess.run(["mergecap", "-w", moved, part[0], part[2]], check=True)
        for capture in (ST2022_7, moved, self.out_of_order(folder)):
            with self.subTest(capture):
                self.check_behind(capture)

    def out_of_order(self, folder):
        """Frames written out of time order across the paths, as two interfaces' buffers flush:
        each of B's copies, 0.3 ms before A's, written after it, and runs of 40 numbers of A
        written before the same run of B's (times stepping back 40 ms)."""
        path = os.path.join(folder, "out-of-order.pcap")
        writer = scapy.PcapWriter(path, linktype=1, sync=True)
        writer.write_header(None)
        frames = []
        for seq in range(200):
            for lag_us, (_, group) in zip((300, 5000 if seq >= 100 else 0), PATHS):
                frames.append((seq * 1000 + lag_us, group, seq))
        frames[200:] = sorted(frames[200:], key=lambda frame: (frame[2] // 40, frame[1]))
        for at_us, group, seq in frames:
            rtp = struct.pack("!BBHII", 0x80, 96, (65500 + seq) & 0xFFFF, seq * 48, 1) + bytes(48)
            packet = scapy.Ether() / scapy.IP(dst=group) / scapy.UDP(sport=4000, dport=6000) / rtp
            writer.write_packet(bytes(packet), sec=1700000000, usec=at_us)
        writer.close()
        return path

    def check_behind(self, capture):
        """tshark's frame times joined on the RTP number: each path's copy after the earlier,
        at the microsecond the capture is read to, in the histogram's buckets."""
        fields = subprocess.run([TSHARK, "-r", capture, "-d", "udp.port==6000,rtp", "-T",
                                 "fields", "-e", "frame.time_epoch", "-e", "ip.dst", "-e",
                                 "rtp.seq"], capture_output=True, check=True, text=True).stdout
        copies = {}
        for row in fields.splitlines():
            stamp, group, seq = row.split("\t")
            seconds, nanoseconds = stamp.split(".")
            copies.setdefault(int(seq), {})[group] = int(seconds) * 1000000 + int(nanoseconds[:6])
        behind = {group: [] for _, group in PATHS}
        for paths in copies.values():
            if len(paths) == 2:
                first_us = min(paths.values())
                for group, at_us in paths.items():
                    behind[group].append(at_us - first_us)
        status, out, err = run_to_end(["-r", capture, "-q", "--json", "--config", self.config])
        self.assertEqual((status, err), (0, ""))
        summary = next(json.loads(line) for line in out.splitlines() if '"feed_summary"' in line)
        for line, (name, group) in zip(summary["lines"], PATHS):
            self.assertEqual(line["stream"], name)
            times = behind[group]
            self.assertEqual((line["behind_p50_us"], line["behind_p99_us"], line["behind_max_us"]),
                             (bucket_percentile(times, 50), bucket_percentile(times, 99),
                              max(times)), name)


PATHS = (("A", "239.1.2.1"), ("B", "239.1.2.2"))


def bucket_percentile(times, percent):
    """The percentile as mcwatch's histogram reads it: the bound 10^(k/10) us (rounded up) of the
    bucket that holds the time of that rank, at most the largest time."""
    steps = [1000000, 1258926, 1584894, 1995263, 2511887, 3162278, 3981072, 5011873, 6309574,
             7943283]
    bounds = [(10 ** (k // 10) * steps[k % 10] + 999999) // 1000000 for k in range(81)]
    rank = max(1, (len(times) * percent + 99) // 100)
    kth = sorted(times)[rank - 1]
    bound = next((b for b in bounds if b >= kth), max(times))
    return min(bound, max(times))


@unittest.skipUnless(WINDOWS, "only the Windows build lacks libpcap")
class CapturesOnWindows(unittest.TestCase):
    def test_the_windows_build_says_it_cannot_read_captures(self):
        status, out, err = run_to_end(["-r", "night.pcap", GROUP, 5000])
        self.assertEqual((status, out), (255, ""))
        self.assertIn("-r: this build cannot read captures", err)


if __name__ == "__main__":
    unittest.main()
