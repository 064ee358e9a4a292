#!/usr/bin/env python3
"""Runs every vornagent command line the documents show, against the built agent.

The commands are read from the documents themselves (code blocks of the Markdown files, the
manual's .nf examples, the indented command lines of the configuration files and of the zip's
README), so a document that changes a command is tested as it now reads. Each command is
matched to a rule that says how it runs here: paths and hosts that exist only on a user's
machine are replaced by fixtures and by an agent on a free loopback port, and the outcome
the document promises (readings, "ok", a line that matches nothing) is checked. A command
that no rule recognises fails the test, so a new command needs a rule before it ships.
Commands of vornagent.exe, and the inline `vornagent ...` mentions of the Markdown prose,
are checked for options the program has.

    doc_commands_test.py --agent BUILD/agent/vornagent --root SOURCE_DIR
"""
import argparse
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time

MARKDOWN = ["README.md", "docs/user-guide.md", "agent/README.md", "readings/README.md"]
MANUAL = "agent/vornagent.8"
COMMENTED = ["agent/vornagent.conf.example", "agent/win/vornagent.conf"]
PLAIN = ["docs/README-windows.txt"]

COMMAND = re.compile(r"^(?:\$ |sudo )?(vornagent(?:\.exe)?)(?=\s|$)(.*)$")
INLINE = re.compile(r"`(vornagent(?:\.exe)?(?: [^`]*)?)`")
WINDOWS_ONLY = {"--install", "--uninstall", "--reload", "--console", "--service"}
RUN_LIMIT_S = 20  # one command; --ask waits two seconds at most


def commands_of(root):
    """(document, line number, command text) of every command line shown in a document."""
    found = []

    def take(doc, number, text):
        text = text.strip()
        if text.startswith("$ "):
            text = text[2:]
        if text.startswith("sudo "):
            text = text[5:]
        match = COMMAND.match(text)
        if match:
            found.append((doc, number, text))

    for doc in MARKDOWN:
        fence = False
        with open(os.path.join(root, doc), encoding="utf-8") as f:
            for number, line in enumerate(f.read().split("\n"), 1):
                if line.strip().startswith("```"):
                    fence = not fence
                    continue
                if fence or line.startswith("    "):
                    take(doc, number, line)
    with open(os.path.join(root, MANUAL), encoding="utf-8") as f:
        example = False
        for number, line in enumerate(f.read().split("\n"), 1):
            if line.startswith(".nf"):
                example = True
            elif line.startswith(".fi"):
                example = False
            elif example:
                take(MANUAL, number, line.replace("\\-", "-"))
    for doc in COMMENTED:
        with open(os.path.join(root, doc), encoding="utf-8") as f:
            for number, line in enumerate(f.read().split("\n"), 1):
                if re.match(r"^#\s{2,}vornagent", line):
                    take(doc, number, line.lstrip("#"))
    for doc in PLAIN:
        with open(os.path.join(root, doc), encoding="utf-8") as f:
            for number, line in enumerate(f.read().split("\n"), 1):
                if re.match(r"^\s{4,}vornagent", line):
                    take(doc, number, line)
    return found


def inline_mentions(root):
    """(document, line number, text) of every `vornagent ...` code span in the Markdown prose."""
    found = []
    for doc in MARKDOWN:
        with open(os.path.join(root, doc), encoding="utf-8") as f:
            for number, line in enumerate(f.read().split("\n"), 1):
                for match in INLINE.finditer(line):
                    found.append((doc, number, match.group(1)))
    return found


def words(command):
    """The command's words without a trailing comment."""
    lexer = shlex.shlex(command, posix=True, punctuation_chars=False)
    lexer.whitespace_split = True
    lexer.commenters = "#"
    return list(lexer)


def options_of(argv):
    return [a.split("=", 1)[0] for a in argv if a.startswith("--")]


