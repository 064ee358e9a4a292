#!/usr/bin/env python3
"""The agent's options and settings agree in --help, the manual and the configuration file.

    check_options.py VORNAGENT MANUAL EXAMPLE_CONFIG

- the options of --help and those the manual's OPTIONS section describes are the same;
- the settings the manual lists ("the long options above without their dashes") are the
  options of --help that --help says may be set in the file, and the agent's parser takes
  each of them as a configuration key;
- every setting of the example configuration (commented out or not) is a key the parser
  takes with the example's own value, and the manual names it;
- the agent's table of settings (--list-settings) offers as options exactly the settings of
  --help, and each of its keys is taken by the parser and named by the manual.
Run on the built agent by CTest, and on the packaged one by the package test.
"""
import os
import re
import subprocess
import sys
import tempfile

# Options that are commands or name the file itself, not settings of the file.
NOT_SETTINGS = {"config", "check", "ask", "list", "help", "version"}
# A value for each setting the options offer, to show that the parser takes the key.
SAMPLES = {
    "listen": "127.0.0.1:29870",
    "metrics": ":29871",
    "allow": "127.0.0.0/8",
    "sysfs": "/nonexistent",
    "source": "hwmon",
    "interval": "500",
    "stale": "1500",
    "rate": "20",
    "history": "off",
    "history_file": "/nonexistent/history",
    "prometheus.user": "bar",
    "prometheus.password": "secret",
    "prometheus.password_file": "vornagent-prometheus",
    "prometheus.timeout": "1500",
}


def manual_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def section(man, name):
    match = re.search(r"^\.SH " + name + r"\n(.*?)(?=^\.SH )", man, re.M | re.S)
    return match.group(1) if match else ""


def parser_takes(agent, key, value):
    """True when `vornagent --check` takes "KEY = VALUE" (with the hwmon tree unread)."""
    with tempfile.TemporaryDirectory() as credentials:
        env = dict(os.environ)
        if key.endswith("password_file") and "/" not in value:
            # A bare name is a systemd credential: give the check one, as the unit would.
            secret = os.path.join(credentials, value)
            with open(os.open(secret, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
                f.write("sample\n")
            env["CREDENTIALS_DIRECTORY"] = credentials
        path = os.path.join(credentials, "sample.conf")
        with open(path, "w", encoding="utf-8") as f:
            f.write(f"{key} = {value}\n")
        done = subprocess.run([agent, "--sysfs", "/nonexistent", "--check", path],
                              capture_output=True, text=True, timeout=30, env=env)
    return done.returncode == 0, done.stdout + done.stderr


def check_sample(agent, key, failures):
    """The parser takes setting `key` with its sample value."""
    if key not in SAMPLES:
        failures.append(f"no sample value for the setting {key}: add one to {__file__}")
        return
    ok, said = parser_takes(agent, key, SAMPLES[key])
    if not ok:
        failures.append(f"the configuration parser refuses '{key} = {SAMPLES[key]}': {said}")


def manual_names(man, key):
    return re.search(r"(^|[\s(])(\\fB)?" + re.escape(key) + r"\b", man, re.M) is not None


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    agent, manual, example = sys.argv[1:]
    failures = []
    help_text = subprocess.run([agent, "--help"], capture_output=True, text=True).stdout
    man = manual_text(manual)

    help_options = set(re.findall(r"^  --([a-z]+)", help_text, re.M))
    man_options = set(re.findall(r"\\-\\-([a-z]+)", section(man, "OPTIONS")))
    for option in sorted(help_options - man_options):
        failures.append(f"the manual's OPTIONS do not describe --{option}")
    for option in sorted(man_options - help_options):
        failures.append(f"the manual describes --{option}, which --help does not offer")

    listed = re.search(r"long options above without their dashes\n(.*?)\.PP", man, re.S)
    man_settings = set(re.findall(r"\b([a-z]+)\b", " ".join(
        re.sub(r"^\.[A-Z]+", "", line) for line in listed.group(1).split("\n")))) if listed else set()
    if not man_settings:
        failures.append("the manual's CONFIGURATION names no settings")
    help_settings = help_options - NOT_SETTINGS
    for key in sorted(help_settings - man_settings):
        failures.append(f"--{key} is not among the manual's settings")
    for key in sorted(man_settings - help_settings):
        failures.append(f"the manual lists the setting {key}, which is no option of --help")
    for key in sorted(help_settings | man_settings):
        check_sample(agent, key, failures)

    with open(example, encoding="utf-8") as f:
        example_settings = re.findall(r"^#?\s*([a-z][a-z_]*(?:\.[a-z_]+)?)\s*=\s*(\S.*)$",
                                      f.read(), re.M)
    if not example_settings:
        failures.append("the example configuration shows no setting")
    for key, value in example_settings:
        ok, said = parser_takes(agent, key, value.strip())
        if not ok:
            failures.append(f"the example's '{key} = {value}' is refused: {said}")
        if not manual_names(man, key):
            failures.append(f"the manual does not name the example's setting {key}")

    listed = subprocess.run([agent, "--list-settings"], capture_output=True, text=True).stdout
    table = [line.split("\t") for line in listed.splitlines()]
    if not table or any(len(row) != 4 for row in table):
        failures.append(f"--list-settings does not list the settings as KEY, OPTION, RELOAD, "
                        f"DEFAULT: {listed!r}")
        table = []
    table_options = {row[1][2:] for row in table if row[1] != "-"}
    help_long = set(re.findall(r"^  --([a-z][a-z-]*)", help_text, re.M)) - NOT_SETTINGS
    for option in sorted(help_long - table_options):
        failures.append(f"--help offers --{option}, which is no setting of the agent's table")
    for option in sorted(table_options - help_long):
        failures.append(f"the agent's table has the option --{option}, which --help does not offer")
    for key, _, _, _ in table:
        check_sample(agent, key, failures)
        if not manual_names(man, key):
            failures.append(f"the manual does not name the setting {key}")

    for failure in failures:
        print("FAIL " + failure)
    print(f"{len(help_options)} options, {len(help_settings)} settings, "
          f"{len(example_settings)} example lines, {len(table)} rows of the table; "
          f"{len(failures)} disagreements")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
