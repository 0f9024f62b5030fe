"""Runs the real mcwatch and sends it real datagrams. Only ever run inside the private network
namespace that tests/netns.sh makes, so no datagram leaves the machine.

The command that starts the tool comes from MCWATCH_CMD (default: build/mcwatch), so the same
tests run any build of it, the Windows one under Wine included."""

import atexit
import itertools
import os
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

PREFIX = re.compile(r"^\[(\d\d):(\d\d):(\d\d)\.(\d\d\d)\] \[(info|error)\] ")
GROUP = "239.1.2.3"
# The Windows build under Wine: its interrupt shuts Winsock down, so the leave request after it
# fails by design, and it sees only SIGINT.
WINDOWS = os.environ.get("MCWATCH_PLATFORM") == "windows"
START_TIMEOUT_S = float(os.environ.get("MCWATCH_START_TIMEOUT", "10"))
STOP_TIMEOUT_S = float(os.environ.get("MCWATCH_STOP_TIMEOUT", "10"))

# Wine's server kills a process that still runs half a second after it closed its connection to
# the server, which Wine does on its way out, the exit status decided: on a busy machine the
# status is lost to SIGKILL. tests/wine.sh preloads a shim that writes it to this folder first.
EXIT_STATUS_DIR = None
if os.environ.get("MCWATCH_EXIT_SHIM"):
    EXIT_STATUS_DIR = tempfile.mkdtemp(prefix="mcwatch-exit-")
    os.environ["MCWATCH_EXIT_STATUS_DIR"] = EXIT_STATUS_DIR
    atexit.register(shutil.rmtree, EXIT_STATUS_DIR, True)


def start_program(argv, **kwargs):
    """Popen, with no status kept from an earlier process of the same ID."""
    process = subprocess.Popen(argv, **kwargs)
    if EXIT_STATUS_DIR is not None:
        try:
            os.remove(os.path.join(EXIT_STATUS_DIR, str(process.pid)))
        except FileNotFoundError:
            pass
    return process


def exit_status(process):
    """The ended process's status: under Wine, the one it exited with when the server's SIGKILL
    came after it."""
    status = process.returncode
    if EXIT_STATUS_DIR is None or status != -signal.SIGKILL:
        return status
    try:
        with open(os.path.join(EXIT_STATUS_DIR, str(process.pid))) as kept:
            return int(kept.read()) & 0xFF
    except (OSError, ValueError):
        return status


def run_program(argv, timeout_s, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE):
    """Runs a program to its end; returns its status (as exit_status), stdout and stderr."""
    with start_program(argv, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE) as process:
        try:
            out, err = process.communicate(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            process.kill()
            raise
    return exit_status(process), out or b"", err


# Each test file runs in a namespace of its own, so one counter serves each.
_ports = itertools.count(41000)


def next_port():
    return next(_ports)


# LeakSanitizer cannot run under ptrace and fails the exit there; the sanitizer build's leak
# checks are made by every test that does not trace.
TRACED_ENV = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}


