"""End-to-end tests of reading captures (-r). dumpcap records a live run in the namespace, and
mcwatch -r of that file must say what the live run said; scapy (Debian's python3-scapy) writes
frames of each link layer real captures hold, with fragments and frames cut short, whose counts
the file's own making decides."""

import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, WINDOWS, next_port, run_feed, run_to_end,  # noqa: E402
                     tool_command, watch)
from test_layouts import DUMPCAP, TSHARK, Capture  # noqa: E402

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


def without_times(lines):
    """Lines as the live run and the capture must both say them: no time of day, no run
    length, no outage figures (the kernel's stamps and the capture's differ by microseconds),
    and no line of host drops (a capture does not know them)."""
    kept = []
    for line in lines:
        line = re.sub(r"^\[[\d:.]+\] \[info\] ", "", line)
        line = re.sub(r" over [\d.]+ s", "", line)
        line = re.sub(r", longest outage [\d.]+ ms, outages [\d.]+ ms", "", line)
        if line and not line.startswith(("Summary: dropped by this host", "Socket is bound")):
            kept.append(line)
    return kept


@unittest.skipIf(WINDOWS, "the Windows build has no libpcap")
class Captures(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.tmp = folder.name

    @unittest.skipUnless(DUMPCAP and TSHARK, "tshark is not installed (.ci/run installs it)")
    def test_a_capture_of_a_live_run_says_what_the_live_run_said(self):
        port = next_port()
        watcher = watch(self, "-g", "--summary", GROUP, port)
        # On lo an Ethernet header, on "any" Linux's cooked one.
        captures = [Capture(port, self.tmp, interface) for interface in ("lo", "any")]
        status, out, err = run_feed(["-b", "127.0.0.1", "-r", 2000, "-n", 1500, "--seed", 17,
                                     "--drop", "0.02", "--duplicate", "0.02", "--reorder",
                                     "0.02", GROUP, port])
        self.assertEqual(status, 0, err)
        sent = int(re.search(r"sent (\d+)", out).group(1))
        watcher.wait_for_datagrams(sent)
        self.assertEqual(watcher.stop(), 0)
        paths = [capture.stop(port, sent) for capture in captures]
        live = without_times(watcher.lines())
        self.assertIn("Missed packet", "\n".join(live))
        for path in paths:
            status, read, errors = run_to_end(["-r", path, "-g", "--summary", GROUP, port])
            self.assertEqual((status, errors), (0, ""))
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

    def write(self, name, linktype, frames):
        """A capture of the frames (scapy packets, or (bytes, length on the wire) for a frame
        cut short), a millisecond apart."""
        path = os.path.join(self.tmp, name + ".pcap")
        writer = scapy.PcapWriter(path, linktype=linktype, sync=True)
        writer.write_header(None)
        for number, frame in enumerate(frames):
            if isinstance(frame, tuple):
                writer.write_packet(frame[0], sec=1700000000, usec=number * 1000,
                                    wirelen=frame[1])
            else:
                writer.write_packet(bytes(frame), sec=1700000000, usec=number * 1000)
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
                status, out, err = run_to_end(["-r", path, "-q", "-g", "--summary", group, 5000])
                self.assertEqual((status, err), (0, ""))
                self.assertIn("Missed packet: 4", out)
                self.assertRegex(out, r"1 sender over 0.008 s: received 9, bytes 576, unique 9, "
                                      r"duplicates 0, missed 1, late 0, lost 1")
                self.assertIn("fragmented 1, truncated 1", out)

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
        config = os.path.join(self.tmp, "streams.toml")
        with open(config, "w") as out:
            out.write('[[stream]]\nname = "b"\ngroup = "239.1.1.2"\nport = 5000\n')
        for args, received in ((["239.1.1.1", 5000], [7]), (["239.1.1.1", 5000, "10.0.0.7"], [6]),
                               (["10.0.0.8", 5000], [1]), (["--config", config], [5])):
            status, out, err = run_to_end(["-r", path, "-q", "--summary", *args])
            self.assertEqual((status, err), (0, ""), args)
            totals = re.findall(r"senders? over [\d.]+ s: received (\d+)", out)
            self.assertEqual([int(n) for n in totals], received, args)
        status, out, err = run_to_end(["-r", path, "-q", "-g", "--json"])
        self.assertEqual((status, err), (0, ""))
        # 239.1.1.2 skipped 3; 10.0.0.9's 9 came after 10.0.0.7's 5 on 239.1.1.1.
        gaps = re.findall(r'"event":"gap","stream":"([^"]+)"', out)
        self.assertEqual(sorted(gaps), ["239.1.1.1:5000", "239.1.1.2:5000"])
        streams = re.findall(r'"event":"summary","stream":"([^"]+)"', out)
        self.assertEqual(streams, ["239.1.1.1:5000", "239.1.1.2:5000", "239.1.1.1:5001"])
        self.assertIn('"senders":2', out)

    @NEEDS_SCAPY
    def test_a_file_that_is_cut_short_or_is_no_capture_fails_after_what_it_read(self):
        path = self.write("whole", 101, [scapy.IP(src="10.0.0.7", dst=GROUP) /
                                         scapy.UDP(dport=5000) / payload(seq) for seq in range(3)])
        with open(path, "rb") as whole:
            data = whole.read()
        cut = os.path.join(self.tmp, "cut.pcap")
        with open(cut, "wb") as out:
            out.write(data[:-10])
        status, out, err = run_to_end(["-r", cut, "--summary", GROUP, 5000])
        self.assertEqual(status, 255)
        self.assertIn("%s: reading stopped at frame 3: " % cut, err)
        self.assertIn("1 sender over 0.001 s: received 2,", out)
        text = os.path.join(self.tmp, "notes.txt")
        with open(text, "w") as out:
            out.write("not a capture\n")
        status, out, err = run_to_end(["-r", text, GROUP, 5000])
        self.assertEqual((status, out), (255, ""))
        self.assertIn(text + ": ", err)


# Captures others published (their sources in SOURCES.md there), beside the project.
SHARED_CAPTURES = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "captures")
ST2022_7 = os.path.join(SHARED_CAPTURES, "st2022-7-audio.pcap")


