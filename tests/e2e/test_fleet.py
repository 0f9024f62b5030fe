"""End-to-end tests of the page mcwatch serves for a fleet's Prometheus: a real Prometheus
server, started in this private namespace, scrapes it and holds mcfeed's record; a Prometheus
agent scrapes two watchers and writes to a VictoriaMetrics store that holds both; hostile
clients get nothing but refusals while a stream's counts stay exact; a port in use fails the
run before anything is joined."""

import json
import os
import resource
import select
import shutil
import socket
import subprocess
import sys
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(__file__))
from harness import (GROUP, PAGE_COUNTERS, ROOMY_BUFFER, WINDOWS,  # noqa: E402
                     check_metrics_page, expected_counts, feed_whole, fetch, free_port,
                     next_port, process_status, run_to_end, send, sender, sent_count,
                     temp_folder, wait_until, watch)

PROMETHEUS = shutil.which("prometheus")
VICTORIA = shutil.which("victoria-metrics")
# A stream's series on a page with two senders, by --metrics-per: 11 a sender, or 10 for the
# stream, beside its own 12 (the inter-arrival histogram's 10, host drops, start time).
SERIES_PER_STREAM = {"sender": 35, "stream": 23}
TWO_TIERS = unittest.skipUnless(PROMETHEUS and VICTORIA and shutil.which("promtool"),
                                "prometheus or victoria-metrics is not installed (Debian: "
                                "prometheus, victoria-metrics; .ci/run installs them)")
NATIVE = unittest.skipIf(WINDOWS, "the native build carries it: the engines read the same page")
RULES = os.path.join(os.path.dirname(__file__), "..", "..", "contrib", "prometheus",
                     "mcwatch-rules.yml")
FAULTS = ["--seed", "11", "--drop", "0.02", "--duplicate", "0.02", "--reorder", "0.02"]
# As in the outputs' tests: under Wine the default receive buffer must hold a stalled second.
COUNT, RATE = (800, 200) if WINDOWS else (2000, 1000)


def series_of(page):
    """{(name, sender or None): value} of a text-format page."""
    values = {}
    for line in page.splitlines():
        if line.startswith("#") or not line:
            continue
        name_labels, value = line.rsplit(" ", 1)
        name = name_labels.split("{", 1)[0]
        sender = None
        if 'sender="' in name_labels:
            sender = name_labels.split('sender="', 1)[1].split('"', 1)[0]
        values[(name, sender)] = float(value)
    return values


def read_answers(clients, timeout_s):
    """The first bytes each client got back (b"" for a close or a reset, None for nothing), for
    as long as timeout_s; the clients are closed after. A connection still waiting in the
    backlog answers nothing."""
    poller = select.poll()
    by_fd = {client.fileno(): client for client in clients}
    for fd in by_fd:
        poller.register(fd, select.POLLIN)
    answers = [None] * len(clients)
    place = {client.fileno(): i for i, client in enumerate(clients)}
    deadline = time.monotonic() + timeout_s
    while by_fd and time.monotonic() < deadline:
        for fd, _ in poller.poll(500):
            try:
                answers[place[fd]] = by_fd[fd].recv(64)
            except OSError:
                answers[place[fd]] = b""
            poller.unregister(fd)
            by_fd.pop(fd).close()
    for client in by_fd.values():
        client.close()
    return answers


