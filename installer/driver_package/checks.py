"""The checks Windows makes of a driver package's catalog before it stages the package and loads its
drivers, made at build time for each INF on each platform: every file Windows hashes (the INF,
each file its install sections copy) is in the catalog that platform reads; the catalog is signed,
and with a CA bundle its signature and timestamp verify against it. Under Microsoft's signature
Windows reads the OSAttr (the INF's own member's, else the catalog's), and the catalog must cover
every Windows release the package declares; under a vendor's it reads none, and asks whether to
trust the publisher unless the machine already does. 64-bit Windows loads kernel code only under
Microsoft's signature, or a vendor's cross-signed before 29 July 2015. Every refusal of every INF
and platform is reported at once."""
import os
import subprocess

import catalog as catalogs
import hashes
import inf as inf_rules
import package
from findings import Finding, PackageError

# The checks a vendor may make warnings of (membership is never one of them): "kernel" for a
# package tried on test machines with test signing on.
DOWNGRADABLE = ("versions", "signature", "kernel")
WHEN_DOWNGRADED = {"kernel": "for test machines with test signing on"}
# Where Windows loads kernel code only under Microsoft's signature.
KERNEL_SIGNING_PLATFORMS = ("amd64",)
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


def platform_catalogs(folder, platforms, windows=inf_rules.DECLARED_WINDOWS):
    """(Inf, platform, catalog's relative path, or the PackageError of an INF that names no catalog
    for it) for both INFs on each platform."""
    for name in package.inf_names():
        inf = package.read_inf(folder, name, windows)
        for platform in platforms:
            named = inf_rules.catalog_name(inf, platform)
            if named is None:
                yield inf, platform, PackageError(Finding(
                    "names no catalog for %s (CatalogFile)" % platform, name, platform=platform,
                    windows="Windows refuses to stage an unsigned package",
                    fix="name the package's catalog in [Version] (CatalogFile=) and ship it signed", check="membership"))
                continue
            where = "%s, line %d" % (name, named[1])
            yield inf, platform, "\\".join(inf_rules.relative_parts(named[0], where))


class _Verdicts:
    """Refusals, gathered so that one run reports them all, or warnings for the checks the vendor
    downgraded."""

    def __init__(self, warn, notes):
        self.warn, self.notes, self.refusals = warn, notes, []

    def refuse(self, finding):
        if finding.check in self.warn:
            finding.severity = "warning"
            finding.fix += " (a warning only: %s=%s)" % (WARN_VARIABLE, ",".join(sorted(self.warn)))
            self.notes.append(finding)
        else:
            if finding.check in DOWNGRADABLE:
                finding.fix += "; %s, %s=%s makes this a warning" % (WHEN_DOWNGRADED.get(finding.check, "only as a last resort"),
                                                                   WARN_VARIABLE, finding.check)
            self.refusals.append(finding)


def check_members(folder, inf, platform, catalog_path, read, files, verdicts):
    """([what was checked], the INF's member): every file Windows hashes must be in the catalog."""
    checked, inf_member = [], None
    for relative, path in [(inf.name, os.path.join(folder, inf.name))] + [(f.relative, f.source) for f in files
                                                                         if f.what != "cabinet"]:
        with open(path, "rb") as source:
            data = source.read()
        member = read.member_for(data)
        if member is None:
            verdicts.refuse(Finding(
                "%s is not in %s" % (relative, catalog_path), inf.name, platform=platform,
                windows="Windows refuses to stage this package (the file changed after signing, or the catalog was"
                        " made without it)", fix=MAKE_AGAIN, check="membership"))
            continue
        if relative == inf.name:
            inf_member = member
        checked.append("%s (%s)" % (relative, "PE image" if hashes.pe_layout(data) else "whole file"))
    return checked, inf_member


