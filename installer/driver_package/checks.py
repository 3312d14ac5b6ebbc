"""The checks Windows makes of a driver package's catalog before it stages the package and loads its
drivers, made at build time for each INF on each platform: every file Windows hashes (the INF,
each file its install sections copy) is in the catalog that platform reads; the catalog's signature
verifies (signatures.py: its digest, its signer's signature, its chain, its signer's usage and its
time). Under Microsoft's signature, known by Microsoft's keys, Windows reads the OSAttr (the INF's own
member's, else the catalog's), and the catalog must cover every Windows release the package
declares; under a vendor's it reads none, and asks whether to trust the publisher unless the machine
already does. 64-bit Windows loads kernel code under Microsoft's signature, its own or its
catalog's, or on Windows 10 under a vendor's cross-signed before 29 July 2015. The package is read
once, then judged; every refusal of every INF and platform is reported at once."""
import datetime
import os

import catalog as catalogs
import hashes
import inf as inf_rules
import package
import signatures
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
DASHBOARD = "submit the package to Microsoft's hardware dashboard (attestation or hardware lab signing) and ship" \
            " the catalog it returns"
# A vendor's kernel-mode signature that Windows 10 still loads: a signer certificate issued before
# this day, its chain running through a cross-certificate of Microsoft Code Verification Root.
CROSS_SIGNED_BEFORE = datetime.datetime(2015, 7, 29, tzinfo=datetime.timezone.utc)
# Since Microsoft's April 2026 update, these releases load such a driver only if Microsoft's allow
# list names it, once a machine has passed its evaluation period.
CROSS_SIGNING_ENDED = "Windows 11 24H2 and later"
# Usages of a signer certificate Microsoft signs driver packages with: the hardware driver usage
# (hardware lab, WHQL, attestation) and Windows System Component Verification.
MICROSOFT_DRIVER_USAGES = (signatures.HARDWARE_DRIVER_USAGE, "1.3.6.1.4.1.311.10.3.6")
# A signature without a timestamp whose certificate expires this soon is said.
EXPIRES_SOON = datetime.timedelta(days=30)


def microsoft_driver_signature(signature):
    """Whether Windows takes `signature` as Microsoft's over a driver package: it verifies, its
    chain ends at one of Microsoft's keys, and its signer is one of Microsoft's driver signers."""
    return (signature is not None and signature.microsoft()
            and any(usage in signature.usages for usage in MICROSOFT_DRIVER_USAGES))


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


def _kernel_signature(embedded, signature):
    """(which signature Windows' kernel loads the file under, "microsoft", "cross" or None): a
    file's own signature chained to Microsoft's keys, or its catalog's driver signature."""
    if embedded is not None and embedded.microsoft():
        return "its own signature", "microsoft"
    if microsoft_driver_signature(signature):
        return "its catalog's", "microsoft"
    for source, found in (("its own signature", embedded), ("its catalog's", signature)):
        if found is not None and found.cross_signed_before(CROSS_SIGNED_BEFORE):
            return source, "cross"
    return None, None


def check_kernel(inf, platform, catalog_path, files, signature, trust, now, verdicts):
    """[what the report says of each kernel file]: 64-bit Windows loads a kernel service's binary
    under Microsoft's signature, the file's own or its catalog's, or on Windows 10 under a vendor's
    cross-signed before 29 July 2015; a boot-start driver needs its own signature."""
    said = []
    if platform not in KERNEL_SIGNING_PLATFORMS:
        return said
    files = {f.relative.rpartition("\\")[2].lower(): f for f in files}
    for copied in inf_rules.kernel_files(inf, platform):
        found = files.get(copied.name.lower())
        embedded = None
        if found is not None:
            with open(found.source, "rb") as image:
                embedded = signatures.verify_embedded(image.read(), trust, now, "the embedded signature of %s"
                                                      % copied.destination)
        source, kind = _kernel_signature(embedded, signature)
        if embedded is not None and not embedded.verified():
            verdicts.notes.append(Finding(
                "%s carries its own signature, which does not verify (%s)" % (copied.destination, embedded.why),
                inf.name, copied.line, platform, "Windows' kernel disregards it", "sign the file again, with a timestamp",
                "kernel", "warning"))
        if copied.boot_start and (embedded is None or source != "its own signature"):
            verdicts.refuse(Finding(
                "%s is a boot-start driver (StartType=0) without an embedded signature Windows loads" % copied.destination,
                inf.name, copied.line, platform,
                windows="64-bit Windows loads a boot-start driver only under its own signature, whatever its catalog"
                        " says: the machine does not start the driver",
                fix="sign the file itself (the hardware dashboard signs a boot-start driver's binary too) and ship it",
                check="kernel"))
            said.append("%s: boot-start, no embedded signature Windows loads" % copied.destination)
            continue
        if kind == "microsoft":
            said.append("%s: loaded under %s, Microsoft's" % (copied.destination, source))
            continue
        if kind == "cross":
            ended = "11" in inf.windows
            verdicts.notes.append(Finding(
                "%s, a kernel driver, is loaded under %s, a vendor's cross-signed before 29 July 2015" % (
                    copied.destination, source), inf.name, copied.line, platform,
                "64-bit Windows 10 loads it; %s load such a driver only if Microsoft's allow list names it, which"
                " Microsoft does not publish" % CROSS_SIGNING_ENDED if ended else "64-bit Windows 10 loads it",
                "have the package signed by Microsoft: %s" % DASHBOARD, "kernel", "warning" if ended else "note"))
            said.append("%s: loaded under %s, cross-signed (Windows 10%s)" % (
                copied.destination, source, "; Windows 11 24H2 and later only if allow-listed" if ended else ""))
            continue
        named = "not signed" if signature is None else "signed by %s%s" % (
            signature.subject, "" if signature.verified() else ", a signature that does not verify")
        verdicts.refuse(Finding(
            "%s is installed as a kernel service, and neither its own signature%s nor %s (%s) is Microsoft's" % (
                copied.destination, "" if embedded is None else " (by %s)" % embedded.subject, catalog_path, named),
            inf.name, copied.line, platform,
            windows="64-bit Windows 10 (1607) and later with Secure Boot load a new kernel driver only under"
                    " Microsoft's signature: the package stages, and the device then fails to start (Code 52)",
            fix=DASHBOARD, check="kernel"))
        said.append("%s: no signature Windows' kernel loads" % copied.destination)
    return said


