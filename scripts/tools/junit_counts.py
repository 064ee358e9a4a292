#!/usr/bin/env python3
"""Reads the JUnit file that `ctest --output-junit FILE` writes.

Prints one line "PASSED FAILED SKIPPED" (the counts of test programs), then, for each failed
program, its name and the GoogleTest checks that failed in its output (each ": Failure" line
with the three after it, and the "[  FAILED  ]" lines), at most LIMIT lines per program.

Exit status 0 when the file was read (whatever the counts), 2 when it is missing or not
JUnit, so that a ctest that never got as far as writing it counts as a failure.

    junit_counts.py FILE [LIMIT]
"""
import re
import sys
import xml.etree.ElementTree as ET

FAILED_TEST = re.compile(r"^\[  FAILED  \] \S+ \(")


def failed_checks(output, limit):
    lines = output.splitlines()
    found = []
    for i, line in enumerate(lines):
        if line.endswith(": Failure"):
            found.extend(lines[i:i + 4])
        elif FAILED_TEST.match(line):
            found.append(line)
    return found[:limit]


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    limit = int(argv[2]) if len(argv) > 2 else 40
    try:
        root = ET.parse(argv[1]).getroot()
    except (OSError, ET.ParseError) as e:
        print("junit_counts: cannot read %s: %s" % (argv[1], e), file=sys.stderr)
        return 2
    if root.tag not in ("testsuite", "testsuites"):
        print("junit_counts: %s is not a JUnit file" % argv[1], file=sys.stderr)
        return 2
    passed = failed = skipped = 0
    details = []
    for case in root.iter("testcase"):
        status = case.get("status", "")
        if case.find("failure") is not None or case.find("error") is not None or status == "fail":
            failed += 1
            details.append("-- %s" % case.get("name", "?"))
            details.extend(failed_checks(case.findtext("system-out") or "", limit))
        elif case.find("skipped") is not None or status in ("notrun", "disabled"):
            skipped += 1
        else:
            passed += 1
    print(passed, failed, skipped)
    for line in details:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
