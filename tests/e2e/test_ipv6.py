"""End-to-end tests of IPv6 multicast. Linux's lo carries no IPv6 multicast, so the test makes a
veth pair inside its own private namespace: v0 holds fd00::1 and fd00::2, and a datagram sent
on v0 with multicast loop comes back to a member on v0."""

import os
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (WINDOWS, WatcherTest, datagram_line, group_members,  # noqa: E402
                     next_port, payload, run_feed, run_to_end, strip_prefix, watch)

GROUP6 = "ff15::1234"


def interface_index(name):
    try:
        return socket.if_nametoindex(name)
    except OSError:
        return None


def make_veth():
    """The veth pair, made once; returns v0's index, or None where it cannot be made."""
    if interface_index("v0") is None:
        commands = [["ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1"],
                    ["ip", "link", "set", "v0", "up"], ["ip", "link", "set", "v1", "up"],
                    ["ip", "-6", "addr", "add", "fd00::1/64", "dev", "v0", "nodad"],
                    ["ip", "-6", "addr", "add", "fd00::2/64", "dev", "v0", "nodad"]]
        for command in commands:
            if subprocess.run(command, capture_output=True).returncode != 0:
                return None
    return interface_index("v0")


V0 = make_veth()


def group6_members(group=GROUP6):
    return group_members(group)


def source_filters(group=GROUP6):
    """The sources of the source-specific joins of the group (/proc/net/mcfilter6)."""
    wanted = socket.inet_pton(socket.AF_INET6, group).hex()
    with open("/proc/net/mcfilter6") as table:
        rows = [line.split() for line in table][1:]
    return sorted(socket.inet_ntop(socket.AF_INET6, bytes.fromhex(r[3])) for r in rows
                  if r[2] == wanted)


def sender6(source):
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, V0)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_LOOP, 1)
    s.bind((source, 0))
    return s


def send6(seqs, port, source="fd00::1", group=GROUP6):
    s = sender6(source)
    try:
        for seq in seqs:
            s.sendto(payload(seq), (group, port))
    finally:
        s.close()
    return s


# What Wine 8 does not carry: the protocol-independent IPv6 joins (MCAST_JOIN_GROUP and its
# kin fail in its setsockopt; an any-source join falls back to IPV6_JOIN_GROUP, a
# source-specific one has no such fallback), and Linux's interface names (its adapters are
# named otherwise). Real Windows has both; the tests of the errors run under Wine all the same.
needs_wine_ipv6_joins = unittest.skipIf(
    WINDOWS, "Wine 8 fails MCAST_JOIN_SOURCE_GROUP for IPv6 and knows no Linux interface names")