class Fleet(unittest.TestCase):
    def setUp(self):
        self.tmp = temp_folder(self)

    def feed(self, port, count=COUNT, rate=RATE, source="127.0.0.1"):
        """Sends the recorded stream from source; returns mcfeed's record."""
        return feed_whole(self, ["-b", source, "-r", rate, "-n", count, *FAULTS, GROUP, port])[1]

    def start_server(self, argv):
        """A server the test ends: VictoriaMetrics or Prometheus."""
        server = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)

    def start_two_tier(self, targets):
        """A VictoriaMetrics store, and a Prometheus agent that scrapes the targets every
        second and writes to it; returns the store's query API."""
        store = "127.0.0.1:%d" % free_port()
        self.start_server([VICTORIA, "-storageDataPath=" + os.path.join(self.tmp, "store"),
                           "-httpListenAddr=" + store, "-search.latencyOffset=0s",
                           "-search.disableCache", "-loggerLevel=ERROR"])
        config = self.prometheus_config("agent.yml", targets, "remote_write:\n  - url: "
                                        "http://%s/api/v1/write\n    queue_config:\n"
                                        "      batch_send_deadline: 1s\n" % store)
        self.start_server([PROMETHEUS, "--enable-feature=agent", "--config.file=" + config,
                           "--storage.agent.path=" + os.path.join(self.tmp, "agent"),
                           "--web.listen-address=127.0.0.1:%d" % free_port(), "--log.level=error"])
        return "http://%s/api/v1/query?query=" % store

    def check_two_tier(self, per):
        """Two watchers on addresses of their own stand for two hosts, each hearing two
        senders: the store holds each host's counts and their sum, as their summaries and
        mcfeed's records have them; each page is valid and has the series its mode costs."""
        port, hosts = next_port(), ["127.0.0.2:%d" % free_port(), "127.0.0.3:%d" % free_port()]
        # Two watchers beside two servers on a busy machine: a queue that holds both feeds
        # whole, so that a watcher kept from the processor loses nothing.
        watchers = [watch(self, "-q", "-g", "--json", "--rcvbuf", "8m", "--listen", host,
                          "--metrics-per", per, GROUP, port, bound_line='"event":"bound"')
                    for host in hosts]
        store = self.start_two_tier(hosts)
        # The engines start before the feed does: their start would crowd out the watchers.
        wait_until(lambda: self.query(store, 'up{job="mcwatch"}', "instance")
                   == {host: 1.0 for host in hosts}, timeout_s=90, poll_s=0.5)
        records = [self.feed(port, source=source) for source in ("127.0.0.1", "127.0.0.4")]
        received = sum(sent_count(COUNT, record) for record in records)
        wait_until(lambda: self.query(store, "sum by (instance) (mcwatch_datagrams_received_total)",
                                      "instance")
                   == {host: received for host in hosts}, timeout_s=90, poll_s=0.5)
        per_host = {name: self.query(store, "sum by (instance) (mcwatch_%s)" % name, "instance")
                    for name in PAGE_COUNTERS}
        summed = {name: self.query(store, "sum(mcwatch_%s)" % name, "instance")
                  for name in PAGE_COUNTERS}
        senders = self.query(
            store, 'count by (instance) (mcwatch_bytes_received_total{sender!=""})', "instance")
        for host in hosts:
            status, page = fetch("http://%s/metrics" % host)
            self.assertEqual(status, 200)
            check_metrics_page(self, page)
            self.assertEqual(sum(('group="%s"' % GROUP) in line for line in page.splitlines()
                                 if not line.startswith("#")), SERIES_PER_STREAM[per])

        totals = []
        for watcher in watchers:
            self.assertEqual(watcher.stop(), 0)
            totals.append(json.loads(watcher.lines()[-1])["total"])
        self.assertEqual(per_host, {name: {host: total[key] for host, total in zip(hosts, totals)}
                                    for name, key in PAGE_COUNTERS.items()})
        self.assertEqual(summed, {name: {None: sum(total[key] for total in totals)}
                                  for name, key in PAGE_COUNTERS.items()})
        self.assertEqual(senders, {host: 2 for host in hosts} if per == "sender" else {})
        expected = {}
        for record in records:
            for key, value in expected_counts(record, 0, COUNT, 64).items():
                expected[key] = expected.get(key, 0) + value
        for total in totals:
            self.assertEqual({key: total[key] for key in expected}, expected)
            self.assertEqual(total["received"], received)

    @TWO_TIERS
    @NATIVE
    def test_an_agent_writes_each_hosts_counts_per_sender_to_a_central_store(self):
        self.check_two_tier("sender")

    @TWO_TIERS
    @NATIVE
    def test_an_agent_writes_each_hosts_counts_per_stream_to_a_central_store(self):
        self.check_two_tier("stream")

    def prometheus_config(self, name, targets, more):
        """A configuration that scrapes the targets every second, and says more."""
        config = os.path.join(self.tmp, name)
        with open(config, "w") as out:
            out.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                      "scrape_configs:\n  - job_name: mcwatch\n"
                      "    static_configs:\n      - targets: ['%s']\n%s"
                      % ("', '".join(targets), more))
        return config

    def start_prometheus(self, target):
        """A Prometheus server scraping target every second, with the shipped alert rules."""
        config = self.prometheus_config("prometheus.yml", [target], "rule_files:\n  - %s\n"
                                        % os.path.abspath(RULES))
        api = "127.0.0.1:%d" % free_port()
        self.start_server([PROMETHEUS, "--config.file=" + config,
                           "--storage.tsdb.path=" + os.path.join(self.tmp, "data"),
                           "--web.listen-address=" + api, "--log.level=error"])
        return "http://%s/api/v1/query?query=" % api

    def query(self, api, expression, label="sender"):
        """{label's value: value} of an instant query (the sender's, or the instance's; None
        where there is none, as in a sum of all); {} while the server is not up or has none."""
        try:
            status, body = fetch(api + urllib.parse.quote(expression), timeout_s=5)
        except OSError:
            return {}
        if status != 200:
            return {}
        return {r["metric"].get(label): float(r["value"][1])
                for r in json.loads(body)["data"]["result"]}

    @unittest.skipUnless(PROMETHEUS and shutil.which("promtool"),
                         "prometheus is not installed (Debian: prometheus; .ci/run installs it)")
    def test_a_prometheus_server_scrapes_the_exact_counts(self):
        port, listen = next_port(), "127.0.0.1:%d" % free_port()
        # Beside a Prometheus server that starts, the receiver waits long for a core.
        watcher = watch(self, "-q", "-g", "--json", *ROOMY_BUFFER, "--listen", listen, GROUP,
                        port, bound_line='"event":"bound"')
        api = self.start_prometheus(listen)
        record = self.feed(port)
        received = sent_count(COUNT, record)
        # Prometheus holds the run's whole count once it scraped a page published after it.
        wait_until(lambda: list(self.query(api, "mcwatch_datagrams_received_total").values())
                   == [received], timeout_s=60, poll_s=0.5)
        scraped = {name: self.query(api, "mcwatch_%s" % name)
                   for name in [*PAGE_COUNTERS, "last_sequence"]}
        self.assertEqual(self.query(api, 'up{job="mcwatch"}'), {None: 1.0})
        self.assertEqual(self.query(api, 'mcwatch_build_info{version="1.0.0"}'), {None: 1.0})
        status, page = fetch("http://%s/metrics" % listen)
        self.assertEqual(status, 200)
        check_metrics_page(self, page)
        self.assertGreater(series_of(page)[("process_start_time_seconds", None)], 1.7e9)

        self.assertEqual(watcher.stop(), 0)
        summary = json.loads(watcher.lines()[-1])
        total, sender = summary["total"], "127.0.0.1:%d" % summary["senders"][0]["sender_port"]
        self.assertEqual(scraped, {
            **{name: {sender: total[key]} for name, key in PAGE_COUNTERS.items()},
            "last_sequence": {sender: summary["senders"][0]["last_seq"]}})
        expected = expected_counts(record, 0, COUNT, 64)
        self.assertEqual({k: total[k] for k in expected}, expected)

    def test_the_page_alone_measures_the_times_it_serves(self):
        # No other output asks for arrival times: the page's histogram and outages still come
        # from them.
        port, listen = next_port(), "127.0.0.1:%d" % free_port()
        watcher = watch(self, "-q", "--listen", listen, GROUP, port)
        sock = sender()
        self.addCleanup(sock.close)
        send([1, 2, 3], port, sock=sock)
        time.sleep(0.3)
        send([5], port, sock=sock)

        def page_series():
            status, page = fetch("http://%s/metrics" % listen)
            self.assertEqual(status, 200)
            return {name: value for (name, _), value in series_of(page).items()}
        wait_until(lambda: page_series().get("mcwatch_datagrams_received_total") == 4,
                   timeout_s=30, poll_s=0.2)
        series = page_series()
        self.assertEqual(series["mcwatch_interarrival_seconds_count"], 3)
        self.assertGreaterEqual(series["mcwatch_outage_seconds_total"], 0.25)
        self.assertEqual(watcher.stop(), 0)

    @unittest.skipIf(WINDOWS, "resident memory is read from /proc")
    def test_hostile_clients_get_refusals_while_the_counts_stay_exact(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        port, listen = next_port(), ("127.0.0.1", free_port())
        url = "http://%s:%d/metrics" % listen
        # Beside the flood below, the receiver waits long for a core.
        watcher = watch(self, "-q", "-g", "--json", *ROOMY_BUFFER, "--listen",
                        "%s:%d" % listen, GROUP, port, bound_line='"event":"bound"')
        self.assertEqual(fetch(url)[0], 200)
        rss_before = process_status(watcher.process.pid, "VmRSS")

        # A paced stream of six seconds, while the clients below come.
        fed = {}
        feeder = threading.Thread(target=lambda: fed.update(record=self.feed(port, 6000)))
        feeder.start()
        # A request that never ends: a header line every half second.
        trickle = socket.create_connection(listen)
        trickle.sendall(b"GET /metrics HTTP/1.1\r\n")
        # A request with a header of 1 MiB.
        huge = socket.create_connection(listen)
        huge.setblocking(False)
        huge_request = b"GET /metrics HTTP/1.1\r\nX-Huge: " + b"a" * (1 << 20) + b"\r\n\r\n"
        # A thousand connections, garbage on every other one.
        flood = []
        for i in range(1000):
            client = socket.socket()
            client.setblocking(False)
            client.connect_ex(listen)
            flood.append(client)
        trickle_end = None
        started = time.monotonic()
        sent_huge = 0
        while time.monotonic() - started < 60 and (trickle_end is None or feeder.is_alive()):
            for i, client in enumerate(flood):
                if i % 2 == 0:
                    try:
                        client.send(b"\x16\x03\x01garbage \x00\xff\r\n\r\n")
                    except OSError:
                        pass
            try:
                sent_huge += huge.send(huge_request[sent_huge:sent_huge + 65536])
            except OSError:
                pass
            if trickle_end is None:
                try:
                    trickle.sendall(b"X-Slow: a\r\n")
                    trickle.settimeout(0.5)
                    answer = trickle.recv(4096)
                    trickle_end = answer
                except socket.timeout:
                    pass
                except OSError:
                    trickle_end = b""
            else:
                time.sleep(0.5)
        self.assertIsNotNone(trickle_end, "a request that never ends was served for a minute")
        feeder.join()
        answers = read_answers(flood + [huge], timeout_s=15)
        trickle.close()
        # Nothing but refusals: whatever answered a hostile request refused it.
        statuses = {answer[:12] for answer in answers + [trickle_end] if answer}
        # The 1 MiB head is refused past 8 KiB (its reset may come before the answer is read).
        self.assertIn(answers[-1][:12], (b"HTTP/1.1 431", b""))
        self.assertTrue(statuses <= {b"HTTP/1.1 400", b"HTTP/1.1 408", b"HTTP/1.1 431",
                                     b"HTTP/1.1 503"}, statuses)
        self.assertIn(b"HTTP/1.1 400", statuses)
        self.assertIn(trickle_end[:12], (b"HTTP/1.1 408", b"HTTP/1.1 503", b""))
        # Served again once they are gone.
        wait_until(lambda: fetch(url)[0] == 200, timeout_s=60, poll_s=0.5)
        rss_after = process_status(watcher.process.pid, "VmRSS")
        self.assertLess(rss_after - rss_before, 2048, "resident KiB grew by a flood of clients")

        self.assertEqual(watcher.stop(), 0)
        total = json.loads(watcher.lines()[-1])["total"]
        expected = expected_counts(fed["record"], 0, 6000, 64)
        self.assertEqual({k: total[k] for k in expected}, expected)
        self.assertEqual(total["received"], sent_count(6000, fed["record"]))

    @unittest.skipIf(WINDOWS, "Winsock hands a connection over before its request has come")
    def test_scrapes_are_served_while_idle_and_trickling_clients_retake_every_slot(self):
        # Twice as many clients as slots, then four times, then a crowd past the listen queue
        # a plain server would have.
        for clients in (16, 32, 300):
            with self.subTest(clients=clients):
                self.scrape_while_clients_retake_slots(clients)

    def scrape_while_clients_retake_slots(self, clients):
        listen = ("127.0.0.1", free_port())
        url = "http://%s:%d/metrics" % listen
        watcher = watch(self, "-q", "--listen", "%s:%d" % listen, GROUP, next_port())
        # The clients, from addresses of their own, each opened again as soon as it is
        # answered: half send nothing, half trickle a head that never ends.
        answers, stopping = [], threading.Event()

        def connect(i):
            client = socket.socket()
            client.bind(("127.0.%d.%d" % divmod(2 + i, 256), 0))
            client.connect(listen)
            if i % 2:
                client.sendall(b"GET /metrics HTTP/1.1\r\n")
            return client

        def hold_slots():
            held = [connect(i) for i in range(clients)]
            while not stopping.is_set():
                readable = select.select(held, [], [], 0.05)[0]
                for client in readable:
                    i = held.index(client)
                    try:
                        answers.append((i % 2, client.recv(64)[:12]))
                    except OSError as error:
                        answers.append((i % 2, "reset: %s" % error))
                    client.close()
                    held[i] = connect(i)
                for i in range(1, clients, 2):
                    try:
                        held[i].send(b"X-Slow: a\r\n")
                    except OSError:
                        pass
            for client in held:
                client.close()

        holder = threading.Thread(target=hold_slots)
        holder.start()
        try:
            # The idle ones come once the kernel has held them for the listen's deferral.
            for kind in (0, 1):
                wait_until(lambda: [k for k, _ in answers].count(kind) >= clients // 2,
                           timeout_s=30)
            statuses = []
            for _ in range(20):
                statuses.append(fetch(url)[0])
                time.sleep(0.1)
        finally:
            stopping.set()
            holder.join()
        self.assertEqual(statuses, [200] * 20)
        # Every client made room saw why, not a reset (a trickle quick enough passes 8 KiB of
        # head before its time is up).
        self.assertEqual({answer for _, answer in answers} - {b"HTTP/1.1 408", b"HTTP/1.1 431",
                                                             b"HTTP/1.1 503"}, set())
        self.assertEqual(watcher.stop(), 0)

    def test_a_port_that_cannot_be_served_fails_before_anything_is_joined(self):
        holder = socket.socket()
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        self.addCleanup(holder.close)
        in_use = holder.getsockname()[1]
        cases = [("127.0.0.1:%d" % in_use, "Failed to listen on 127.0.0.1:%d: (98) Address "
                  "already in use" % in_use),
                 # Not an address of this host.
                 ("192.0.2.1:9100", "Failed to listen on 192.0.2.1:9100: (99) Cannot assign "
                  "requested address"),
                 ("no.such.host.invalid:9100", "Failed to listen on no.such.host.invalid:9100: "
                  "no such address")]
        for listen, error in cases:
            with self.subTest(listen=listen):
                status, out, err = run_to_end(["-v", "--listen", listen, GROUP, next_port()])
                self.assertEqual(status, 255)
                self.assertEqual(out, "")
                messages = [line.split("] ", 2)[2] for line in err.splitlines()]
                self.assertEqual(len(messages), 1, err)
                # Winsock's words for the errors are its own.
                self.assertEqual(messages[0] if not WINDOWS else messages[0].split("(")[0],
                                 error if not WINDOWS else error.split("(")[0])

if __name__ == "__main__":
    unittest.main(verbosity=2)
