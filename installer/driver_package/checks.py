"""The checks Windows' copy service makes of a driver package's catalog before it stages it, made
at build time for each INF on each platform: every file Windows hashes (the INF, each file its
install sections copy) is in the catalog that platform reads; the catalog covers the Windows
releases the package declares (the OSAttr of the INF's own member, else the catalog's); it is
signed, and with a CA bundle its signature and timestamp verify against it."""
import os
import subprocess

import catalog as catalogs
import inf as inf_rules
import package
from findings import Finding, PackageError

# The checks a vendor may make warnings of (membership is never one of them).
DOWNGRADABLE = ("versions", "signature")
CA_VARIABLE = "BRELLAN_CATALOG_CA"
WARN_VARIABLE = "BRELLAN_CATALOG_WARN"
MAKE_AGAIN = ("make the catalog again from the files as they are now (Inf2Cat, or installer/driver_package make"
              " for a package without kernel code) and sign it, or submit the package to Microsoft's hardware"
              " dashboard again and use the catalog it returns")


def verify_signature(path, ca):
    """(why the catalog's signature does not verify against the bundle, or None; whether its
    timestamp, if it has one, verifies against it). osslsigncode 2.9 ends with 0 when only the
    timestamp fails: its own line says so."""
    try:
        result = subprocess.run(["osslsigncode", "verify", "-in", path, "-CAfile", ca, "-TSA-CAfile", ca],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    except OSError as error:
        raise PackageError("cannot run osslsigncode to check %s (%s): run scripts/install-deps.sh"
                           % (os.path.basename(path), error.strerror))
    timestamp_failed = "Timestamp Server Signature verification: failed" in result.stdout
    if result.returncode == 0:
        return None, not timestamp_failed
    reasons = [line.strip() for line in result.stdout.splitlines()
               if "error" in line.lower() or "failed" in line.lower() or "verification" in line.lower()]
    return "; ".join(reasons[:3]) or "osslsigncode could not verify it", not timestamp_failed


def platform_catalogs(folder, platforms):
    """(Inf, platform, catalog's relative path) for both INFs on each platform; PackageError when
    an INF names no catalog for one."""
    for name in package.inf_names():
        inf = package.read_inf(folder, name)
        for platform in platforms:
            named = inf_rules.catalog_name(inf, platform)
            if named is None:
                raise PackageError(Finding(
                    "names no catalog for %s (CatalogFile)" % platform, name, platform=platform,
                    windows="Windows refuses to stage an unsigned package",
                    fix="name the package's catalog in [Version] (CatalogFile=) and ship it signed", check="membership"))
            where = "%s, line %d" % (name, named[1])
            yield inf, platform, "\\".join(inf_rules.relative_parts(named[0], where))


class _Verdicts:
    """Refusals, or warnings for the checks the vendor downgraded."""

    def __init__(self, warn, notes):
        self.warn, self.notes = warn, notes

    def refuse(self, finding):
        if finding.check in self.warn:
            finding.severity = "warning"
            finding.fix += " (a warning only: %s=%s)" % (WARN_VARIABLE, ",".join(sorted(self.warn)))
            self.notes.append(finding)
        else:
            finding.fix += "; only as a last resort, %s=%s makes this a warning" % (WARN_VARIABLE, finding.check)
            raise PackageError(finding)


def check_catalog(folder, inf, platform, catalog_path, ca, verdicts):
    """One report row for the INF on `platform`; stops at the first thing Windows refuses."""
    files = package.required_files(folder, inf, platform)[0]   # its notes come with the package's
    for cabinet in sorted({f.relative for f in files if f.what == "cabinet"}):
        verdicts.notes.append(Finding("the files in %s are not checked here" % cabinet, inf.name,
                                      windows="Windows checks them against %s once it opens the cabinet" % catalog_path,
                                      check="membership", severity="note"))
    source = package.resolve(folder, catalog_path.split("\\"), inf.name, "catalog")
    read = catalogs.read_catalog(source, catalog_path)
    checked, inf_member = [], None
    for relative, path in [(inf.name, os.path.join(folder, inf.name))] + [(f.relative, f.source) for f in files
                                                                         if f.what != "cabinet"]:
        with open(path, "rb") as data:
            member = read.member_for(data.read())
        if member is None:
            raise PackageError(Finding(
                "%s is not in %s" % (relative, catalog_path), inf.name, platform=platform,
                windows="Windows refuses to stage this package (the file changed after signing, or the catalog was"
                        " made without it)", fix=MAKE_AGAIN, check="membership"))
        inf_member = inf_member or member
        checked.append("%s (%s)" % (relative, "PE image" if member.kind == "pe" else "whole file"))

    os_attr, read_from = read.os_attr(inf_member)
    covered = catalogs.covered_windows(os_attr)
    missing = [w for w in inf_rules.DECLARED_WINDOWS if w not in covered]
    source_name = {"member": "the OSAttr of %s's member" % inf.name, "catalog": "the catalog's OSAttr",
                   None: "no OSAttr"}[read_from]
    if missing:
        verdicts.refuse(Finding(
            "%s covers Windows %s (%s), not Windows %s, which the package declares"
            % (catalog_path, os_attr or "(none)", source_name, ", ".join(missing)), inf.name, platform=platform,
            windows="Windows there refuses to stage this package",
            fix="make the catalog again for every declared version (Inf2Cat /os: naming Windows 7 to 11), or submit"
                " the package for them, and sign it again", check="versions"))
    signer = read.signers[0] if read.signers else None
    if signer is None:
        verdicts.refuse(Finding(
            "%s is not signed" % catalog_path, inf.name, platform=platform,
            windows="Windows refuses to stage this package",
            fix="sign it: submit a package with kernel code to Microsoft's hardware dashboard; a package without"
                " one may be signed by the release (BRELLAN_SIGN_CATALOGS=1)", check="signature"))
    elif ca:
        why, timestamp_verifies = verify_signature(source, ca)
        if not why and signer.timestamp is not None and not timestamp_verifies:
            verdicts.notes.append(Finding(
                "the timestamp of %s does not verify against %s (%s)" % (catalog_path, CA_VARIABLE, ca), inf.name,
                windows="Windows disregards it, and refuses the catalog once its signer's certificate expires",
                fix="add the timestamp authority's roots to %s, or sign the catalog again with a timestamp that"
                    " chains to them" % CA_VARIABLE, check="signature", severity="warning"))
        if why:
            verdicts.refuse(Finding(
                "the signature of %s does not verify against %s (%s): %s" % (catalog_path, CA_VARIABLE, ca, why),
                inf.name, platform=platform,
                windows="Windows refuses to stage this package on a machine that trusts only those roots",
                fix="sign the catalog with a key that chains to those roots, or set %s to the roots it chains to"
                    % CA_VARIABLE, check="signature"))
    if signer is not None and signer.timestamp is None:
        verdicts.notes.append(Finding("%s is not timestamped" % catalog_path, inf.name,
                                      windows="Windows refuses it once its signer's certificate expires",
                                      fix="sign it again with a timestamp", check="signature", severity="warning"))
    if signer is not None and not ca and "signature" not in verdicts.warn:
        verdicts.notes.append(Finding("%s is signed by %s; its chain was not checked" % (catalog_path, signer.subject),
                                      inf.name, fix="set %s to the roots it must chain to" % CA_VARIABLE,
                                      check="signature", severity="note"))
    return {"inf": inf.name, "platform": platform, "catalog": catalog_path,
            "signer": "%s (%s)" % (signer.subject, signer.digest) if signer else "NOT SIGNED",
            "timestamp": signer.timestamp.strftime("%Y-%m-%d %H:%M:%S UTC") if signer and signer.timestamp else "none",
            "windows": ", ".join(covered) or "none", "osattr": read_from or "none",
            "hashes": "/".join(read.algorithms()) or "none", "files": checked}


def check_packages(folder, platforms, ca=None, warn=()):
    """(report rows, [Finding] of warnings and notes) for both INFs on every platform;
    PackageError at the first refusal."""
    folder = os.path.abspath(folder)
    unknown = set(warn) - set(DOWNGRADABLE)
    if unknown:
        raise PackageError("%s names %s; it may name only %s" % (WARN_VARIABLE, ",".join(sorted(unknown)),
                                                                 " and ".join(DOWNGRADABLE)))
    if ca and not os.path.isfile(ca):
        raise PackageError("%s: cannot read %s" % (CA_VARIABLE, ca))
    rows, notes = [], []
    verdicts = _Verdicts(set(warn), notes)
    for inf, platform, catalog_path in platform_catalogs(folder, platforms):
        rows.append(check_catalog(folder, inf, platform, catalog_path, ca, verdicts))
    for name in package.inf_names():
        inf = package.read_inf(folder, name)
        notes += package.inf_files(folder, inf, platforms)[1]
    return rows, list({str(n): n for n in notes}.values())


def report(rows, notes, folder):
    """The table of what was checked, what it warned of, then each catalog's files."""
    columns = ("inf", "platform", "catalog", "signer", "timestamp", "windows", "osattr", "hashes")
    table = [("INF", "platform", "catalog", "signer", "timestamp", "Windows covered", "OSAttr of", "hashes",
              "files checked")]
    table += [tuple(row[c] for c in columns) + (str(len(row["files"])),) for row in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    lines = ["Catalogs of the driver packages in %s:" % folder]
    lines += ["  " + "  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in table]
    lines += ["%s: %s" % (note.severity, note) for note in notes]
    for row in rows:
        lines.append("%s (%s), %s:" % (row["inf"], row["platform"], row["catalog"]))
        lines += ["  " + checked for checked in row["files"]]
    return "\n".join(lines) + "\n"
