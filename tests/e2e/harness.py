"""Runs the real mcwatch and sends it real datagrams. Only ever run inside the private network
namespace that tests/netns.sh makes, so no datagram leaves the machine.

The command that starts the tool comes from MCWATCH_CMD (default: build/mcwatch), so the same
tests run any build of it, the Windows one under Wine included."""

import os
import re
import select
import shlex
import signal
import socket
import struct
import subprocess
import threading
import time

PREFIX = re.compile(r"^\[(\d\d):(\d\d):(\d\d)\.(\d\d\d)\] \[(info|error)\] ")
GROUP = "239.1.2.3"
# The Windows build under Wine: its interrupt shuts Winsock down, so the leave request after it
# fails by design, and it sees only SIGINT.
WINDOWS = os.environ.get("MCWATCH_PLATFORM") == "windows"
START_TIMEOUT_S = float(os.environ.get("MCWATCH_START_TIMEOUT", "10"))
STOP_TIMEOUT_S = float(os.environ.get("MCWATCH_STOP_TIMEOUT", "10"))


def tool_command():
    return shlex.split(os.environ.get("MCWATCH_CMD", "build/mcwatch"))


class Watcher:
    """One running mcwatch: its lines as they arrive, stamped with the time they arrived."""

    def __init__(self, args, group=GROUP, env=None, prefix=()):
        """prefix: a command that runs the tool (strace, say); env: variables added."""
        self.args = [str(a) for a in args]
        self.group = group
        self.members_before = group_members(group)
        environment = dict(os.environ, **(env or {}))
        self.process = subprocess.Popen(list(prefix) + tool_command() + self.args,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, env=environment)
        self.out = []          # (arrival time, line without its newline)
        self.err = []
        self._lock = threading.Lock()
        self._readers = [threading.Thread(target=self._read, args=(self.process.stdout, self.out)),
                         threading.Thread(target=self._read, args=(self.process.stderr, self.err))]
        for reader in self._readers:
            reader.daemon = True
            reader.start()

    def _read(self, stream, lines):
        for raw in iter(stream.readline, b""):
            with self._lock:
                # A Windows build writes CRLF, as any Windows console program does.
                text = raw.decode("utf-8", "replace").rstrip("\n").removesuffix("\r")
                lines.append((time.monotonic(), text))

    def wait_for(self, pattern, timeout_s=START_TIMEOUT_S, count=1):
        """Waits until count stdout lines match pattern; returns the arrival time of the last."""
        deadline = time.monotonic() + timeout_s
        regex = re.compile(pattern)
        while time.monotonic() < deadline:
            with self._lock:
                hits = [t for t, line in self.out if regex.search(strip_prefix(line, None))]
            if len(hits) >= count:
                return hits[count - 1]
            if self.process.poll() is not None and not any(r.is_alive() for r in self._readers):
                break
            time.sleep(0.01)
        raise AssertionError("no %d line(s) matching %r within %.1f s; stdout %r stderr %r" % (
            count, pattern, timeout_s, self.messages(), self.error_messages()))

    def ready(self, timeout_s=START_TIMEOUT_S, bound_line=r"Socket is bound to "):
        """Waits for the bind line and then for the join, which comes just after it (a slow
        start, as under Wine, can leave a gap between the two); returns the bind line's time."""
        bound = self.wait_for(bound_line, timeout_s)
        deadline = time.monotonic() + timeout_s
        while group_members(self.group) <= self.members_before:
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("mcwatch did not join %s; stdout %r stderr %r" % (
                    self.group, self.messages(), self.error_messages()))
            time.sleep(0.01)
        return bound

    def stop(self, signal_number=signal.SIGINT):
        """Sends the signal and waits for the exit; returns the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        return self.finish()

    def finish(self, timeout_s=STOP_TIMEOUT_S):
        try:
            status = self.process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("mcwatch did not end within %.1f s" % timeout_s)
        self._close(timeout_s)
        return status

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._close(STOP_TIMEOUT_S)

    def _close(self, timeout_s):
        for reader in self._readers:
            reader.join(timeout_s)
        self.process.stdout.close()
        self.process.stderr.close()

    def lines(self):
        with self._lock:
            return [line for _, line in self.out]

    def messages(self):
        """Standard output with each line's time-of-day prefix checked and taken off."""
        return [strip_prefix(line, "info") for line in self.lines()]

    def error_messages(self):
        with self._lock:
            return [strip_prefix(line, "error") for _, line in self.err]


def watch(test, *args, bound_line=r"Socket is bound to "):
    """Starts mcwatch for a test, ended with the test, and waits until it has joined."""
    watcher = Watcher(list(args))
    test.addCleanup(watcher.kill)
    watcher.ready(bound_line=bound_line)
    return watcher


