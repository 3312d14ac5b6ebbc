"""The event IDs docs/deploying.md lists are those the message table defines, each once.

Usage: check_event_ids.py PROJECT_ROOT; exits with 1 and names each difference.
"""
import re
import sys
from pathlib import Path


def main(root):
    table = (root / "installer" / "setup_events.mc").read_text(encoding="utf-8")
    defined = [int(n) for n in re.findall(r"^MessageId=(\d+) SymbolicName=\w+$", table, re.M)]
    docs = (root / "docs" / "deploying.md").read_text(encoding="utf-8")
    section = docs.split("### The event in the Application log", 1)[-1].split("\n### ", 1)[0]
    listed = [int(n) for n in re.findall(r"^\| (\d+) \| (?:Information|Warning|Error) \|", section, re.M)]
    problems = []
    if len(defined) != len(set(defined)):
        problems.append("setup_events.mc defines an ID twice")
    if len(listed) != len(set(listed)):
        problems.append("docs/deploying.md lists an ID twice")
    for missing in sorted(set(defined) - set(listed)):
        problems.append(f"event {missing} is in setup_events.mc but not in docs/deploying.md's table")
    for extra in sorted(set(listed) - set(defined)):
        problems.append(f"event {extra} is in docs/deploying.md's table but setup_events.mc has no such message")
    if not defined:
        problems.append("setup_events.mc defines no message")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