def check_versions(inf, platform, catalog_path, read, inf_member, verdicts):
    """The releases Microsoft's signature covers, by the OSAttr Windows reads."""
    os_attr, read_from = read.os_attr(inf_member)
    covered = catalogs.covered_windows(os_attr, inf.windows)
    missing = [w for w in inf.windows if w not in covered]
    source_name = {"member": "the OSAttr of %s's member" % inf.name, "catalog": "the catalog's OSAttr",
                   None: "no OSAttr"}[read_from]
    if missing:
        verdicts.refuse(Finding(
            "%s is signed by Microsoft for Windows %s (%s), not for Windows %s, which the package declares"
            % (catalog_path, os_attr or "(none)", source_name, ", ".join(missing)), inf.name, platform=platform,
            windows="Windows there refuses to stage this package: Microsoft's signature holds from the first"
                    " version its OSAttr names up",
            fix="submit the package to Microsoft's hardware dashboard for Windows %s too and use the catalog it"
                " returns%s" % (", ".join(missing), ", or, if the product does not support Windows %s, set %s=%s"
                                % (", ".join(missing), inf_rules.LOWEST_WINDOWS_VARIABLE, covered[0]) if covered else ""),
            check="versions"))
    return covered, read_from


def check_kernel(folder, inf, platform, catalog_path, signer, verdicts):
    """64-bit Windows loads a kernel service's binary only under Microsoft's signature (or a vendor's
    cross-signed before 29 July 2015)."""
    if platform not in KERNEL_SIGNING_PLATFORMS or (signer is not None and signer.microsoft()):
        return
    for copied in inf_rules.kernel_files(inf, platform):
        if signer is not None and signer.cross_signed():
            verdicts.notes.append(Finding(
                "%s, a kernel driver, is under %s, signed by %s with a certificate cross-signed before 29 July 2015"
                % (copied.destination, catalog_path, signer.subject), inf.name, copied.line, platform,
                "64-bit Windows still loads it", "submit the package to Microsoft's hardware dashboard before that"
                " certificate expires", "kernel", "note"))
            continue
        verdicts.refuse(Finding(
            "%s is installed as a kernel service, and %s is %s, not Microsoft" % (
                copied.destination, catalog_path, "signed by %s" % signer.subject if signer else "not signed"),
            inf.name, copied.line, platform,
            windows="64-bit Windows 10 (1607) and later with Secure Boot load a new kernel driver only under"
                    " Microsoft's signature: the package stages, and the device then fails to start (Code 52)",
            fix="submit the package to Microsoft's hardware dashboard (attestation or hardware lab signing) and"
                " ship the catalog it returns", check="kernel"))


def check_signer(inf, platform, catalog_path, source, signer, ca, verdicts):
    """The signature: present, verifying against the bundle, timestamped; a vendor's publisher must
    be trusted on every machine before an unattended install."""
    if signer is None:
        verdicts.refuse(Finding(
            "%s is not signed" % catalog_path, inf.name, platform=platform,
            windows="Windows refuses to stage this package",
            fix="sign it: submit a package with kernel code to Microsoft's hardware dashboard; a package without"
                " one may be signed by the release (BRELLAN_SIGN_CATALOGS=1)", check="signature"))
        return
    if ca:
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
    elif "signature" not in verdicts.warn:
        verdicts.notes.append(Finding("%s is signed by %s; its chain was not checked" % (catalog_path, signer.subject),
                                      inf.name, fix="set %s to the roots it must chain to" % CA_VARIABLE,
                                      check="signature", severity="note"))
    if signer.timestamp is None:
        verdicts.notes.append(Finding("%s is not timestamped" % catalog_path, inf.name,
                                      windows="Windows refuses it once its signer's certificate expires",
                                      fix="sign it again with a timestamp", check="signature", severity="warning"))
    if not signer.microsoft():
        verdicts.notes.append(Finding(
            "%s is signed by %s, not Microsoft" % (catalog_path, signer.subject), inf.name,
            windows="Windows asks the person installing whether to trust the publisher, unless its certificate is in"
                    " the machine's Trusted Publishers store; with /S nobody answers, and Windows refuses the package"
                    " (exit code 4)",
            fix="before deploying, add the publisher's certificate to Trusted Publishers on every machine (Group"
                " Policy, Intune, or certutil -addstore TrustedPublisher), as docs/deploying.md says",
            check="signature", severity="warning"))


