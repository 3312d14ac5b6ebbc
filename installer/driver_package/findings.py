"""What a check found in a vendor's driver packages: the file, its line, what is wrong, what
Windows does about it and what fixes it. Checks return or raise findings; the command line turns
them into messages."""
import dataclasses


@dataclasses.dataclass
class Finding:
    """One thing a check found. `severity` is "error" (the build stops), "warning" or "note"."""
    problem: str
    file: str = ""
    line: int = 0
    platform: str = ""
    windows: str = ""
    fix: str = ""
    check: str = ""
    severity: str = "error"

    def where(self):
        place = self.file
        if self.line:
            place += ", line %d" % self.line
        if self.platform:
            place += " (%s)" % self.platform
        return place

    def __str__(self):
        text = "%s: %s" % (self.where(), self.problem) if self.file else self.problem
        if self.windows:
            text += ": " + self.windows
        if self.fix:
            text += ". Fix: " + self.fix
        return text


class PackageError(Exception):
    """A driver package the setup package cannot be built around; carries its findings (a check
    that goes on past a refusal reports every one at once), the first as `finding`."""

    def __init__(self, findings):
        if not isinstance(findings, list):
            findings = [findings]
        self.findings = [f if isinstance(f, Finding) else Finding(str(f)) for f in findings]
        self.finding = self.findings[0]
        super().__init__("\n".join(str(f) for f in self.findings))
