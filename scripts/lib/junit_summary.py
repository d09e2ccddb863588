"""Run by scripts/test.sh after the tests sessions: one line of counts per interpreter and
binding, read from the JUnit XML that each session's pytest wrote, and the totals. Exits 1
when a run failed or wrote no report.

    python scripts/lib/junit_summary.py REPORT.xml...
"""

import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def counts(path):
    root = ET.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    total = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
    for suite in suites:
        for key in total:
            total[key] += int(suite.get(key, 0))
    return {
        "passed": total["tests"] - total["failures"] - total["errors"] - total["skipped"],
        "failed": total["failures"] + total["errors"],
        "skipped": total["skipped"],
    }


def main(paths):
    grand = {"passed": 0, "failed": 0, "skipped": 0}
    status = 0 if paths else 1
    for path in map(Path, paths):
        name = path.stem.removeprefix("tests-").replace("-", " binding ", 1)
        try:
            c = counts(path)
        except (OSError, ET.ParseError) as e:
            print(f"python {name}: no report ({e})")
            status = 1
            continue
        for key in grand:
            grand[key] += c[key]
        status |= c["failed"] > 0
        print(f"python {name}: {c['passed']} passed, {c['failed']} failed, {c['skipped']} skipped")
    print(f"total: {grand['passed']} passed, {grand['failed']} failed, {grand['skipped']} skipped")
    return int(status)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