class Agent:
    """A vornagent child on free loopback ports, stopped by SIGTERM."""

    def __init__(self, binary, args):
        self.process = subprocess.Popen([binary] + args, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.start_line = ""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.process.poll() is None:
            line = self.process.stderr.readline()
            if "listening on" in line:
                self.start_line = line
                break

    def addresses(self):
        match = re.search(r"listening on ([^;]*);", self.start_line)
        return match.group(1).split() if match else []

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return -1


class Runner:
    def __init__(self, binary, root, scratch):
        self.binary = binary
        self.root = root
        self.sysfs = os.path.join(root, "tests/native/fixtures/sysfs/intel-nct6775")
        self.readings = os.path.join(scratch, "readings.txt")
        with open(self.readings, "w") as f:
            f.write("TCPU=45\nFAN1=2812\nVP12=12.03\n")
        # The package's configuration is the example's, for this very board.
        self.config = os.path.join(root, "agent/vornagent.conf.example")
        # The agent README's --check example: two lines that match nothing on this board.
        self.bad_config = os.path.join(scratch, "my.conf")
        with open(self.bad_config, "w") as f:
            f.write("TCPU = coretemp / Package id 0\nTPWR = nct6776 / AUXTIN0\n# fans\n"
                    "FAN3 = nct6775 / fan9\n")
        self.target = None
        self.help = subprocess.run([binary, "--help"], capture_output=True, text=True).stdout
        self.failures = []

    def known_option(self, option):
        return option in WINDOWS_ONLY or re.search(r"^\s+" + re.escape(option) + r"\b",
                                                   self.help, re.M) is not None

    def fail(self, where, why):
        self.failures.append(f"{where}: {why}")
        print(f"FAIL {where}: {why}", flush=True)

    def run(self, argv):
        try:
            done = subprocess.run([self.binary] + argv, capture_output=True, text=True,
                                  timeout=RUN_LIMIT_S)
        except subprocess.TimeoutExpired:
            return -1, "", "did not end in time"
        return done.returncode, done.stdout, done.stderr

    def ask_target(self, written):
        """The loopback address of the target agent in the family `written` names."""
        if self.target is None:
            self.target = Agent(self.binary, ["--listen", "127.0.0.1:0", "--listen", "[::1]:0",
                                              "--sysfs", self.sysfs])
        addresses = self.target.addresses()
        want_v6 = written.startswith("[")
        for address in addresses:
            if address.startswith("[") == want_v6:
                return address
        return None

    def check_command(self, where, command):
        argv = words(command)[1:]
        for option in options_of(argv):
            if not self.known_option(option):
                self.fail(where, f"'{option}' is no option of vornagent (in: {command})")
                return
        if words(command)[0] == "vornagent.exe":
            return  # the Windows agent's own commands: their options are checked above
        options = options_of(argv)
        if "--ask" in options:
            self.run_ask(where, argv)
        elif "--check" in options:
            self.run_check(where, argv)
        elif "--list" in options:
            self.run_list(where, argv)
        elif "--help" in options or "--version" in options:
            status, out, err = self.run(argv)
            if status != 0:
                self.fail(where, f"exit {status}: {err}")
        else:
            self.run_serve(where, argv)

    def run_ask(self, where, argv):
        at = argv.index("--ask")
        written = argv[at + 1] if at + 1 < len(argv) else ""
        target = self.ask_target(written)
        if target is None:
            self.fail(where, "the test agent did not start")
            return
        argv = argv[:at + 1] + [target] + argv[at + 2:]
        status, out, err = self.run(argv)
        if status != 0 or "answered in" not in out:
            self.fail(where, f"--ask {written} (run as {target}): exit {status}: {out}{err}")

    def run_check(self, where, argv):
        at = argv.index("--check")
        path = argv[at + 1] if at + 1 < len(argv) else ""
        name = os.path.basename(path)
        if name in ("vornagent.conf", "vornagent.conf.example"):
            replaced, want_status, want_text = self.config, 0, "ok; 13 of 13 mapped"
        elif name == "my.conf":
            replaced, want_status, want_text = self.bad_config, 1, "matches nothing"
        else:
            self.fail(where, f"no rule for the configuration '{path}'")
            return
        argv = ["--sysfs", self.sysfs] + argv[:at + 1] + [replaced] + argv[at + 2:]
        status, out, err = self.run(argv)
        if status != want_status or want_text not in out:
            self.fail(where, f"--check {path}: exit {status}, want {want_status} and "
                             f"'{want_text}': {out}{err}")

    def run_list(self, where, argv):
        if "--sysfs" not in argv and not any(a.startswith("--source") for a in argv):
            argv = argv + ["--sysfs", self.sysfs]
        status, out, err = self.run(argv)
        if status != 0 or "MAPPING LINE" not in out:
            self.fail(where, f"--list: exit {status}: {out}{err}")

    def run_serve(self, where, argv):
        """Serves on free loopback ports with the command's other settings, answers, stops."""
        served = []
        expect_readings = True
        i = 0
        while i < len(argv):
            option = argv[i]
            value = argv[i + 1] if i + 1 < len(argv) else ""
            if option == "--listen":
                host = value.rsplit(":", 1)[0]
                if host not in ("127.0.0.1", "[::1]"):
                    self.fail(where, f"no rule for --listen {value}")
                    return
                served += ["--listen", host + ":0"]
            elif option == "--metrics":
                served += ["--metrics", "127.0.0.1:0"]
            elif option == "--source" and value.startswith("file:"):
                served += ["--source", "file:" + self.readings]
            elif option == "--source" and value.startswith("prometheus:"):
                # Nothing answers there in a test: the agent serves "no sensors".
                served += ["--source", value]
                expect_readings = False
            elif option in ("--rate", "--interval", "--stale", "--allow", "--source"):
                served += [option, value]
            else:
                self.fail(where, f"no rule for '{option}' in a serving command")
                return
            i += 2
        if "--listen" not in served:
            served += ["--listen", "127.0.0.1:0"]
        if "--source" not in served:
            served += ["--sysfs", self.sysfs]
        agent = Agent(self.binary, served)
        addresses = agent.addresses()
        if not addresses:
            agent.stop()
            self.fail(where, f"no start line from vornagent {' '.join(served)}: "
                             f"{agent.process.stderr.read() if agent.process.stderr else ''}")
            return
        status, out, err = self.run(["--ask", addresses[0]])
        stopped = agent.stop()
        if expect_readings and status != 0:
            self.fail(where, f"served, but --ask {addresses[0]} got: {out}{err}")
        if not expect_readings and "no sensors" not in err:
            self.fail(where, f"served without its endpoint, but --ask said: {out}{err}")
        if stopped != 0:
            self.fail(where, f"SIGTERM ended it with status {stopped}")

    def close(self):
        if self.target is not None:
            self.target.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--root", required=True)
    args = parser.parse_args()
    shown = commands_of(args.root)
    # Every document that teaches the agent shows commands; none may lose them all unseen.
    for doc in ["docs/user-guide.md", "agent/README.md", MANUAL, COMMENTED[0], PLAIN[0]]:
        if not any(d == doc for d, _, _ in shown):
            print(f"FAIL {doc}: no vornagent command found (has the document changed its form?)")
            return 1
    with tempfile.TemporaryDirectory() as scratch:
        runner = Runner(args.agent, args.root, scratch)
        try:
            for doc, number, command in shown:
                print(f"{doc}:{number}: {command}", flush=True)
                runner.check_command(f"{doc}:{number}", command)
            for doc, number, text in inline_mentions(args.root):
                for option in options_of(text.split()[1:]):
                    if not runner.known_option(option):
                        runner.fail(f"{doc}:{number}",
                                    f"'{option}' is no option of vornagent (in `{text}`)")
        finally:
            runner.close()
    print(f"{len(shown)} commands from the documents, {len(runner.failures)} failed")
    return 1 if runner.failures else 0


if __name__ == "__main__":
    sys.exit(main())
