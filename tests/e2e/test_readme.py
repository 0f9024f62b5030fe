"""The README's examples run as written, and the manual pages name every option --help names.

Examples: every ```console block of README.md. `$ CMD` runs CMD in sh from a folder of its
own, where `mcwatch` and `mcfeed` are the builds under test and each ```toml NAME block has
been written to NAME; the lines after it, up to the next command, are what it must print
(standard output and error together), compared with the time of day, senders' ports and
decimal figures masked. `# second terminal: CMD` runs CMD once the next command has joined
its groups, as a user would start a sender beside it. `$ CMD &` runs CMD in the background
until the block ends, then interrupts it. Only ever run inside tests/netns.sh's namespace.

Options: `python3 test_readme.py Options MCWATCH MCFEED MAN_DIR` (no namespace: --help joins
nothing) checks that the long options of each program's --help are those its manual page's
OPTIONS section gives, both ways."""

import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(__file__))
from harness import group_members, wait_until  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CAPTURES = os.path.join(ROOT, "..", "shared", "captures")
TIMEOUT_S = 60
SENDER_PREFIX = "# second terminal: "
GROUP_ADDRESS = re.compile(r"\b2(?:2[4-9]|3\d)\.\d+\.\d+\.\d+\b")


def fenced_blocks(text):
    """(info string, lines) of every fenced block, in order."""
    blocks, info, lines = [], None, []
    for line in text.splitlines():
        if info is None:
            if line.startswith("```"):
                info, lines = line[3:].strip(), []
        elif line.startswith("```"):
            blocks.append((info, lines))
            info = None
        else:
            lines.append(line)
    return blocks


def steps(lines):
    """A console block's steps: (sender or None, command, expected lines)."""
    result, sender = [], None
    for line in lines:
        if line.startswith(SENDER_PREFIX):
            sender = line[len(SENDER_PREFIX):]
        elif line.startswith("$ "):
            result.append([sender, line[2:], []])
            sender = None
        else:
            assert result, "output before any command: %r" % line
            result[-1][2].append(line)
    return result


def masked(lines):
    """What must match: no time of day, no sender's port, no measured figure."""
    out = []
    for line in lines:
        line = re.sub(r"^\[\d\d:\d\d:\d\d\.\d{3}\]", "[time]", line)
        line = re.sub(r'"time":"[^"]*"', '"time":T', line)
        line = re.sub(r'"sender_port":\d+', '"sender_port":P', line)
        line = re.sub(r'"(\w+_us)":\d+', r'"\1":N', line)
        line = re.sub(r"\b127\.0\.0\.1([.:])\d+", r"127.0.0.1\1P", line)
        line = re.sub(r"\b\d+(?:\.\d+)?%", "N%", line)
        line = re.sub(r"(?<![\d.])\d+\.\d+(?![\d.])", "N.N", line)
        out.append(line.rstrip())
    while out and not out[-1]:
        out.pop()
    return out


def groups_of(command, folder):
    """The multicast groups the command joins: named on it, or in the config file it reads."""
    groups = set(GROUP_ADDRESS.findall(command))
    config = re.search(r"--config[ =](\S+)", command)
    if config:
        with open(os.path.join(folder, config.group(1))) as text:
            groups.update(re.findall(r'^group = "([^"]+)"', text.read(), re.M))
    return groups