def group_members(group):
    """How many memberships this namespace's kernel holds for the group, on any interface."""
    wanted = "%08X" % struct.unpack("=I", socket.inet_aton(group))[0]
    members = 0
    with open("/proc/net/igmp") as igmp:
        for line in igmp:
            fields = line.split()
            if line.startswith("\t") and fields and fields[0] == wanted:
                members += int(fields[1])
    return members


def strip_prefix(line, level):
    match = PREFIX.match(line)
    if match is None:
        return line  # an empty line, or the text after a newline inside a message
    assert level is None or match.group(5) == level, line
    return line[match.end():]


def payload(seq, short_seq=False, length=None):
    if short_seq:
        data = struct.pack("<i", seq)
    else:
        data = b"\xaa\xbb\xcc\xdd" + struct.pack("<q", seq)
    if length is not None:
        data = (data + bytes(range(256)) * 257)[:length]
    return data


def sender(source="127.0.0.1", port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    s.bind((source, port))
    return s


def send(seqs, port, source="127.0.0.1", short_seq=False, gap_s=0.0, sock=None, group=GROUP):
    own = sock is None
    sock = sock or sender(source)
    try:
        for seq in seqs:
            sock.sendto(payload(seq, short_seq), (group, port))
            if gap_s:
                time.sleep(gap_s)
    finally:
        if own:
            sock.close()


def datagram_line(source, source_port, port, length, seq, group=GROUP):
    return "IP %s.%d > %s.%d: UDP, length %d, seq %d" % (source, source_port, group, port,
                                                          length, seq)


def run_to_end(args, timeout_s=STOP_TIMEOUT_S):
    """Runs mcwatch to its own end (a bad command line); returns status, stdout, stderr."""
    done = subprocess.run(tool_command() + [str(a) for a in args], capture_output=True,
                          timeout=timeout_s + START_TIMEOUT_S, stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def feed_command():
    return shlex.split(os.environ.get("MCFEED_CMD", "build/mcfeed"))


def run_feed(args, timeout_s=60):
    """Runs mcfeed to its end; returns status, stdout, stderr."""
    done = subprocess.run(feed_command() + [str(a) for a in args], capture_output=True,
                          timeout=timeout_s, stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def sent_order(start, count, fault_lines):
    """The sequence numbers mcfeed sent, in order, rebuilt from its fault record."""
    dropped, duplicated, swapped = set(), set(), set()
    for line in fault_lines:
        words = line.split()
        if words[0] == "dropped":
            dropped.add(int(words[2]))
        elif words[0] == "duplicated":
            duplicated.add(int(words[2]))
        elif words[0] == "swapped":
            assert int(words[4]) == int(words[2]) + 1, line
            swapped.add(int(words[2]))
    order = []
    seq = start
    while seq < start + count:
        if seq in swapped:
            order += [seq + 1, seq]
            seq += 2
            continue
        if seq not in dropped:
            order += [seq] * (2 if seq in duplicated else 1)
        seq += 1
    return order


def wrap64(value):
    return (value + 2 ** 63) % 2 ** 64 - 2 ** 63


def predicted_gap_lines(order):
    """The gap lines mcwatch -g prints for datagrams arriving in this order, and the missed
    numbers it counts, by the tool's own rules."""
    lines, missed, last = [], 0, -1
    for seq in order:
        if last != -1 and seq != wrap64(last + 1):
            if seq == wrap64(last + 2):
                lines.append("Missed packet: %d" % wrap64(last + 1))
                missed += 1
            elif seq < wrap64(last + 2):
                lines.append("Extra packet: %d" % seq)
            else:
                lines.append("Missed packets: %d - %d" % (wrap64(last + 1), wrap64(seq - 1)))
                missed += (seq - last - 1) % 2 ** 32
        last = seq
    return lines, missed


def receive_buffer_errors():
    """The kernel's count of UDP datagrams dropped for a full receive buffer, in this namespace."""
    with open("/proc/net/snmp") as snmp:
        rows = [line.split() for line in snmp if line.startswith("Udp:")]
    return int(rows[1][rows[0].index("RcvbufErrors")])


def wait_until_steady(measure, quiet_s=0.5, timeout_s=60):
    """Waits until measure() (a file's size, a count of lines) stops changing for quiet_s."""
    deadline = time.monotonic() + timeout_s
    value, since = None, time.monotonic()
    while time.monotonic() < deadline:
        now = measure()
        if now != value:
            value, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet_s:
            return
        time.sleep(0.05)
    raise AssertionError("still changing after %.0f s" % timeout_s)


def process_status(pid, field):
    """A number from /proc/<pid>/status: VmRSS, VmHWM (KiB), voluntary_ctxt_switches."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError("no %s for %d" % (field, pid))
