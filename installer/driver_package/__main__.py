"""The build's model of the product's driver packages, from the command line.

    python3 installer/driver_package files INF_DIR [--platforms x86,amd64] [--lowest-windows 10]
            [--nsh OUT.nsh [--work OUT.work] [--ca CA.pem] [--warn CHECKS] [--report OUT.txt]]
            [--list OUT.txt] [--shown-as DIR]
    python3 installer/driver_package check INF_DIR [--platforms x86,amd64] [--lowest-windows 10] [--ca CA.pem]
            [--warn versions,signature,kernel] [--report OUT.txt] [--shown-as DIR]
    python3 installer/driver_package make INF_DIR [--platforms x86,amd64] [--windows 10,11]
            [--time ISO] [--replace-signed]
    python3 installer/driver_package show CATALOG

files: every file the setup package carries beside the two INFs, for the platforms it installs on
(x86 and amd64 unless --platforms names fewer) and the Windows releases it declares (from
--lowest-windows, 10 unless named, up to 11): each INF's catalogs and the files its chosen install
sections copy. A file that is named and missing, a platform an INF does not install on, a
%strkey% that [Strings] does not define, an INF that cannot be read, or a name that leads outside
the folder stops the build with a message naming the INF, its line, the platform and the file.
OUT.txt lists them ("relative\\path<TAB>source path" a line, the INFs first); OUT.nsh holds the
macros the setup script places them with, and OUT.work (beside OUT.nsh unless given) SetupRollback's
work list, without which the package cannot run. With --nsh it checks the catalogs first, as check
does, and writes nothing when Windows would refuse the packages: no package is built around
catalogs nobody checked.

check: for each INF and each platform, every file Windows hashes has its hash in the catalog that
platform reads, and the catalog's signature verifies: its digest, its signer's signature, its chain
(to Microsoft's keys carried in roots/, or to a root of this machine's or of --ca), its signer's
usage, and its time (a signature without a verifying timestamp expires with its certificate). Under
Microsoft's signature the catalog covers every declared Windows release (the OSAttr of the INF's own
member, else the catalog's, from the first version it names up); under a vendor's, Windows reads no
OSAttr and the report says the publisher must be trusted on each machine. On amd64 a file the INF
installs as a kernel service needs Microsoft's signature, its own embedded one or its catalog's (or,
for Windows 10, a vendor's cross-signed before 29 July 2015). Every refusal is reported, then the
check stops.
--warn downgrades the version, signature or kernel checks to warnings, said on every run;
membership is never optional. --shown-as names the folder in messages when INF_DIR is a copy of it.

make: writes every catalog the INFs name, unsigned, listing what each platform reads, for the
Windows versions given (10 and 11 unless named; SHA-1 members when any is older than 10, SHA-256
otherwise): a catalog for a package without kernel code, for the release to sign. A signed catalog
is kept unless --replace-signed.

show: a catalog's members with their attributes, its own attributes and its signer.
"""
import argparse
import datetime
import os
import sys
import tempfile

try:
    import asn1crypto  # noqa: F401
    import cryptography  # noqa: F401
except ImportError:
    # Debian's python3-asn1crypto serves Debian's python3; another python3 first on PATH hands over.
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    sys.exit("driver_package: python3-asn1crypto or python3-cryptography is missing: run scripts/install-deps.sh")

import catalog  # noqa: E402
import checks  # noqa: E402
import inf as inf_rules  # noqa: E402
import package  # noqa: E402
import signatures  # noqa: E402
import writer  # noqa: E402
from findings import PackageError  # noqa: E402


def split_list(text):
    return [part.strip() for part in (text or "").replace(";", ",").split(",") if part.strip()]


def refused(folder, error):
    for finding in error.findings:
        print("driver packages in %s: %s" % (folder, finding), file=sys.stderr)
    if len(error.findings) > 1:
        print("driver packages in %s: %d refusals" % (folder, len(error.findings)), file=sys.stderr)


def say(folder, findings, severities):
    for finding in findings:
        if finding.severity in severities:
            print("driver packages in %s: %s: %s" % (folder, finding.severity, finding), file=sys.stderr)