def serving(port):
    """Whether the metrics page is there: the port opens before the join, the page after it."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as answer:
            return answer.status == 200
    except OSError:
        return False


class Examples(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="mcwatch-readme-")
        self.addCleanup(self.folder.cleanup)
        tools = os.path.join(self.folder.name, "bin")
        os.mkdir(tools)
        for name, variable in (("mcwatch", "MCWATCH_CMD"), ("mcfeed", "MCFEED_CMD")):
            command = os.environ.get(variable, os.path.join(ROOT, "build", name))
            path = os.path.join(tools, name)
            with open(path, "w") as script:
                script.write("#!/bin/sh\nexec %s \"$@\"\n" % command)
            os.chmod(path, 0o755)
        self.env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"])
        self.work = os.path.join(self.folder.name, "work")
        os.mkdir(self.work)

    def shell(self, command, **kwargs):
        return subprocess.Popen(["sh", "-c", command], cwd=self.work, env=self.env,
                                stdin=subprocess.DEVNULL, **kwargs)

    def joined(self, command):
        """Waits until the command's groups are joined: a capture's run joins nothing."""
        groups = set() if re.search(r"(^| )(-r|--read)[ =]", command) else \
            groups_of(command, self.work)
        wait_until(lambda: all(group_members(group) > 0 for group in groups), TIMEOUT_S)

    def run_block(self, lines):
        background = []
        try:
            for sender, command, expected in steps(lines):
                if command.endswith("&"):
                    self.assertFalse(expected, command)
                    process = self.shell("exec " + command[:-1], stdout=subprocess.DEVNULL)
                    background.append(process)
                    self.joined(command)
                    listen = re.search(r"--listen[ =](?:\S*:)?(\d+)", command)
                    if listen:
                        wait_until(lambda: serving(int(listen.group(1))), TIMEOUT_S)
                    continue
                process = self.shell(command, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
                try:
                    if sender is not None:
                        self.joined(command)
                        feed = self.shell(sender, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL)
                        self.assertEqual(feed.wait(TIMEOUT_S), 0, sender)
                    out, _ = process.communicate(timeout=TIMEOUT_S)
                finally:
                    if process.poll() is None:
                        process.kill()
                        process.wait()
                self.assertEqual(masked(out.decode(errors="replace").splitlines()),
                                 masked(expected), command)
        finally:
            for process in background:
                process.send_signal(signal.SIGINT)
            for process in background:
                self.assertEqual(process.wait(TIMEOUT_S), 0)

    def test_examples(self):
        with open(os.path.join(ROOT, "README.md")) as text:
            blocks = fenced_blocks(text.read())
        for info, lines in blocks:
            words = info.split()
            if words[:1] == ["toml"] and len(words) == 2:
                with open(os.path.join(self.work, words[1]), "w") as config:
                    config.write("\n".join(lines) + "\n")
        examples = [lines for info, lines in blocks if info == "console"]
        self.assertGreaterEqual(len(examples), 8, "the README's examples")
        for lines in examples:
            commands = "\n".join(lines)
            with self.subTest(lines[0]):
                for name in re.findall(r"\S+\.pcap\b", commands):
                    capture = os.path.join(CAPTURES, name)
                    if not os.path.exists(capture):
                        self.skipTest("no %s (the shared captures are missing)" % capture)
                    if not os.path.exists(os.path.join(self.work, name)):
                        os.symlink(capture, os.path.join(self.work, name))
                self.run_block(lines)


def long_options(text):
    return set(re.findall(r"(?<![\w-])--[a-z0-9][a-z0-9-]*", text))


def manual_options(path):
    """The long options that head an entry of the page's OPTIONS section."""
    with open(path) as page:
        section = page.read().split("\n.SH OPTIONS\n", 1)[1].split("\n.SH ", 1)[0]
    heads = re.findall(r"^\.TP\n(.*)$", section, re.M)
    return long_options("\n".join(heads).replace("\\-", "-"))


def check_options(mcwatch, mcfeed, man_dir):
    wrong = []
    for name, program in (("mcwatch", mcwatch), ("mcfeed", mcfeed)):
        help_text = subprocess.run(shlex.split(program) + ["--help"], capture_output=True,
                                   text=True, timeout=TIMEOUT_S, check=True).stdout
        in_help = long_options(help_text)
        in_manual = manual_options(os.path.join(man_dir, name + ".1"))
        for option in sorted(in_help - in_manual):
            wrong.append("%s: %s is in --help, not in the OPTIONS of %s.1" % (name, option, name))
        for option in sorted(in_manual - in_help):
            wrong.append("%s: %s is in %s.1's OPTIONS, not in --help" % (name, option, name))
        if len(in_help) < 10:
            wrong.append("%s: --help names only %d long options" % (name, len(in_help)))
    print("\n".join(wrong))
    return 1 if wrong else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["Options"]:
        sys.exit(check_options(*sys.argv[2:5]))
    unittest.main()