def check_catalog(folder, inf, platform, catalog_path, ca, verdicts):
    """One report row for the INF on `platform`, its refusals given to `verdicts`."""
    files = package.required_files(folder, inf, platform)[0]   # its notes come with the package's
    for cabinet in sorted({f.relative for f in files if f.what == "cabinet"}):
        verdicts.notes.append(Finding("the files in %s are not checked here" % cabinet, inf.name,
                                      windows="Windows checks them against %s once it opens the cabinet" % catalog_path,
                                      check="membership", severity="note"))
    source = package.resolve(folder, catalog_path.split("\\"), inf.name, "catalog")
    read = catalogs.read_catalog(source, catalog_path)
    checked, inf_member = check_members(folder, inf, platform, catalog_path, read, files, verdicts)
    signer = catalogs.signer_of(read)
    microsoft = signer is not None and signer.microsoft()
    covered, read_from = ["any (OSAttr not read)"], None
    if microsoft and inf_member is not None:   # without its member the INF is refused already
        covered, read_from = check_versions(inf, platform, catalog_path, read, inf_member, verdicts)
    check_signer(inf, platform, catalog_path, source, signer, ca, verdicts)
    check_kernel(folder, inf, platform, catalog_path, signer, verdicts)
    signed_by = "Microsoft" if microsoft else "vendor: trust it on each machine" if signer else "nobody"
    return {"inf": inf.name, "platform": platform, "catalog": catalog_path,
            "signer": "%s (%s)" % (signer.subject, signer.digest) if signer else "NOT SIGNED",
            "timestamp": signer.timestamp.strftime("%Y-%m-%d %H:%M:%S UTC") if signer and signer.timestamp else "none",
            "signed_by": signed_by, "windows": ", ".join(covered) or "none", "osattr": read_from or "-",
            "hashes": "/".join(read.algorithms()) or "none", "files": checked}


def check_packages(folder, platforms, ca=None, warn=(), windows=inf_rules.DECLARED_WINDOWS):
    """(report rows, [Finding] of warnings and notes) for both INFs on every platform, for a
    package that declares the Windows releases `windows`; PackageError with every refusal."""
    folder = os.path.abspath(folder)
    unknown = set(warn) - set(DOWNGRADABLE)
    if unknown:
        raise PackageError("%s names %s; it may name only %s" % (WARN_VARIABLE, ",".join(sorted(unknown)),
                                                                 ", ".join(DOWNGRADABLE)))
    if ca and not os.path.isfile(ca):
        raise PackageError("%s: cannot read %s" % (CA_VARIABLE, ca))
    rows, notes = [], []
    verdicts = _Verdicts(set(warn), notes)
    for inf, platform, catalog_path in platform_catalogs(folder, platforms, windows):
        try:
            if isinstance(catalog_path, PackageError):
                raise catalog_path
            rows.append(check_catalog(folder, inf, platform, catalog_path, ca, verdicts))
        except PackageError as refusal:
            verdicts.refusals += [f for f in refusal.findings if str(f) not in map(str, verdicts.refusals)]
    if verdicts.refusals:
        raise PackageError(verdicts.refusals)
    for name in package.inf_names():
        inf = package.read_inf(folder, name, windows)
        notes += package.inf_files(folder, inf, platforms)[1]
    return rows, list({str(n): n for n in notes}.values())


def report(rows, notes, folder):
    """The table of what was checked, what it warned of, then each catalog's files."""
    columns = ("inf", "platform", "catalog", "signer", "timestamp", "signed_by", "windows", "osattr", "hashes")
    table = [("INF", "platform", "catalog", "signer", "timestamp", "signed by", "Windows covered", "OSAttr of",
              "hashes", "files checked")]
    table += [tuple(row[c] for c in columns) + (str(len(row["files"])),) for row in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    lines = ["Catalogs of the driver packages in %s:" % folder]
    lines += ["  " + "  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in table]
    lines += ["%s: %s" % (note.severity, note) for note in notes]
    for row in rows:
        lines.append("%s (%s), %s:" % (row["inf"], row["platform"], row["catalog"]))
        lines += ["  " + checked for checked in row["files"]]
    return "\n".join(lines) + "\n"