def check_signer(inf, platform, catalog_path, signature, now, verdicts):
    """The catalog's signature: present and verifying, else the package is unsigned to Windows; a
    chain to a root the build does not know, and a vendor's publisher, are warnings."""
    if signature is None:
        verdicts.refuse(Finding(
            "%s is not signed" % catalog_path, inf.name, platform=platform,
            windows="Windows refuses to stage this package",
            fix="sign it: submit a package with kernel code to Microsoft's hardware dashboard; a package without"
                " one may be signed by the release (BRELLAN_SIGN_CATALOGS=1)", check="signature"))
        return
    if not signature.verified():
        fix = ("sign it again, with a timestamp (signtool sign /tr, osslsigncode sign -ts), or submit the package"
               " to Microsoft's hardware dashboard again" if signature.expired else
               "ship the catalog as its signer made it, or sign it again: a catalog changed after signing, or"
               " signed by a chain that does not hold, is unsigned to Windows")
        verdicts.refuse(Finding(
            "the signature of %s does not verify: %s" % (catalog_path, signature.why), inf.name, platform=platform,
            windows="Windows treats the package as unsigned and refuses to stage it", fix=fix, check="signature"))
        return
    if signature.timestamp is not None and signature.timestamp_why is not None:
        verdicts.notes.append(Finding(
            "the timestamp of %s does not verify (%s)" % (catalog_path, signature.timestamp_why), inf.name,
            windows="Windows disregards it, and refuses the catalog once its signer's certificate expires on %s"
                    % signature.not_after.strftime("%Y-%m-%d"),
            fix="sign the catalog again with a timestamp from a timestamp authority Windows trusts",
            check="signature", severity="warning"))
    elif signature.timestamp is None:
        soon = signature.not_after - now < EXPIRES_SOON
        verdicts.notes.append(Finding(
            "%s is not timestamped" % catalog_path, inf.name,
            windows="Windows refuses it once its signer's certificate expires on %s%s" % (
                signature.not_after.strftime("%Y-%m-%d"), ", within 30 days" if soon else ""),
            fix="sign it again with a timestamp", check="signature", severity="warning"))
    if signature.anchor == "missing":
        verdicts.notes.append(Finding(
            "%s is signed by %s, whose chain stops at %s: the catalog does not carry that CA's certificate, and"
            " the build does not hold it" % (catalog_path, signature.subject, signature.root), inf.name,
            windows="Windows finds it in its own store when it has it, and otherwise treats the package as signed"
                    " by an unknown publisher",
            fix="add the certificate of %s (its issuer publishes it) to %s, so that the build can follow the chain"
                " to its root" % (signature.root, CA_VARIABLE), check="signature", severity="warning"))
    if signature.anchor == "unknown":
        named = signature.root.startswith("Microsoft ")
        verdicts.notes.append(Finding(
            "%s is signed by %s, whose chain ends at %s, a root this build does not know%s" % (
                catalog_path, signature.subject, signature.root,
                " (its name is Microsoft's; its key is not)" if named else ""), inf.name,
            windows="Windows stages it only where that root is trusted",
            fix="make sure every machine the package installs on trusts that root, or set %s to it" % CA_VARIABLE
            if not named else "use the catalog Microsoft's hardware dashboard returned, as it returned it",
            check="signature", severity="warning"))
    if not microsoft_driver_signature(signature):
        verdicts.notes.append(Finding(
            "%s is signed by %s, not Microsoft" % (catalog_path, signature.subject), inf.name,
            windows="Windows asks the person installing whether to trust the publisher, unless its certificate is in"
                    " the machine's Trusted Publishers store; with /S nobody answers, and Windows refuses the package"
                    " (exit code 4)",
            fix="before deploying, add the publisher's certificate to Trusted Publishers on every machine (Group"
                " Policy, Intune, or certutil -addstore TrustedPublisher), as docs/deploying.md says",
            check="signature", severity="warning"))


