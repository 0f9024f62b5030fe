"""Faults and load, end to end: floods, interrupts under load, every datagram length, a full or
closed standard output, and a long steady run. Each test is bounded in time."""

import json
import os
import random
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, feed_command, fetch, free_port, group_members,  # noqa: E402
                     process_status, receive_buffer_errors, sender, wait_until, watch)

FLOOD_DATAGRAMS = int(os.environ.get("MCWATCH_FLOOD_DATAGRAMS", "1000000"))
SOAK_SECONDS = float(os.environ.get("MCWATCH_SOAK_SECONDS", "180"))


def resident_kib(pid):
    return process_status(pid, "VmRSS")


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def feed(*args, timeout_s=120):
    done = subprocess.run(feed_command() + ["-q", "-b", "127.0.0.1"] + [str(a) for a in args],
                          capture_output=True, timeout=timeout_s, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    return done.stdout.decode()


class Hardening(unittest.TestCase):
    def test_flood_every_datagram_is_printed_or_counted_as_dropped(self):
        watcher = watch(self, *["-g", "-s", "1000", GROUP, 43001], to_files=True)
        dropped_before = receive_buffer_errors()
        started = time.monotonic()
        summary = feed("-r", 0, "-n", FLOOD_DATAGRAMS, GROUP, 43001)
        sending_s = time.monotonic() - started
        self.assertIn("sent %d datagrams" % FLOOD_DATAGRAMS, summary)
        # Every datagram is printed or dropped before the stop, however long the tool takes.
        wait_until(lambda: watcher.output().count(": UDP, length 64, seq ") +
                   receive_buffer_errors() - dropped_before >= FLOOD_DATAGRAMS, timeout_s=300,
                   poll_s=0.5)
        self.assertEqual(watcher.stop(), 0)
        output = watcher.output()
        printed = output.count(": UDP, length 64, seq ")
        dropped = receive_buffer_errors() - dropped_before
        print("\nflood: %d sent in %.2f s, %d printed, %d dropped by the kernel"
              % (FLOOD_DATAGRAMS, sending_s, printed, dropped), file=sys.stderr)
        self.assertEqual(printed + dropped, FLOOD_DATAGRAMS)
        self.assertEqual(watcher.errors(), "")

    def test_interrupt_during_a_flood_stops_in_order(self):
        for signal_number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signal_number):
                watcher = watch(self, *["-g", GROUP, 43002], to_files=True)
                flood = subprocess.Popen(feed_command() + ["-q", "-b", "127.0.0.1", "-r", "0",
                                                           "-d", "20", GROUP, "43002"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.addCleanup(flood.kill)
                wait_until(lambda: watcher.output().count(" IP ") > 1000)
                self.assertEqual(watcher.stop(signal_number), 0)
                flood.send_signal(signal.SIGINT)
                flood.wait(timeout=30)
                self.assertEqual(group_members(GROUP), 0, "the group was not left")
                output = watcher.output()
                # Nothing is cut short: the output ends with a whole datagram line and its
                # empty line, and every datagram line is whole.
                self.assertTrue(output.endswith("\n\n"), output[-200:])
                lines = output.splitlines()
                datagram_lines = [line for line in lines if " IP " in line]
                self.assertGreater(len(datagram_lines), 1000)
                self.assertTrue(all(line.endswith(tuple("0123456789")) and
                                    ": UDP, length 64, seq " in line for line in datagram_lines))
                self.assertEqual(watcher.errors(), "")

    def block_output(self, port, *options):
        """Starts the tool with standard output to a pipe nobody reads yet and floods it until
        it is blocked writing; returns it and the pipe's read end."""
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        watcher = watch(self, *options, GROUP, port, to_files=True, stdout=write_end)
        os.close(write_end)
        feed("-r", 0, "-n", 20000, GROUP, port)

        def blocked_writing():
            with open("/proc/%d/wchan" % watcher.process.pid) as wchan:
                return "pipe" in wchan.read()
        wait_until(blocked_writing)
        return watcher, read_end

    def stall_output(self, port, *options):
        """block_output, then an interrupt while it is blocked."""
        watcher, read_end = self.block_output(port, *options)
        watcher.process.send_signal(signal.SIGINT)
        return watcher, read_end

    def test_the_page_of_a_run_held_up_by_its_reader_is_refused_until_it_goes_on(self):
        # Its figures have stopped: a scrape is refused, not shown counters that look healthy
        # (and host drops of 0 while the kernel drops), and served again once the run goes on.
        url = "http://127.0.0.1:%d/metrics" % free_port()
        watcher, read_end = self.block_output(43009, "--json", "--listen", url[7:-8])
        wait_until(lambda: fetch(url)[0] == 503, timeout_s=120, poll_s=1)
        os.set_blocking(read_end, False)

        def read_and_served():
            try:
                while os.read(read_end, 1 << 16):
                    pass
            except BlockingIOError:
                pass
            return fetch(url)[0] == 200
        wait_until(read_and_served, timeout_s=120, poll_s=0.1)
        os.set_blocking(read_end, True)
        watcher.process.send_signal(signal.SIGINT)
        while os.read(read_end, 1 << 16):
            pass
        self.assertEqual(watcher.process.wait(timeout=30), 0)

    def test_an_interrupt_with_a_reader_that_never_reads_ends_it_saying_so(self):
        # The stop waits for the reader, not for ever: after two seconds of nothing read it
        # says that the output was not read, leaves the group, and fails.
        watcher, _ = self.stall_output(43003)
        self.assertEqual(watcher.process.wait(timeout=30), 255)
        self.assertEqual(group_members(GROUP), 0)
        self.assertRegex(watcher.errors(),
                         r"\] \[error\] write failed: standard output was not read for 2 s\n$")

    def test_a_slow_reader_gets_every_line_whole_and_the_summary_last(self):
        # The reader drains 4 KiB every 10 ms after the interrupt: a line cut short by the
        # interrupt, or dropped while the pipe was full, shows as an object jq could not read
        # or a count that does not add up.
        watcher, read_end = self.stall_output(43008, "--json")
        taken = []
        while True:
            chunk = os.read(read_end, 4096)
            if not chunk:
                break
            taken.append(chunk)
            time.sleep(0.01)
        self.assertEqual(watcher.process.wait(timeout=30), 0)
        self.assertEqual(watcher.errors(), "")
        lines = b"".join(taken).decode().splitlines()
        objects = [json.loads(line) for line in lines]
        self.assertEqual([o["event"] for o in objects[-2:]], ["left", "summary"])
        datagrams = sum(o["event"] == "datagram" for o in objects)
        self.assertGreater(datagrams, 100)
        self.assertEqual(objects[-1]["total"]["received"], datagrams)

    def test_every_small_length_and_the_largest(self):
        watcher = watch(self, *["-g", GROUP, 43004], to_files=True)
        sock = sender("127.0.0.1")
        self.addCleanup(sock.close)
        rng = random.Random(5)
        lengths = list(range(65)) + [65507]
        for short in (False, True):
            for length in lengths:
                sock.sendto(bytes(rng.randrange(256) for _ in range(length)), (GROUP, 43004))
                time.sleep(0.002)
        wait_until(lambda: watcher.output().count(" IP ") == len(lengths) * 2)
        self.assertEqual(watcher.stop(), 0)
        seen = [int(line.split("length ")[1].split(",")[0])
                for line in watcher.output().splitlines() if " IP " in line]
        self.assertEqual(seen, lengths * 2)

    def test_output_to_a_pipe_whose_reader_left_ends_it(self):
        reader = subprocess.Popen(["head", "-n", "1"], stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL)
        watcher = watch(self, *[GROUP, 43006], to_files=True, stdout=reader.stdin)
        reader.stdin.close()
        reader.wait(timeout=10)
        feed("-r", 1000, "-n", 200, GROUP, 43006)
        # Like any console tool writing into a closed pipe: SIGPIPE ends it.
        self.assertEqual(watcher.process.wait(timeout=10), -signal.SIGPIPE)



class Soak(unittest.TestCase):
    def test_long_steady_run_keeps_memory_and_counts(self):
        watcher = watch(self, *["-g", "-s", "100", GROUP, 43007], to_files=True)
        dropped_before = receive_buffer_errors()
        rate = 2000
        count = int(SOAK_SECONDS * rate)
        flood = subprocess.Popen(feed_command() + ["-q", "-b", "127.0.0.1", "-r", str(rate), "-n",
                                                   str(count), "--drop-every", "97", GROUP,
                                                   "43007"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(flood.kill)
        pid = watcher.process.pid
        time.sleep(min(5.0, SOAK_SECONDS / 4))
        rss_start, fds_start = resident_kib(pid), open_descriptors(pid)
        samples = []
        while flood.poll() is None:
            samples.append(resident_kib(pid))
            time.sleep(1.0)
        rss_end, fds_end = resident_kib(pid), open_descriptors(pid)
        # Every datagram taken or dropped, then a report after the last one.
        sent = count - count // 97

        def reports():
            return [line.split() for line in watcher.output().splitlines()
                    if "Stats: packets" in line]
        wait_until(lambda: sum(int(words[5].rstrip(";")) for words in reports()) +
                   receive_buffer_errors() - dropped_before >= sent, timeout_s=120)
        reports_then = len(reports())
        wait_until(lambda: len(reports()) > reports_then)
        self.assertEqual(watcher.stop(), 0)
        print("\nsoak: %d datagrams over %.0f s; resident %d KiB at start, %d KiB at end, "
              "peak %d KiB; descriptors %d then %d" % (count, SOAK_SECONDS, rss_start, rss_end,
                                                      max(samples + [rss_end]), fds_start,
                                                      fds_end), file=sys.stderr)
        # A leak of even a byte a datagram would be hundreds of KiB by the end; the allocator's
        # own bookkeeping under a sanitizer moves by a few pages.
        self.assertLessEqual(rss_end, rss_start + 256)
        self.assertEqual(fds_end, fds_start)
        dropped = receive_buffer_errors() - dropped_before
        stats = [line.split() for line in watcher.output().splitlines() if "Stats: packets" in line]
        packets = sum(int(words[5].rstrip(";")) for words in stats)
        gaps = sum(int(words[8]) for words in stats)
        # The report after the last datagram is within the file: stats cover them all.
        self.assertEqual(packets, sent - dropped)
        self.assertEqual(gaps, count // 97 + dropped)


if __name__ == "__main__":
    unittest.main(verbosity=2)