@unittest.skipIf(WINDOWS, "the Windows build has no libpcap")
@unittest.skipUnless(os.path.exists(ST2022_7), "the shared captures are not beside the project")
class RedundantPaths(unittest.TestCase):
    def test_a_feed_of_two_paths_does_not_change_with_the_arbitration_time(self):
        # Two ST 2022-7 paths of RTP audio, their copies microseconds apart: no arbitration
        # time above that changes what the feed says.
        with tempfile.TemporaryDirectory() as folder:
            config = os.path.join(folder, "paths.toml")
            with open(config, "w") as out:
                out.write('[defaults]\nformat = "rtp"\n')
                for name, group in (("A", "239.1.2.1"), ("B", "239.1.2.2")):
                    out.write('[[stream]]\nname = "%s"\ngroup = "%s"\nport = 6000\n'
                              'feed = "F"\n' % (name, group))
            said = []
            for arbitration_ms in (1, 50, 1000):
                status, out, err = run_to_end(["-r", ST2022_7, "-q", "--summary", "--config",
                                               config, "--arbitration", arbitration_ms])
                self.assertEqual((status, err), (0, ""))
                said.append(re.search(r"Summary: feed F: .*", out).group(0))
        self.assertEqual(said, [said[0]] * 3)
        # Each path has 16,000 numbers, the first path's one later than the second's.
        self.assertTrue(said[0].startswith(
            "Summary: feed F: numbers 16001, missed 0, late 0, lost 0; A alone 1, first "), said)
        self.assertIn(", B alone 1, first ", said[0])


@unittest.skipUnless(WINDOWS, "only the Windows build lacks libpcap")
class CapturesOnWindows(unittest.TestCase):
    def test_the_windows_build_says_it_cannot_read_captures(self):
        status, out, err = run_to_end(["-r", "night.pcap", GROUP, 5000])
        self.assertEqual((status, out), (255, ""))
        self.assertIn("-r: this build cannot read captures", err)


if __name__ == "__main__":
    unittest.main()