@unittest.skipIf(V0 is None, "cannot make a veth pair in this namespace")
class Ipv6(WatcherTest):
    def watch6(self, *args, group=GROUP6):
        return watch(self, *args, group=group)

    def test_any_source_with_gaps_statistics_and_each_way_of_naming_the_interface(self):
        # Wine knows no Linux interface names; its joins take the index, with the IPv6 request
        # where it has not implemented the protocol-independent one.
        for interface in ((str(V0),) if WINDOWS else ("v0", str(V0))):
            with self.subTest(interface=interface):
                port = next_port()
                watcher = self.watch6("-g", "-s", "300", "--summary", "-i", interface,
                                      GROUP6, port)
                s = sender6("fd00::1")
                self.addCleanup(s.close)
                for seq in (1, 2, 4):
                    s.sendto(payload(seq), (GROUP6, port))
                sender_port = s.getsockname()[1]
                watcher.wait_for(r"^Stats: packets - 3; gaps - 1$", timeout_s=5)
                self.stop_cleanly(watcher)
                messages = watcher.messages()
                self.assertEqual(messages[0], "Socket is bound to [::]:%d" % port)
                self.assertIn(datagram_line("fd00::1", sender_port, port, 12, 4, GROUP6)
                              .replace("IP ", "IP6 "), messages)
                self.assertIn("Missed packet: 3", messages)
                summary = ("Summary: fd00::1.%d: received 3, bytes 36, unique 3, duplicates 0, "
                           "missed 1, late 0, lost 1, stale 0, restarts 0, first 1, last 4, "
                           "longest outage " % sender_port)
                self.assertTrue(any(m.startswith(summary) for m in messages), messages)

    @needs_wine_ipv6_joins
    def test_source_specific_admits_its_source_and_filters_the_other(self):
        port = next_port()
        watcher = self.watch6("-i", "v0", GROUP6, port, "fd00::1")
        self.assertEqual(source_filters(), ["fd00::1"])
        send6([1], port, source="fd00::2")
        send6([2], port, source="fd00::1")
        watcher.wait_for(r"seq 2$")
        time.sleep(0.2)
        self.stop_cleanly(watcher)
        self.assertEqual(source_filters(), [])
        lines = [m for m in watcher.messages() if m.startswith("IP6 ")]
        self.assertEqual([m.split(" ")[1].rsplit(".", 1)[0] for m in lines], ["fd00::1"])

    def test_a_group_joins_on_a_named_interface_or_a_zone(self):
        # A zone by name or index, for a link-local group and for one of a wider scope. Wine
        # knows no Linux interface names: there the index alone.
        cases = [("ff02::1:3", ["-i", str(V0), "ff02::1:3"]),
                 (GROUP6, ["%s%%%d" % (GROUP6, V0)])]
        if not WINDOWS:
            cases += [("ff02::1:3", ["-i", "v0", "ff02::1:3"]), ("ff02::1:3", ["ff02::1:3%v0"]),
                      (GROUP6, [GROUP6 + "%v0"]), (GROUP6, ["-i", "v0", GROUP6 + "%v0"])]
        for group, args in cases:
            with self.subTest(args=args):
                port = next_port()
                watcher = self.watch6(*args, port, group=group)
                send6([5], port, group=group)
                watcher.wait_for(r"seq 5$")
                self.stop_cleanly(watcher)

    def test_errors(self):
        cases = [
            (["ff02::1:3", "5000"], 'The link-local group "ff02::1:3" needs an interface: '
             '-i <name> or a zone, as in ff02::1%eth0'),
            (["239.1.2.3", "5000", "fd00::1"],
             'Source "fd00::1" is not of the group\'s family (IPv4)'),
            ([GROUP6, "5000", "127.0.0.1"],
             'Source "127.0.0.1" is not of the group\'s family (IPv6)'),
            (["-i", "nosuch0", GROUP6, "5000"], 'Unknown interface "nosuch0"'),
            (["-i", "127.0.0.1", GROUP6, "5000"],
             'An IPv6 group is joined on an interface given by name or index, not "127.0.0.1"'),
            (["-i", "99", GROUP6, "5000"], "Unknown interface index 99"),
            ([GROUP6 + "%nosuch0", "5000"],
             'Unknown interface "nosuch0" in the zone of "%s%%nosuch0"' % GROUP6),
            ([GROUP6 + "%99", "5000"], 'Unknown interface "99" in the zone of "%s%%99"' % GROUP6),
            (["-i", "1", "%s%%%d" % (GROUP6, V0), "5000"],
             'The group\'s zone in "%s%%%d" and -i "1" name different interfaces' % (GROUP6, V0)),
        ]
        for args, error in cases:
            with self.subTest(args=args):
                status, out, err = run_to_end(args)
                self.assertEqual(status, 255)
                self.assertEqual([strip_prefix(line, "error") for line in err.splitlines()],
                                 [error])
        # A unicast IPv6 address is no group: the join says so.
        status, out, err = run_to_end(["-i", str(V0), "fd00::1", "5000"])
        self.assertEqual(status, 255)
        self.assertRegex(strip_prefix(err.splitlines()[0], "error"), r"^setsockopt failed: \(")

    @unittest.skipIf(WINDOWS, "mcfeed.exe's IPv6 source under Wine is not what is tested here")
    def test_mcfeed_sends_ipv6_with_its_record(self):
        port = next_port()
        watcher = self.watch6("--summary", "-i", "v0", GROUP6, port)
        status, out, err = run_feed(["-i", "v0", "-b", "fd00::2", "-r", 1000, "-n", 50,
                                     "--drop-every", "10", GROUP6, port])
        self.assertEqual(status, 0, err)
        watcher.wait_for_datagrams(45)
        self.stop_cleanly(watcher)
        summary = [m for m in watcher.messages() if m.startswith("Summary: fd00::2.")]
        self.assertEqual(len(summary), 1, watcher.messages())
        self.assertIn("received 45,", summary[0])
        self.assertIn("missed 4, late 0, lost 4,", summary[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
