"""End-to-end tests of what a join is followed by: how long until the stream's first datagram,
as the -v lines, the JSON summary and the metrics say it; and the queriers that keep it
alive, with the kernel's own bridge as the snooping switch and the querier, in this private
namespace."""

import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, ROOMY_BUFFER, WINDOWS, Watcher, next_port, sender,  # noqa: E402
                     payload, strip_prefix, wait_until, watch)

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
        # Joined again every 0.3 s of silence, each join said and counted by the summary.
        json_watcher = watch(self, "--json", "--rejoin", "0.3", GROUP, port,
                             bound_line='"event":"bound"')
        json_watcher.wait_for('"event":"rejoined"', count=2)
        self.assertEqual(json_watcher.stop(), 0)
        objects = [json.loads(line) for line in json_watcher.lines()]
        rejoins = [o for o in objects if o["event"] == "rejoined"]
        self.assertEqual({(o["group"], o["port"], o["silent_us"]) for o in rejoins},
                         {(GROUP, port, 300000)})
        self.assertNotIn("join_latency_us", objects[-1])
        self.assertEqual(objects[-1]["rejoins"], len(rejoins))


def ip(*args):
    return subprocess.run(["ip", *args], capture_output=True, text=True, timeout=10)


class Queriers(unittest.TestCase):
    """A bridge br0 that queries every 3 s from 10.9.0.1 (and from its link-local IPv6
    address), and a port of it, veth1, that the watcher joins on."""

    def make_bridge(self, *options):
        # What a row before left, had it failed.
        for link in ("br0", "veth0", "veth2"):
            ip("link", "del", link)
        made = ip("link", "add", "br0", "type", "bridge", "mcast_snooping", "1", "mcast_querier",
                  "1", "mcast_query_use_ifaddr", "1", "mcast_query_interval", "300",
                  "mcast_startup_query_interval", "100", *options)
        if made.returncode != 0:
            self.skipTest("the kernel makes no querying bridge here: " + made.stderr.strip())
        self.addCleanup(ip, "link", "del", "br0")
        self.assertEqual(ip("link", "add", "veth0", "type", "veth", "peer", "name", "veth1")
                         .returncode, 0)
        self.addCleanup(ip, "link", "del", "veth0")
        for command in (["link", "set", "veth0", "master", "br0"],
                        ["addr", "add", "10.9.0.1/24", "dev", "br0"],
                        ["addr", "add", "10.9.0.2/24", "dev", "veth1"],
                        ["link", "set", "br0", "up"], ["link", "set", "veth0", "up"],
                        ["link", "set", "veth1", "up"]):
            done = ip(*command)
            self.assertEqual(done.returncode, 0, done.stderr)
        # The querier's address is this namespace's own: its packets are taken in only where
        # the interface accepts a local source.
        for interface in ("br0", "veth1"):
            with open("/proc/sys/net/ipv4/conf/%s/accept_local" % interface, "w") as setting:
                setting.write("1")

    @unittest.skipIf(WINDOWS, "queries are not heard on Windows")
    def test_the_bridges_queries_are_heard_in_its_version_and_interval(self):
        # IGMP from 10.9.0.1, which tshark reads too; MLD from br0's link-local address.
        igmp, mld = ("mcast_igmp_version", GROUP), ("mcast_mld_version", "ff15::1234")
        rows = [(igmp, "3", r"10\.9\.0\.1 \(IGMPv3, interval 3 s\)", "IGMPv3", "3"),
                (igmp, "2", r"10\.9\.0\.1 \(IGMPv2\)", "IGMPv2", None),
                (mld, "2", r"(fe80::[0-9a-f:]+) \(MLDv2, interval 3 s\)", "MLDv2", None),
                (mld, "1", r"(fe80::[0-9a-f:]+) \(MLDv1\)", "MLDv1", None)]
        for (setting, group), version, heard, name, qqic in rows:
            with self.subTest(version=name), tempfile.TemporaryDirectory() as folder:
                self.make_bridge(setting, version)
                tshark = None
                if shutil.which("tshark") and setting == "mcast_igmp_version":
                    tshark = subprocess.Popen(
                        ["tshark", "-q", "-i", "veth1", "-c", "1", "-a", "duration:20", "-f",
                         "igmp[0] = 0x11", "-T", "fields", "-e", "ip.src", "-e", "igmp.version",
                         "-e", "igmp.qqic"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                        text=True)
                    self.addCleanup(tshark.wait)
                    self.addCleanup(tshark.kill)
                prom = os.path.join(folder, "m.prom")
                watcher = Watcher(["-v", "--prom", prom, "-i", "veth1", group, next_port()])
                self.addCleanup(watcher.kill)
                line = "^Query from " + heard + " on veth1$"
                watcher.wait_for(line, timeout_s=20)
                self.assertEqual(watcher.stop(), 0)
                self.assertEqual(watcher.error_messages(), [])
                querier = re.search(line, strip_prefix(watcher.line_where(line), "info"))
                if querier.groups():
                    # The bridge's own link-local address, as the system lists it.
                    listed = ip("-6", "-o", "addr", "show", "dev", "br0", "scope", "link").stdout
                    self.assertIn(" %s/64 " % querier.group(1), listed)
                querier = querier.group(1) if querier.groups() else "10.9.0.1"
                with open(prom, encoding="utf-8") as f:
                    page = f.read()
                count = re.search(r'^mcwatch_queries_total\{interface="veth1",querier="%s",'
                                  r'version="%s"\} (\d+)$' % (querier, name), page, re.M)
                self.assertIsNotNone(count, page)
                self.assertGreaterEqual(int(count.group(1)), 1)
                last = re.search(r'^mcwatch_last_query_timestamp_seconds\{interface="veth1"\} '
                                 r'(\S+)$', page, re.M)
                self.assertLess(abs(float(last.group(1)) - time.time()), 60)
                if tshark is not None:
                    seen = tshark.communicate(timeout=30)[0].split()
                    self.assertEqual(seen, ["10.9.0.1", version] + ([qqic] if qqic else []))
                self.doCleanups()

    @unittest.skipIf(WINDOWS, "queries are not heard on Windows")
    def test_a_link_without_a_querier_is_said_once_after_the_timeout(self):
        self.make_bridge("mcast_querier", "0")
        text = watch(self, "--querier-timeout", "1.5", "-i", "veth1", GROUP, next_port())
        json_watcher = watch(self, "--json", "--querier-timeout", "1.5", "-i", "veth1", GROUP,
                             next_port(), bound_line='"event":"bound"')
        line = ("No multicast query on veth1 for 1.500 s: a snooping switch may stop forwarding "
                "the group after its membership interval (about 260 s)")
        text.wait_for(re.escape(line) + "$")
        json_watcher.wait_for('"event":"no_query"')
        # Once: a second timeout later nothing more is said.
        time.sleep(2)
        self.assertEqual((text.stop(), json_watcher.stop()), (0, 0))
        self.assertEqual(text.messages().count(line), 1)
        self.assertEqual(text.error_messages(), [])
        [said] = [json.loads(o) for o in json_watcher.lines() if '"no_query"' in o]
        self.assertEqual((said["interface"], said["silent_us"]), ("veth1", 1500000))


    def age_out_the_port(self):
        """The bridge as a snooping switch whose querier asks every 300 s while a port's
        membership lasts 2 s: a sender's port, veth2 (10.9.0.3 on its peer veth3), and the
        watcher's, veth0, which takes a group only while its membership lasts."""
        # A bridge forwards by its memberships only once it knows a querier, a response
        # interval after the querier is switched on: it is made off, and switched on after.
        self.make_bridge("mcast_querier", "0", "mcast_query_response_interval", "100",
                         "mcast_membership_interval", "200", "mcast_query_interval", "30000",
                         "mcast_startup_query_count", "1")
        self.assertEqual(ip("link", "add", "veth2", "type", "veth", "peer", "name", "veth3")
                         .returncode, 0)
        self.addCleanup(ip, "link", "del", "veth2")
        for command in (["link", "set", "veth2", "master", "br0"],
                        ["addr", "add", "10.9.0.3/24", "dev", "veth3"],
                        ["link", "set", "veth2", "up"], ["link", "set", "veth3", "up"]):
            done = ip(*command)
            self.assertEqual(done.returncode, 0, done.stderr)
        done = subprocess.run(["bridge", "link", "set", "dev", "veth0", "mcast_flood", "off"],
                              capture_output=True, text=True, timeout=10)
        self.assertEqual(done.returncode, 0, done.stderr)
        # The join's reports all go at once; the sender's address is this namespace's own.
        for setting, value in (("igmpv2_unsolicited_report_interval", "10"),
                               ("igmpv3_unsolicited_report_interval", "10"),
                               ("accept_local", "1"), ("rp_filter", "0")):
            with open("/proc/sys/net/ipv4/conf/veth1/" + setting, "w") as f:
                f.write(value)
        self.assertEqual(ip("link", "set", "br0", "type", "bridge", "mcast_querier", "1")
                         .returncode, 0)
        time.sleep(1.5)

    @unittest.skipIf(WINDOWS, "queries are not heard on Windows")
    def test_a_port_aged_out_stalls_the_stream_and_rejoin_brings_it_back(self):
        self.age_out_the_port()
        port = next_port()
        # What reaches veth1, number by number: the account the watcher's must match.
        arrived = set()
        witness = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))
        witness.bind(("veth1", 0))
        witness.settimeout(0.1)
        self.addCleanup(witness.close)
        stop = threading.Event()

        def listen():
            while not stop.is_set():
                try:
                    packet = witness.recv(2048)
                except socket.timeout:
                    continue
                start = (packet[0] & 15) * 4
                if packet[9] == 17 and struct.unpack("!H", packet[start + 2:start + 4])[0] == port:
                    arrived.add(struct.unpack("<q", packet[start + 12:start + 20])[0])

        def send():
            sock = sender("10.9.0.3")
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("10.9.0.3"))
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
            for seq in range(1, 6001):  # a minute at most
                if stop.is_set():
                    break
                sock.sendto(payload(seq), (GROUP, port))
                time.sleep(0.01)
            sock.close()
        threads = [threading.Thread(target=listen), threading.Thread(target=send)]
        for thread in threads:
            thread.start()
            self.addCleanup(thread.join)
        self.addCleanup(stop.set)
        with tempfile.TemporaryDirectory() as folder:
            prom = os.path.join(folder, "m.prom")
            watcher = watch(self, "-v", "-q", "-g", "--stall", "700", "--querier-timeout", "1",
                            "--rejoin", "1.5", "--prom", prom, *ROOMY_BUFFER, "-i", "veth1",
                            GROUP, port)
            said = "Rejoined 239.1.2.3 after 1.500 s of silence"
            watcher.wait_for("^" + re.escape(said) + "$", timeout_s=60)

            def resumed():
                messages = watcher.messages()
                return any(m.startswith("Datagrams resumed after ")
                           for m in messages[messages.index(said):])
            wait_until(resumed, timeout_s=30)
            self.assertEqual(watcher.stop(), 0)
            stop.set()
            with open(prom, encoding="utf-8") as f:
                page = f.read()
        messages = watcher.messages()
        self.assertEqual(watcher.error_messages(), [])
        warned = messages.index("No multicast query on veth1 for 1 s: a snooping switch may stop "
                                "forwarding the group after its membership interval (about "
                                "260 s)")
        rejoined = messages.index(said)
        stalled = max(i for i in range(rejoined) if messages[i] == "No datagrams for 700 ms")
        self.assertLess(warned, stalled)
        # Timed again from the join made last.
        self.assertTrue(any(LATENCY.match(m) for m in messages[rejoined:]), messages[rejoined:])
        rejoins = messages.count(said)
        self.assertIn("Summary: rejoins %d" % rejoins, messages)
        self.assertRegex(page, r'(?m)^mcwatch_rejoins_total\{group="239\.1\.2\.3",port="%d",'
                               r'interface="veth1",source=""\} %d$' % (port, rejoins))
        # The numbers the bridge held back are lost, exactly.
        [account] = [m for m in messages if m.startswith("Summary: 10.9.0.3.")]
        counts = dict((k, int(v)) for k, v in re.findall(r"(\w+) (\d+)", account))
        numbers = set(range(counts["first"], counts["last"] + 1))
        self.assertEqual(counts["received"], len(numbers & arrived))
        self.assertEqual(counts["lost"], len(numbers - arrived))
        self.assertGreater(counts["lost"], 0)
        self.assertIn("Summary: dropped by this host: 0 (receive buffer full)", messages)


if __name__ == "__main__":
    unittest.main(verbosity=2)
