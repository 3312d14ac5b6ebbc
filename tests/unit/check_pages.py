"""The package's pages: every language says every sentence, with what the English one names; every
exit code has its page; the icon and the wizard's picture are what their script draws; the docs
show every picture the screenshot script makes.

Usage: check_pages.py PROJECT_ROOT; exits with 1 and names each problem.
"""
import re
import subprocess
import sys
import tempfile
from pathlib import Path

LANG_STRING = re.compile(r'^LangString (\w+) \$\{LANG\} "(.*)"$', re.M)
# What a sentence names: the run's variables ($OutcomeWhy) and the build's values (${VERSION});
# NSIS's own escapes ($\r$\n) and the paragraph break are not names.
NAMED = re.compile(r'\$\{(?!PARAGRAPH\})\w+\}|\$(?![\\{])\w+')


def sentences(path, problems):
    text = path.read_text(encoding="utf-8")
    found = {}
    for name, value in LANG_STRING.findall(text):
        if name in found:
            problems.append(f"{path.name}: {name} is defined twice")
        if not value.strip():
            problems.append(f"{path.name}: {name} is empty")
        found[name] = value
    return text, found


def check_languages(root, problems):
    lang = root / "installer" / "lang"
    pages = (root / "installer" / "pages.nsh").read_text(encoding="utf-8")
    _, english = sentences(lang / "English.nsh", problems)
    if not english:
        problems.append("English.nsh defines no sentence")
    for path in sorted(lang.glob("*.nsh")):
        name = path.stem
        if f'!insertmacro MUI_LANGUAGE "{name}"' not in pages or f'lang/{name}.nsh"' not in pages:
            problems.append(f"{path.name} is not a language pages.nsh inserts and includes")
        if name == "English":
            continue
        text, said = sentences(path, problems)
        if "reviewed by a native reader" not in text.split("\n!define", 1)[0]:
            problems.append(f"{path.name}: its header does not say whether a reader of the language reviewed it")
        for missing in sorted(set(english) - set(said)):
            problems.append(f"{path.name}: {missing} is missing (English.nsh says it)")
        for extra in sorted(set(said) - set(english)):
            problems.append(f"{path.name}: {extra} is not a sentence of English.nsh")
        for key in sorted(set(english) & set(said)):
            if sorted(NAMED.findall(english[key])) != sorted(NAMED.findall(said[key])):
                problems.append(f"{path.name}: {key} names {sorted(NAMED.findall(said[key]))}, "
                                f"the English one {sorted(NAMED.findall(english[key]))}")


def check_outcomes(root, problems):
    script = (root / "installer" / "BrellanFlashwrightSetup.nsi").read_text(encoding="utf-8")
    codes = dict(re.findall(r"^!define (EXIT_\w+) (\d+)", script, re.M))
    outcome = (root / "installer" / "outcome.nsh").read_text(encoding="utf-8")
    decided = set(re.findall(r"\$\{Case\} \$\{(EXIT_\w+)\}", outcome))
    readme = (root / "README.md").read_text(encoding="utf-8")
    table = readme.split("## Exit codes", 1)[-1].split("\n## ", 1)[0]
    for code in re.findall(r"^\| (\d+) \|", table, re.M):
        names = [name for name, value in codes.items() if value == code]
        if not names:
            problems.append(f"exit code {code} of the README has no EXIT_ define in the script")
        elif not set(names) & decided:
            problems.append(f"exit code {code} ({names[0]}) has no case in outcome.nsh: no words for a person")


def check_art(root, problems):
    art = root / "installer" / "art"
    with tempfile.TemporaryDirectory() as scratch:
        icon, bitmap = Path(scratch) / "setup.ico", Path(scratch) / "wizard.bmp"
        subprocess.run([sys.executable, "-B", str(art / "make_art.py"), str(icon), str(bitmap)], check=True)
        for made, kept in ((icon, art / "setup.ico"), (bitmap, art / "wizard.bmp")):
            if made.read_bytes() != kept.read_bytes():
                problems.append(f"installer/art/{kept.name} is not what make_art.py draws: run it again")


def check_pictures(root, problems):
    script = (root / "scripts" / "screenshots.sh").read_text(encoding="utf-8")
    made = set(re.findall(r"^keep \d+ \S+ \S+ (wizard-[\w-]+)$", script, re.M))
    for code in re.findall(r'for code in ([\d ]+); do keep \d+ "finish-\$code" last "wizard-finish-\$code"', script):
        made |= {f"wizard-finish-{c}" for c in code.split()}
    docs = (root / "docs" / "how-it-works.md").read_text(encoding="utf-8")
    shown = set(re.findall(r"\(screenshots/(wizard-[\w-]+)\.png\)", docs))
    for name in sorted(made - shown):
        problems.append(f"screenshots.sh makes {name}.png, which docs/how-it-works.md does not show")
    for name in sorted(shown - made):
        problems.append(f"docs/how-it-works.md shows {name}.png, which screenshots.sh does not make")
    for name in sorted(shown):
        if not (root / "docs" / "screenshots" / f"{name}.png").exists():
            problems.append(f"docs/screenshots/{name}.png is missing: run scripts/screenshots.sh")


def main(root):
    problems = []
    check_languages(root, problems)
    check_outcomes(root, problems)
    check_art(root, problems)
    check_pictures(root, problems)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