def free_port():
    """A TCP port nobody listens on in this namespace, for a server the test starts."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def tool_command():
    return shlex.split(os.environ.get("MCWATCH_CMD", "build/mcwatch"))


class Watcher:
    """One running mcwatch: its lines as they arrive, stamped with the time they arrived; or,
    with to_files, its output in files, as a busy stream is watched in earnest (a flood's
    million lines), or standard output to a descriptor the test gives (a pipe it stalls)."""

    def __init__(self, args, group=GROUP, env=None, prefix=(), to_files=False, stdout=None,
                 stdin=subprocess.DEVNULL):
        """prefix: a command that runs the tool (strace, say); env: variables added; stdin: a
        descriptor to read (a pipe the test writes)."""
        self.args = [str(a) for a in args]
        self.group = group
        self.members_before = group_members(group)
        environment = dict(os.environ, **(env or {}))
        self.out = []          # (arrival time, line without its newline)
        self.err = []
        self._lock = threading.Lock()
        self._files = []
        self._folder = None
        if to_files:
            self._folder = tempfile.TemporaryDirectory()
            self.path = os.path.join(self._folder.name, "out")
            self.err_path = os.path.join(self._folder.name, "err")
            self._files = [open(self.err_path, "wb")]
            if stdout is None:
                self._files.append(open(self.path, "wb"))
                stdout = self._files[-1]
        self.process = start_program(
            list(prefix) + tool_command() + self.args, stdin=stdin, env=environment,
            stdout=subprocess.PIPE if stdout is None else stdout,
            stderr=self._files[0] if to_files else subprocess.PIPE)
        self._readers = []
        if not to_files:
            self._readers = [
                threading.Thread(target=self._read, args=(self.process.stdout, self.out)),
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
        hits = []
        while time.monotonic() < deadline:
            with self._lock:
                hits = [t for t, line in self.out if regex.search(strip_prefix(line, None))]
            if len(hits) >= count:
                return hits[count - 1]
            if self.process.poll() is not None and not any(r.is_alive() for r in self._readers):
                break
            time.sleep(0.01)
        raise AssertionError("no %d line(s) matching %r within %.1f s (%d did); stdout ends %r "
                             "stderr %r; the namespace's UDP counters %r"
                             % (count, pattern, timeout_s, len(hits), self.messages()[-20:],
                                self.error_messages(), udp_counters()))

    def ready(self, timeout_s=START_TIMEOUT_S, bound_line=r"Socket is bound to "):
        """Waits for the bind line and then for the join, which comes just after it (a slow
        start, as under Wine, can leave a gap between the two); returns the bind line's time.
        With its output in files, waits for the join alone."""
        bound = self.wait_for(bound_line, timeout_s) if self._readers else None
        deadline = time.monotonic() + timeout_s
        while group_members(self.group) <= self.members_before:
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("mcwatch did not join %s; stdout %r stderr %r" % (
                    self.group, self.messages(), self.error_messages()))
            time.sleep(0.01)
        return bound

    def stop(self, signal_number=signal.SIGINT, timeout_s=STOP_TIMEOUT_S):
        """Sends the signal and waits for the exit; returns the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        return self.finish(timeout_s)

    def finish(self, timeout_s=STOP_TIMEOUT_S):
        try:
            self.process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("mcwatch did not end within %.1f s" % timeout_s)
        self._close(timeout_s)
        return exit_status(self.process)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._close(STOP_TIMEOUT_S)

    def _close(self, timeout_s):
        for reader in self._readers:
            reader.join(timeout_s)
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()
        for file in self._files:
            file.close()

    def output(self):
        """Standard output as written to its file so far."""
        with open(self.path, "rb") as out:
            return out.read().decode()

    def errors(self):
        """Standard error as written to its file so far."""
        with open(self.err_path, "rb") as err:
            return err.read().decode()

    def lines(self):
        with self._lock:
            return [line for _, line in self.out]

    def messages(self):
        """Standard output with each line's time-of-day prefix checked and taken off."""
        return [strip_prefix(line, "info") for line in self.lines()]

    def line_where(self, pattern):
        """The first stdout line (with its prefix) whose message matches pattern."""
        regex = re.compile(pattern)
        for line in self.lines():
            if regex.search(strip_prefix(line, None)):
                return line
        raise AssertionError("no line matching %r in %r" % (pattern, self.lines()))

    def wait_for_datagrams(self, count, timeout_s=60):
        """Waits until count datagrams were printed (as lines or JSON events), so that a stop
        after it finds every one of them taken, however busy the machine."""
        self.wait_for(r'^IP6? |"event":"datagram"', timeout_s=timeout_s, count=count)

    def error_messages(self):
        with self._lock:
            return [strip_prefix(line, "error") for _, line in self.err]


