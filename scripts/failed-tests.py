#!/usr/bin/env python3
"""Prints the failed tests of ctest's last run in each build directory given,
with the lines of their output that say why: gtest's failure lines and the
sanitizers' reports first, then the output's end. A CI log is often read
from its end only; this puts the reason for a red run there.

  python3 scripts/failed-tests.py BUILD_DIR... [--lines N]
"""
import argparse
import pathlib
import re

WHY = re.compile(r"(Failure|FAILED|ERROR: |WARNING: ThreadSanitizer|runtime error|"
                 r"SUMMARY: |Expected|Which is|Value of|Actual|timed out|Timeout)")


def failed_tests(log_text):
    """Yields (name, output lines, verdict) for every test of the log that did not pass."""
    for block in log_text.split("\n----------------------------------------------------------\n\n"):
        header = re.search(r"^\d+/\d+ Test: (.*)$", block, re.M)
        if not header:
            continue
        verdict = re.search(r"^Test (?!time)(\w[\w ]*)\.?$", block, re.M)
        if verdict and verdict.group(1) in ("Passed", "Skipped"):
            continue
        output = block.split("Output:\n----------------------------------------------------------\n", 1)
        text = output[1].split("<end of output>", 1)[0] if len(output) == 2 else block
        name = header.group(1).split("  # GetParam()")[0]
        yield name, text.splitlines(), (verdict.group(0) if verdict else "did not finish")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dirs", nargs="+")
    parser.add_argument("--lines", type=int, default=12)
    args = parser.parse_args()
    for directory in args.dirs:
        log = pathlib.Path(directory, "Testing", "Temporary", "LastTest.log")
        if not log.exists():
            continue
        for name, lines, verdict in failed_tests(log.read_text(errors="replace")):
            print(f"-- {directory}: {name} ({verdict.strip()})")
            why = [line for line in lines if WHY.search(line)][: args.lines]
            tail = [line for line in lines[-args.lines:] if line not in why]
            for line in why + (["..."] if why and tail else []) + tail:
                print("   " + line[:240])


if __name__ == "__main__":
    main()