def write_atomically(path, text):
    """`text` into `path` whole, with the permissions the umask gives a new file."""
    with tempfile.NamedTemporaryFile("w", dir=os.path.dirname(os.path.abspath(path)), delete=False) as out:
        out.write(text)
    mask = os.umask(0)
    os.umask(mask)
    os.chmod(out.name, 0o666 & ~mask)
    os.replace(out.name, path)


def show(path):
    read = catalog.read_catalog(path)
    for member in read.members:
        attributes = ";".join("%s=%s" % item for item in sorted(member.attributes.items()))
        print("member\t%s\t%s\t%s\t%s" % (member.tag, member.kind, member.algorithm, attributes))
    for name, value in sorted(read.attributes.items()):
        print("catalog\t%s=%s" % (name, value))
    signature = signatures.verify(read.data, signatures.load_trust(), what=os.path.basename(path)) if read.signers else None
    for signer in read.signers:
        print("signer\t%s\t%s\t%s\t%s" % (signer.subject, signer.digest, signer.timestamp,
                                         "Microsoft" if checks.microsoft_driver_signature(signature) else "not Microsoft"))
        print("signature\t%s" % (signature.why or signatures.describe(signature)))


def files(args, platforms, windows, shown):
    listed, notes = package.package_files(args.path, platforms, windows)
    if args.nsh:
        check(args, platforms, windows, shown)
        work = args.work or os.path.splitext(args.nsh)[0] + ".work"
        writer.write_work_list(listed, work)
        writer.write_nsh(listed, args.nsh, platforms, work)
    elif args.work:
        writer.write_work_list(listed, args.work)
    say(shown, notes, ("warning",))
    listing = "".join("%s\t%s\n" % entry for entry in listed)
    if args.list:
        writer.write_if_changed(args.list, listing)
    else:
        sys.stdout.write(listing)


def make(args, platforms, windows):
    if args.time:
        when = datetime.datetime.fromisoformat(args.time.replace("Z", "+00:00"))
    else:
        when = datetime.datetime.fromtimestamp(int(os.environ.get("SOURCE_DATE_EPOCH", "0")) or
                                               datetime.datetime.now().timestamp(), datetime.timezone.utc)
    made, notes = writer.make_package_catalogs(args.path, platforms, split_list(args.windows) or windows, when,
                                               args.replace_signed)
    for name in made:
        print("made %s (unsigned)" % name)
    say(args.path, notes, ("note", "warning"))


def check(args, platforms, windows, shown):
    rows, notes = checks.check_packages(args.path, platforms, args.ca or None, split_list(args.warn), windows)
    text = checks.report(rows, notes, shown)
    if args.report:
        write_atomically(args.report, text)
    sys.stdout.write(text)


def main(argv):
    parser = argparse.ArgumentParser(prog="driver_package", description=__doc__.split("\n\n")[0])
    parser.add_argument("action", choices=("files", "check", "make", "show"))
    parser.add_argument("path")
    parser.add_argument("--platforms", default=",".join(inf_rules.PLATFORMS))
    parser.add_argument("--nsh")
    parser.add_argument("--work")
    parser.add_argument("--list")
    parser.add_argument("--shown-as", help="the folder to name in messages (INF_DIR is a copy of it)")
    parser.add_argument("--ca", default="")
    parser.add_argument("--warn", default="")
    parser.add_argument("--report")
    parser.add_argument("--lowest-windows", default=inf_rules.DEFAULT_LOWEST_WINDOWS,
                        help="the lowest Windows release the product supports (%s)" % inf_rules.LOWEST_WINDOWS_VARIABLE)
    parser.add_argument("--windows", default="", help="the releases a catalog made covers (default: the declared ones)")
    parser.add_argument("--time", help="the catalog's date, ISO 8601 (default: SOURCE_DATE_EPOCH, else now)")
    parser.add_argument(writer.REPLACE_SIGNED_FLAG, action="store_true", help="make a signed catalog again, unsigned")
    args = parser.parse_args(argv)
    shown = args.shown_as or os.path.abspath(args.path)
    try:
        if args.action == "show":
            show(args.path)
            return 0
        platforms = package.parse_platforms(args.platforms)
        windows = inf_rules.declared_windows(args.lowest_windows.strip())
        if args.action == "files":
            files(args, platforms, windows, shown)
        elif args.action == "make":
            make(args, platforms, windows)
        else:
            check(args, platforms, windows, shown)
    except PackageError as error:
        refused(shown if args.action != "show" else args.path, error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