class WatcherTest(unittest.TestCase):
    def stop_cleanly(self, watcher, signal_number=signal.SIGINT):
        """Stops the watcher: status 0, no error line, and its membership gone; returns its
        messages."""
        members = group_members(watcher.group)
        self.assertEqual(watcher.stop(signal_number), 0, watcher.error_messages())
        self.assertEqual(watcher.error_messages(), [])
        self.assertEqual(group_members(watcher.group), members - 1)
        return watcher.messages()


def watch(test, *args, bound_line=r"Socket is bound to ", **options):
    """Starts mcwatch for a test, ended with the test, and waits until it has joined; options
    go to Watcher (group, env, prefix, to_files, stdout)."""
    watcher = Watcher(list(args), **options)
    test.addCleanup(watcher.kill)
    if watcher._folder is not None:
        test.addCleanup(watcher._folder.cleanup)
    watcher.ready(bound_line=bound_line)
    return watcher


def temp_folder(test):
    """A folder of the test's own, removed with it."""
    folder = tempfile.TemporaryDirectory()
    test.addCleanup(folder.cleanup)
    return folder.name


def write_streams(path, streams, head=""):
    """A config file: head, then a [[stream]] for each (name, group, port, feed or None)."""
    with open(path, "w", encoding="utf-8") as out:
        out.write(head)
        for name, group, port, feed in streams:
            out.write('[[stream]]\nname = "%s"\ngroup = "%s"\nport = %d\n' % (name, group, port))
            if feed:
                out.write('feed = "%s"\n' % feed)
    return path


def wait_until(condition, timeout_s=60, poll_s=0.05):
    """Waits until condition() holds: a test waits for what it counts, never for a time."""
    deadline = time.monotonic() + timeout_s
    while not condition():
        assert time.monotonic() < deadline, "not within %.0f s" % timeout_s
        time.sleep(poll_s)


def group_members(group):
    """How many memberships this namespace's kernel holds for the group, on any interface: an
    IPv6 group's (its zone left off) from /proc/net/igmp6."""
    if ":" in group:
        wanted = socket.inet_pton(socket.AF_INET6, group.split("%")[0]).hex()
        with open("/proc/net/igmp6") as table:
            return sum(int(f[3]) for f in (line.split() for line in table) if f[2] == wanted)
    wanted = "%08X" % struct.unpack("=I", socket.inet_aton(group))[0]
    members = 0
    with open("/proc/net/igmp") as igmp:
        for line in igmp:
            fields = line.split()
            if line.startswith("\t") and fields and fields[0] == wanted:
                members += int(fields[1])
    return members


def groups_joined(prefix):
    """How many memberships this namespace holds for the groups whose address starts so."""
    count = 0
    with open("/proc/net/igmp") as igmp:
        for line in igmp:
            fields = line.split()
            if line.startswith("\t") and fields:
                address = socket.inet_ntoa(struct.pack("=I", int(fields[0], 16)))
                if address.startswith(prefix):
                    count += int(fields[1])
    return count


def ms_of_day(line):
    """The time of day a line's prefix gives, in milliseconds: the tool's own clock, read when it
    made the line, so that a test measures a time where it happens."""
    match = PREFIX.match(line)
    assert match is not None, line
    hours, minutes, seconds, ms = (int(match.group(i)) for i in range(1, 5))
    return ((hours * 60 + minutes) * 60 + seconds) * 1000 + ms


def now_ms_of_day():
    """This process's time of day in milliseconds, on the clock the prefixes read."""
    now = time.time()
    local = time.localtime(now)
    return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 + \
        int(now * 1000) % 1000


def ms_between(earlier_ms, later_ms):
    """Milliseconds from one time of day to a later one, across midnight too."""
    return (later_ms - earlier_ms) % 86400000


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


def run_to_end(args, timeout_s=STOP_TIMEOUT_S, command=None):
    """Runs mcwatch (or command, which runs it) to its own end (a bad command line); returns
    status, stdout, stderr."""
    status, out, err = run_program((command or tool_command()) + [str(a) for a in args],
                                   timeout_s + START_TIMEOUT_S)
    return status, out.decode(), err.decode()