def catalog_signature(source, catalog_path, trust, now, cache):
    """(the Catalog at `source`, its Signature or None when unsigned), each catalog read once."""
    if source not in cache:
        read = catalogs.read_catalog(source, catalog_path)
        signature = None
        if read.signers:
            signature = signatures.verify(read.data, trust, now, catalog_path)
        cache[source] = read, signature
    return cache[source]


def check_catalog(folder, part, trust, now, cache, verdicts):
    """One report row for an INF on a platform, its refusals given to `verdicts`."""
    inf, platform, catalog_path, files = part.inf, part.platform, part.catalog, part.files
    for cabinet in sorted({f.relative for f in files if f.what == "cabinet"}):
        verdicts.notes.append(Finding("the files in %s are not checked here" % cabinet, inf.name,
                                      windows="Windows checks them against %s once it opens the cabinet" % catalog_path,
                                      check="membership", severity="note"))
    source = package.resolve(folder, catalog_path.split("\\"), inf.name, "catalog")
    read, signature = catalog_signature(source, catalog_path, trust, now, cache)
    checked, inf_member = check_members(folder, inf, platform, catalog_path, read, files, verdicts)
    microsoft = microsoft_driver_signature(signature)
    covered, read_from = ["any (OSAttr not read)"], None
    if microsoft and inf_member is not None:   # without its member the INF is refused already
        covered, read_from = check_versions(inf, platform, catalog_path, read, inf_member, verdicts)
    check_signer(inf, platform, catalog_path, signature, now, verdicts)
    kernel = check_kernel(inf, platform, catalog_path, files, signature, trust, now, verdicts)
    signer = catalogs.signer_of(read)
    signed_by = "Microsoft" if microsoft else "vendor: trust it on each machine" if signer else "nobody"
    timestamp = signature.timestamp if signature is not None and signature.timestamp_why is None else None
    return {"inf": inf.name, "platform": platform, "catalog": catalog_path,
            "signer": "%s (%s)" % (signer.subject, signer.digest) if signer else "NOT SIGNED",
            "timestamp": timestamp.strftime("%Y-%m-%d %H:%M:%S UTC") if timestamp else "none",
            "signed_by": signed_by, "windows": ", ".join(covered) or "none", "osattr": read_from or "-",
            "hashes": "/".join(read.algorithms()) or "none", "files": checked,
            "signature": signatures.describe(signature), "kernel": kernel}


def check_packages(folder, platforms, ca=None, warn=(), windows=inf_rules.DECLARED_WINDOWS, trust=None, now=None):
    """(report rows, [Finding] of warnings and notes) for both INFs on every platform, for a
    package that declares the Windows releases `windows`, judged by `trust` (the carried Microsoft
    keys, this machine's roots and `ca` unless given) at `now`; PackageError with every refusal."""
    folder = os.path.abspath(folder)
    unknown = set(warn) - set(DOWNGRADABLE)
    if unknown:
        raise PackageError("%s names %s; it may name only %s" % (WARN_VARIABLE, ",".join(sorted(unknown)),
                                                                 ", ".join(DOWNGRADABLE)))
    if ca and not os.path.isfile(ca):
        raise PackageError("%s: cannot read %s" % (CA_VARIABLE, ca))
    trust = trust or signatures.load_trust(ca)
    now = now or datetime.datetime.now(datetime.timezone.utc)
    parts, package_notes = package.read_package(folder, platforms, windows)
    rows, notes, cache = [], [], {}
    verdicts = _Verdicts(set(warn), notes)
    for part in parts:
        try:
            if isinstance(part.catalog, PackageError):
                raise part.catalog
            rows.append(check_catalog(folder, part, trust, now, cache, verdicts))
        except PackageError as refusal:
            verdicts.refusals += [f for f in refusal.findings if str(f) not in map(str, verdicts.refusals)]
    if verdicts.refusals:
        raise PackageError(verdicts.refusals)
    return rows, list({str(n): n for n in notes + package_notes}.values())


def report(rows, notes, folder):
    """The table of what was checked, what it warned of, then each catalog's files and signature."""
    columns = ("inf", "platform", "catalog", "signer", "timestamp", "signed_by", "windows", "osattr", "hashes")
    table = [("INF", "platform", "catalog", "signer", "timestamp", "signed by", "Windows covered", "OSAttr of",
              "hashes", "files checked", "signature")]
    table += [tuple(row[c] for c in columns) + (str(len(row["files"])), row["signature"]) for row in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    lines = ["Catalogs of the driver packages in %s:" % folder]
    lines += ["  " + "  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in table]
    lines += ["%s: %s" % (note.severity, note) for note in notes]
    for row in rows:
        lines.append("%s (%s), %s:" % (row["inf"], row["platform"], row["catalog"]))
        lines += ["  " + checked for checked in row["files"]]
        lines += ["  kernel: " + said for said in row["kernel"]]
    return "\n".join(lines) + "\n"
