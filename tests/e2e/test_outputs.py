"""End-to-end tests of the machine-readable outputs, read by the tools that read them in
production: jq reads every JSON line; promtool checks the metrics file; a real node_exporter,
started in this private namespace, serves it. Both carry the numbers of mcfeed's record."""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, PAGE_COUNTERS, ROOMY_BUFFER, WINDOWS,  # noqa: E402
                     check_metrics_page, expected_counts, feed_whole, free_port, next_port,
                     run_cleanly, run_to_end, sent_count, strip_prefix, temp_folder, watch,
                     write_streams)

EXPORTER = shutil.which("prometheus-node-exporter") or shutil.which("node_exporter")
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$")
FAULTS = ["--seed", "7", "--drop", "0.02", "--duplicate", "0.02", "--reorder", "0.02"]
# A Windows program under Wine may stall for most of a second while its output is read: its
# default receive buffer (about 270 small datagrams) must hold what comes meanwhile.
COUNT, RATE = (800, 200) if WINDOWS else (2000, 2000)



class Outputs(unittest.TestCase):
    def setUp(self):
        self.tmp = temp_folder(self)

    def run_stream(self, *options):
        """Watches one stream with faults; returns the watcher and mcfeed's record."""
        port = next_port()
        watcher = watch(self, *options, GROUP, port, bound_line='"event":"bound"')
        _, record = feed_whole(self, ["-b", "127.0.0.1", "-r", RATE, "-n", COUNT, *FAULTS,
                                      GROUP, port])
        watcher.wait_for_datagrams(sent_count(COUNT, record))
        return watcher, port, record

    @unittest.skipIf(WINDOWS, "the Windows build has no libpcap")
    def test_metrics_name_every_feed_of_the_largest_config(self):
        # 4,096 streams, each a feed of its own: the metrics hold a row for every one of them.
        config = write_streams(os.path.join(self.tmp, "feeds.toml"), [
            ("s%d" % i, "239.10.%d.%d" % (i // 256, i % 256), 5000, "f%d" % i)
            for i in range(4096)])
        capture = os.path.join(self.tmp, "one.pcap")
        with open(capture, "wb") as out:
            # One datagram of number 1 to 239.10.0.0:5000, in a classic pcap of raw IPv4.
            payload = struct.pack("<Iq", 0, 1)
            udp = struct.pack("!HHHH", 40000, 5000, 8 + len(payload), 0) + payload
            ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 1, 17, 0,
                             bytes([10, 0, 0, 7]), bytes([239, 10, 0, 0])) + udp
            out.write(struct.pack("<IHHiIII", 0xa1b2c3d4, 2, 4, 0, 0, 65535, 101))
            out.write(struct.pack("<IIII", 1700000000, 0, len(ip), len(ip)) + ip)
        prom = os.path.join(self.tmp, "m.prom")
        run_cleanly(self, ["-q", "-r", capture, "--config", config, "--prom", prom])
        with open(prom, encoding="utf-8") as f:
            page = f.read()
        self.assertEqual(page.count("mcwatch_feed_numbers_total{feed="), 4096)
        self.assertIn('mcwatch_feed_numbers_total{feed="f0"} 1\n', page)

    @unittest.skipUnless(shutil.which("jq"), "jq is not installed (.ci/run installs it)")
    def test_jq_reads_every_json_line_and_its_numbers(self):
        # A queue that holds the stream, as the receiver's lines are read beside it.
        watcher, port, record = self.run_stream("--json", "-g", "-s", "300", *ROOMY_BUFFER)
        # One more report after the last datagram, so that the reports cover all of them.
        reports = sum('"event":"stats"' in line for line in watcher.lines())
        watcher.wait_for(r'"event":"stats"', count=reports + 1, timeout_s=10)
        self.assertEqual(watcher.stop(), 0)
        path = os.path.join(self.tmp, "out.jsonl")
        with open(path, "w") as out:
            out.write("\n".join(watcher.lines()) + "\n")
        # jq parses every line, and each has its time and event.
        check = subprocess.run(["jq", "-e", "-s", "all(.[]; (.time | type) == \"string\" and "
                                "(.event | type) == \"string\")", path], capture_output=True)
        self.assertEqual(check.returncode, 0, check.stderr)
        lines = subprocess.run(["jq", "-c", ".", path], capture_output=True, check=True,
                               text=True).stdout.splitlines()
        objects = [json.loads(line) for line in lines]
        self.assertEqual(len(objects), len(watcher.lines()))
        self.assertTrue(all(TIME.match(o["time"]) for o in objects))
        events = [o["event"] for o in objects]
        self.assertEqual(events[:3], ["bound", "receive_buffer", "joined"])
        self.assertEqual(events[-2:], ["left", "summary"])
        self.assertEqual(objects[0]["port"], port)
        self.assertEqual((objects[2]["group"], objects[2]["port"]), (GROUP, port))
        datagrams = [o for o in objects if o["event"] == "datagram"]
        summary = objects[-1]
        self.assertEqual(len(datagrams), summary["total"]["received"])
        self.assertTrue({o["class"] for o in datagrams} <= {"first", "next", "gap", "late",
                                                           "duplicate", "stale", "restart"})
        self.assertTrue(all(isinstance(o["seq"], int) and isinstance(o["length"], int)
                            for o in datagrams))
        stats = [o for o in objects if o["event"] == "stats"]
        self.assertEqual(sum(o["packets"] for o in stats), len(datagrams))
        self.assertEqual(("host_drops" in stats[0]), not WINDOWS)
        expected = expected_counts(record, 0, COUNT, 64)
        self.assertEqual({k: summary["total"][k] for k in expected}, expected)
        self.assertEqual(summary["total"]["senders"], 1)
        self.assertEqual(summary["senders"][0]["sender"], "127.0.0.1")
        self.assertIsInstance(summary["duration_s"], float)
        gaps = [o for o in objects if o["event"] in ("gap", "extra")]
        self.assertTrue(all(o["sender"] == "127.0.0.1" for o in gaps))

    @unittest.skipIf(WINDOWS, "the error text is the POSIX one")
    def test_a_metrics_file_that_cannot_be_replaced_fails_the_run_naming_it(self):
        # A folder where the file should be: the first write at start fails, before any join.
        prom = os.path.join(self.tmp, "folder.prom")
        os.mkdir(prom)
        status, out, err = run_to_end(["--prom", prom, GROUP, next_port()])
        self.assertEqual(status, 255)
        self.assertEqual([strip_prefix(line, "error") for line in err.splitlines()],
                         ['Failed to rename "%s.tmp" to "%s": (21) Is a directory' % (prom, prom)])
        self.assertFalse(os.path.exists(prom + ".tmp"))

    @unittest.skipUnless(shutil.which("promtool") and EXPORTER,
                         "promtool and node_exporter are not installed (Debian: prometheus, "
                         "prometheus-node-exporter; .ci/run installs them)")
    def test_node_exporter_serves_the_metrics_of_the_run(self):
        prom = os.path.join(self.tmp, "mcwatch.prom")
        # Joined on a named interface: its series carry it, so that a watcher of the same
        # group on another interface writes series of its own.
        interface = [] if WINDOWS else ["-i", "lo"]
        # Writing the metrics file beside the stream, the receiver may wait long for a core.
        watcher, port, record = self.run_stream("--json", "--prom", prom, *ROOMY_BUFFER,
                                                *interface)
        self.assertEqual(watcher.stop(), 0)
        summary = json.loads(watcher.lines()[-1])
        with open(prom, encoding="utf-8") as page:
            check_metrics_page(self, page.read())
        self.assertFalse(os.path.exists(prom + ".tmp"))

        listen = "127.0.0.1:%d" % free_port()
        exporter = subprocess.Popen([EXPORTER, "--web.listen-address=" + listen,
                                     "--collector.disable-defaults", "--collector.textfile",
                                     "--collector.textfile.directory=" + self.tmp],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(exporter.wait)
        self.addCleanup(exporter.kill)
        deadline = time.monotonic() + 10
        while True:
            try:
                with urllib.request.urlopen("http://%s/metrics" % listen, timeout=2) as page:
                    scraped = page.read().decode()
                break
            except OSError:
                self.assertLess(time.monotonic(), deadline, "node_exporter did not answer")
                time.sleep(0.1)
        series = {}
        for line in scraped.splitlines():
            match = re.match(r'^(mcwatch_\w+)\{(.*)\} (\S+)$', line)
            if match:
                labels = dict(re.findall(r'(\w+)="([^"]*)"', match.group(2)))
                series[(match.group(1), labels.get("sender"))] = (labels, float(match.group(3)))
        sender = "127.0.0.1:%d" % summary["senders"][0]["sender_port"]
        total = summary["total"]
        for name, field in PAGE_COUNTERS.items():
            labels, value = series[("mcwatch_" + name, sender)]
            self.assertEqual(value, total[field], name)
            self.assertEqual((labels["group"], labels["port"], labels["interface"],
                              labels["source"]), (GROUP, str(port), "lo" if interface else "", ""))
        self.assertEqual(series[("mcwatch_last_sequence", sender)][1],
                         summary["senders"][0]["last_seq"])
        record_counts = expected_counts(record, 0, COUNT, 64)
        self.assertEqual(total["missed"] - total["late"], record_counts["lost"])
        self.assertEqual(series[("mcwatch_duplicates_total", sender)][1],
                         record_counts["duplicates"])
        self.assertLess(abs(series[("mcwatch_last_datagram_timestamp_seconds", sender)][1] -
                            time.time()), 60)
        self.assertIn(("mcwatch_start_time_seconds", None), series)
        self.assertEqual(("mcwatch_host_drops_total", None) in series, not WINDOWS)


if __name__ == "__main__":
    unittest.main(verbosity=2)