def run_cleanly(test, args, timeout_s=STOP_TIMEOUT_S):
    """Runs mcwatch to its end (a capture read, --help), which must exit 0 with no error line;
    returns its standard output."""
    status, out, err = run_to_end(args, timeout_s)
    test.assertEqual((status, err), (0, ""), args)
    return out


def feed_command():
    return shlex.split(os.environ.get("MCFEED_CMD", "build/mcfeed"))


def run_feed(args, timeout_s=60):
    """Runs mcfeed to its end; returns status, stdout, stderr."""
    status, out, err = run_program(feed_command() + [str(a) for a in args], timeout_s)
    return status, out.decode(), err.decode()


def feed_whole(test, args, timeout_s=60):
    """Runs mcfeed to its end, as run_feed, for a receiver that must count every datagram: the
    kernel dropped none of them on the way. Returns stdout and mcfeed's record."""
    drops_before = receive_buffer_errors()
    status, out, err = run_feed(args, timeout_s)
    test.assertEqual(status, 0, err)
    test.assertEqual(receive_buffer_errors(), drops_before, "the kernel dropped datagrams")
    return out, err.splitlines()


# The counters of a metrics page, by their names in a summary's total.
PAGE_COUNTERS = {"datagrams_received_total": "received", "bytes_received_total": "bytes",
                 "missed_total": "missed", "late_total": "late",
                 "duplicates_total": "duplicates", "stale_total": "stale",
                 "restarts_total": "restarts"}


def check_metrics_page(test, page):
    """promtool finds nothing wrong with a page of metrics (text)."""
    check = subprocess.run(["promtool", "check", "metrics"], input=page.encode(),
                           capture_output=True, timeout=60)
    test.assertEqual((check.returncode, check.stdout + check.stderr), (0, b""))


def fetch(url, method="GET", timeout_s=10):
    """Status and body of one request; a refusal's status too."""
    request = urllib.request.Request(url, method=method)
    try:
        with urllib.request.urlopen(request, timeout=timeout_s) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as refusal:
        return refusal.code, refusal.read().decode()


def queued_bytes(port):
    """What this namespace's UDP sockets on the port hold unread (rx_queue of /proc/net/udp)."""
    queued = 0
    with open("/proc/net/udp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(":%04X" % port):
                queued += int(fields[4].split(":")[1], 16)
    return queued


def send_paced(datagrams, port, group=GROUP):
    """Sends (source, source port, seq) datagrams, waiting whenever the receiver's queue holds
    more than a quarter of its room: a long stream arrives whole, however long the receiver is
    held up, so that the counts are exact."""
    socks = {}
    try:
        for sent, (source, source_port, seq) in enumerate(datagrams, 1):
            sock = socks.get((source, source_port))
            if sock is None:
                if len(socks) >= 256:  # many senders: a socket each would pass the file limit
                    for old in socks.values():
                        old.close()
                    socks.clear()
                sock = socks[(source, source_port)] = sender(source, source_port)
            sock.sendto(payload(seq), (group, port))
            if sent % 64 == 0:
                while queued_bytes(port) > 65536:
                    time.sleep(0.001)
    finally:
        for sock in socks.values():
            sock.close()


def sent_count(count, fault_lines):
    """How many datagrams mcfeed sent for count numbers, by its fault record."""
    return count + sum(line.startswith("duplicated") for line in fault_lines) - \
        sum(line.startswith("dropped") for line in fault_lines)


def steps(record):
    """mcfeed's record as (fault, first number, count, numbers swapped ahead of it)."""
    found = []
    for line in record:
        words = line.split()
        if words[0] in ("dropped", "duplicated", "swapped"):
            count = int(words[4]) if len(words) > 4 and words[3] == "count" else 1
            found.append((words[0], int(words[2]), count))
    return found


def expected_counts(record, start, total, width, tail_shown=False):
    """What the summary must say, in numbers, for mcfeed's record of a stream of total numbers
    from start, wrapping in width bits: numbers dropped are lost once a later number passed
    them (with tail_shown, the closing heartbeat passes them all) and never before the first
    datagram; a swapped datagram's numbers are late, or stale where the first pair was swapped
    (they came before the sender's first)."""
    def index(seq):
        return (seq - start) % 2 ** width
    dropped, late_numbers, duplicates = [], [], 0
    for fault, seq, count in steps(record):
        numbers = [index(seq) + k for k in range(count)]
        if fault == "dropped":
            dropped += numbers
        elif fault == "swapped":
            late_numbers += numbers
        else:
            duplicates += count
    gone = set(dropped)
    first = next(i for i in range(total) if i not in gone)
    if first in late_numbers:  # the first pair was swapped: its higher datagram came first
        first = next(i for i in range(first, total) if i not in late_numbers)
    last = total if tail_shown else max(i for i in range(total) if i not in gone)
    return {"lost": sum(first < i < last for i in dropped),
            "late": sum(i >= first for i in late_numbers),
            "stale": sum(i < first for i in late_numbers),
            "duplicates": duplicates}


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


# A receive buffer of seconds of a test's stream, as far as net.core.rmem_max allows: on a busy
# machine the receiver (or the test's reader of its lines, which it then waits for) may wait
# that long for a core, and the tests that send thousands of datagrams a second count each one.
ROOMY_BUFFER = ("--rcvbuf", "4m")


def udp_counters():
    """The kernel's UDP counters in this namespace, by name: what it delivered (InDatagrams), found
    no socket for (NoPorts), dropped for a full receive buffer (RcvbufErrors)."""
    with open("/proc/net/snmp") as snmp:
        rows = [line.split() for line in snmp if line.startswith("Udp:")]
    return dict(zip(rows[0][1:], (int(value) for value in rows[1][1:])))


def receive_buffer_errors():
    return udp_counters()["RcvbufErrors"]


class StampedReceiver:
    """A plain socket of the test joined to a group, that keeps each datagram's sequence number
    with the kernel's time of its arrival (SO_TIMESTAMPNS): a sender's spacing measured where
    it happens, not through another program's output and this process's scheduling."""

    SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)

    def __init__(self, port, group=GROUP):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # As much room as the system grants, for a stream while this process waits for a core.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 24)
        self.sock.setsockopt(socket.SOL_SOCKET, self.SO_TIMESTAMPNS, 1)
        self.sock.bind((group, port))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                             socket.inet_aton(group) + socket.inet_aton("0.0.0.0"))
        self.sock.settimeout(0.1)
        self.arrivals = []     # (kernel time in seconds, sequence number)
        self._stop = False
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while not self._stop:
            try:
                data, ancillary, _, _ = self.sock.recvmsg(65536, 64)
            except socket.timeout:
                continue
            stamp = None
            for level, kind, value in ancillary:
                if level == socket.SOL_SOCKET and kind == self.SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("=qq", value[:16])
                    stamp = seconds + nanoseconds / 1e9
            assert stamp is not None, "no receive timestamp"
            seq = struct.unpack("<q", data[4:12])[0] if len(data) >= 12 else None
            self.arrivals.append((stamp, seq))

    def wait_for_count(self, count, timeout_s=30):
        deadline = time.monotonic() + timeout_s
        while len(self.arrivals) < count:
            if time.monotonic() > deadline:
                raise AssertionError("%d of %d datagrams within %.0f s" % (
                    len(self.arrivals), count, timeout_s))
            time.sleep(0.01)

    def close(self):
        self._stop = True
        self._reader.join()
        self.sock.close()


def densest(stamps, window_s):
    """The most stamps in any window of window_s seconds."""
    most, first = 0, 0
    for last in range(len(stamps)):
        while stamps[last] - stamps[first] >= window_s:
            first += 1
        most = max(most, last - first + 1)
    return most


def process_status(pid, field):
    """A number from /proc/<pid>/status: VmRSS, VmHWM (KiB), voluntary_ctxt_switches."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError("no %s for %d" % (field, pid))
