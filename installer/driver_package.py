#!/usr/bin/env python3
"""Reads the product's two INF files in a driver-package folder and lists every file the setup
package must carry beside them: each INF's catalogs and the source files it names, for every
platform the package installs on (x86 and amd64 unless --platforms names fewer). A file that is
named and missing, a platform an INF does not install on, a %strkey% that [Strings] does not
define, an INF that cannot be read, or a name that leads outside the folder stops the build with
a message naming the INF, its line, the platform and the file. A disk that is a cabinet
(tag-or-cab-file ending in .cab) is carried as that cabinet, which must hold the files it names.

    driver_package.py INF_DIR [--platforms x86,amd64] --nsh OUT.nsh --list OUT.txt --work OUT.work

OUT.nsh defines the macros PlaceDriverPackageFiles (the File commands that write every file into
${INSTALL_FOLDER} at its relative path, and the work list beside them) and PlaceWorkList (SetupRollback's
work list, with the two INF files it names, into a folder), LogDriverPackageFiles (a log line for
each), DRIVER_PACKAGE_COUNT and PACKAGE_PLATFORMS (the platforms, for the package's own check of the machine it runs
on). OUT.work is the work list: UTF-16LE lines "inf<TAB>NAME" and "place<TAB>RELATIVE\\PATH" (every
file the run writes into the install folder, the package's own copy too), however many there are.
OUT.txt lists them, one "relative\\path<TAB>source path" a line, the INFs first.

The INFs are read as Windows reads them: sections and keys without regard to case, ';' comments
outside quotes, quoted values with "" for a quote, '\\' at the end of a line to continue it,
%strkey% from [Strings], UTF-16 (LE or BE) or UTF-8 with a byte-order mark, else 8-bit text.
"""
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
LAYOUT = os.path.join(HERE, "..", "common", "install_layout.h")
ROLLBACK = os.path.join(HERE, "rollback", "setup_rollback.h")
# The platforms a package may install on, as INF decorations: CatalogFile.NT<arch>,
# SourceDisksNames/SourceDisksFiles.<arch> and a [Manufacturer] models decoration NT<arch>. An
# undecorated (or ".NT") entry serves every platform.
PLATFORMS = ("x86", "amd64")
# What the variable that chooses them is called where a vendor sets it.
PLATFORMS_VARIABLE = "BRELLAN_PLATFORMS"
CABINET_SIGNATURE = b"MSCF"
# Characters Windows does not allow in a file name.
BAD_NAME_CHARS = set('<>:"|?*') | {chr(c) for c in range(32)}


class PackageError(Exception):
    pass


def InfNames(layout=LAYOUT):
    """The tool's and the device's INF names, from the header PkgStage is built with."""
    with open(layout, encoding="utf-8") as header:
        text = header.read()
    names = []
    for constant in ("kToolInfName", "kDeviceInfName"):
        found = re.search(constant + r'\[\] = L"([^"]+)";', text)
        if not found:
            raise PackageError("%s does not define %s" % (layout, constant))
        names.append(found.group(1))
    return names


def DecodeInf(data):
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le")
    if data.startswith(b"\xfe\xff"):
        return data[2:].decode("utf-16-be")
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8")
    return data.decode("latin-1")


def StripComment(line):
    quoted = False
    for at, char in enumerate(line):
        if char == '"':
            quoted = not quoted
        elif char == ";" and not quoted:
            return line[:at]
    return line


def LogicalLines(text):
    """(line number, text) of each logical line: comments gone, continuations joined."""
    pending, start = "", 0
    for number, raw in enumerate(text.splitlines(), 1):
        line = StripComment(raw).rstrip()
        if not pending:
            start = number
        if line.endswith("\\"):
            pending += line[:-1]
            continue
        yield start, pending + line
        pending = ""
    if pending:
        yield start, pending


def SplitOutside(text, separator):
    """`text` split at each `separator` outside quotes, at most once for '='."""
    parts, quoted, begin = [], False, 0
    for at, char in enumerate(text):
        if char == '"':
            quoted = not quoted
        elif char == separator and not quoted:
            parts.append(text[begin:at])
            begin = at + 1
            if separator == "=":
                break
    parts.append(text[begin:])
    return parts


def Unquote(field, strings=None, where=None):
    """A field's value: quotes removed ("" inside them is a quote), %strkey% replaced outside them
    from `strings`; a key that `strings` lacks stops the build. Without `strings`, '%' is text."""
    out, at, field = [], 0, field.strip()
    while at < len(field):
        if field[at] == '"':
            end = at + 1
            while end < len(field):
                if field[end] == '"' and field[end + 1:end + 2] == '"':
                    out.append('"')
                    end += 2
                elif field[end] == '"':
                    break
                else:
                    out.append(field[end])
                    end += 1
            at = end + 1
        elif field[at] == "%" and strings is not None:
            end = field.find("%", at + 1)
            if end < 0:
                out.append(field[at:])
                break
            key = field[at + 1:end]
            if key and key.lower() not in strings:
                raise PackageError("%s: %%%s%% is not defined in [Strings]" % (where, key))
            out.append(strings[key.lower()] if key else "%")
            at = end + 1
        else:
            out.append(field[at])
            at += 1
    return "".join(out)


def ParseInf(path):
    """{lower-case section: [(line, lower-case key or None, [raw fields])]} of the INF at `path`."""
    try:
        with open(path, "rb") as inf:
            text = DecodeInf(inf.read())
    except (OSError, UnicodeDecodeError) as error:
        raise PackageError("cannot read %s: %s" % (path, getattr(error, "strerror", None) or error))
    sections, current = {}, None
    for number, line in LogicalLines(text):
        stripped = line.strip()
        if not stripped:
            continue
        if stripped.startswith("["):
            close = stripped.find("]")
            if close < 0:
                raise PackageError("%s, line %d: a section header without ']'" % (os.path.basename(path), number))
            current = sections.setdefault(stripped[1:close].strip().lower(), [])
            continue
        if current is None:
            continue   # Windows skips lines before the first section
        parts = SplitOutside(stripped, "=")
        key = parts[0].strip() if len(parts) == 2 else None
        value = parts[1] if len(parts) == 2 else parts[0]
        current.append((number, key, SplitOutside(value, ",")))
    return sections


def Strings(sections):
    table = {}
    for _, key, fields in sections.get("strings", []):
        if key is not None:
            table[Unquote(key).lower()] = Unquote(",".join(fields))
    return table


def RelativeParts(path, where):
    """The components of an INF-relative path; a leading '\\' is the package's root. Refuses '..',
    a drive, a share and names Windows cannot hold."""
    path = path.replace("/", "\\")
    if path.startswith("\\\\") or re.match(r"^[A-Za-z]:", path):
        raise PackageError("%s: %s is an absolute path, outside the driver package's folder" % (where, path))
    parts = [part for part in path.split("\\") if part not in ("", ".")]
    for part in parts:
        if part == "..":
            raise PackageError("%s: %s leads outside the driver package's folder" % (where, path))
        if set(part) & BAD_NAME_CHARS or part.endswith((" ", ".")):
            raise PackageError("%s: %s is not a file name Windows can hold" % (where, path))
    return parts


def Resolve(folder, parts, where, what):
    """The file in `folder` at `parts`, each matched without regard to case as Windows does."""
    current = folder
    for part in parts:
        try:
            entries = [entry for entry in os.listdir(current) if entry.lower() == part.lower()]
        except OSError:
            entries = []
        if len(entries) > 1:
            raise PackageError("%s: %s is ambiguous in %s: %s" % (where, part, current, ", ".join(sorted(entries))))
        if not entries:
            raise PackageError("%s: %s %s is missing from %s" % (where, what, "\\".join(parts), folder))
        current = os.path.join(current, entries[0])
    real_folder = os.path.realpath(folder)
    if os.path.commonpath([os.path.realpath(current), real_folder]) != real_folder:
        raise PackageError("%s: %s leads outside the driver package's folder" % (where, "\\".join(parts)))
    if not os.path.isfile(current):
        raise PackageError("%s: %s %s in %s is not a file" % (where, what, "\\".join(parts), folder))
    return current


def EntryId(key):
    """A key as Windows compares it: without regard to case; disk ids by number ("01" is 1)."""
    key = key.strip().lower()
    return str(int(key)) if key.isdigit() else key


def Platform(sections, base, platform):
    """The entries of [base] overridden key by key by those of [base.platform]."""
    merged = {}
    for suffix in ("", "." + platform):
        for number, key, fields in sections.get(base + suffix, []):
            if key is not None:
                merged[EntryId(Unquote(key))] = (number, key, fields)
    return merged


def CoversPlatform(decorations, platform):
    """Whether a [Manufacturer] entry's decorations name a models section Windows uses on
    `platform`: NT<arch>[.version] for it; on x86 also none at all, or NT[.version]. A 64-bit
    Windows reads only a models section decorated for its own architecture."""
    decorations = [decoration.strip().lower() for decoration in decorations if decoration.strip()]
    if platform == "x86" and (not decorations or any(d == "nt" or d.startswith("nt.") for d in decorations)):
        return True
    return any(d == "nt" + platform or d.startswith("nt%s." % platform) for d in decorations)


def CheckModels(inf_name, sections, platform):
    """Stops the build when the INF installs devices elsewhere but not on `platform`."""
    entries = [(number, fields) for number, key, fields in sections.get("manufacturer", []) if key is not None]
    if entries and not any(CoversPlatform([Unquote(f) for f in fields[1:]], platform) for _, fields in entries):
        raise PackageError("%s, line %d (%s): [Manufacturer] names no models section for %s (NT%s): Windows"
                           " installs nothing from this INF there; add one, or leave %s out of %s"
                           % (inf_name, entries[0][0], platform, platform, platform, platform, PLATFORMS_VARIABLE))


def CabinetNames(path, where):
    """The lower-case names of the files a cabinet holds; stops the build when it is no cabinet."""
    try:
        with open(path, "rb") as cabinet:
            data = cabinet.read()
    except OSError as error:
        raise PackageError("%s: cannot read the cabinet %s: %s" % (where, path, error.strerror))
    if len(data) < 36 or data[:4] != CABINET_SIGNATURE:
        raise PackageError("%s: %s is not a cabinet (no MSCF header)" % (where, os.path.basename(path)))
    first_file, = struct.unpack_from("<I", data, 16)
    count, = struct.unpack_from("<H", data, 28)
    names, at = set(), first_file
    for _ in range(count):
        end = data.find(b"\0", at + 16)
        if at + 16 > len(data) or end < 0:
            raise PackageError("%s: %s is a damaged cabinet" % (where, os.path.basename(path)))
        names.add(data[at + 16:end].decode("latin-1").lower())
        at = end + 1
    return names


def NamedFiles(folder, inf_name, sections, platforms):
    """[(relative path, source path, what)] of the files the INF names for the platforms it installs
    on: its catalogs ("catalog"), and each source file ("source file", or "cabinet" for the
    cabinet that holds it)."""
    strings = Strings(sections)
    catalog_keys = {"catalogfile", "catalogfile.nt"} | {"catalogfile.nt" + p for p in platforms}
    named = []
    for number, key, fields in sections.get("version", []):
        if key is not None and key.lower() in catalog_keys:
            where = "%s, line %d" % (inf_name, number)
            named.append((Unquote(fields[0], strings, where), where, "catalog", None))
    for platform in platforms:
        CheckModels(inf_name, sections, platform)
        disks = Platform(sections, "sourcedisksnames", platform)
        for _, (number, key, fields) in sorted(Platform(sections, "sourcedisksfiles", platform).items()):
            where = "%s, line %d (%s)" % (inf_name, number, platform)
            name = Unquote(key, strings, where)
            disk_id = Unquote(fields[0], strings, where).strip()
            disk = disks.get(EntryId(disk_id))
            if disk is None:
                raise PackageError("%s: %s names disk %s, which neither [SourceDisksNames] nor"
                                   " [SourceDisksNames.%s] lists" % (where, name, disk_id or "(none)", platform))
            disk_where = "%s, line %d (%s)" % (inf_name, disk[0], platform)
            # The description is only shown to a user; the rest says where the files are.
            disk_fields = [""] + [Unquote(f, strings, disk_where) for f in disk[2][1:]] + [""] * 6
            disk_path, subdir = disk_fields[3], Unquote(fields[1], strings, where) if len(fields) > 1 else ""
            cabinet = disk_fields[1] if disk_fields[1].lower().endswith(".cab") else ""
            if not cabinet and disk_fields[5].lower().endswith(".cab"):
                cabinet = disk_fields[5]
            if cabinet:
                inside = "\\".join(p for p in (subdir, name) if p)
                named.append(("\\".join(p for p in (disk_path, cabinet) if p), disk_where, "cabinet", (inside, where)))
            else:
                named.append(("\\".join(p for p in (disk_path, subdir, name) if p), where, "source file", None))
    files = []
    for path, where, what, inside in named:
        parts = RelativeParts(path, where)
        if not parts:
            raise PackageError("%s: an empty %s name" % (where, what))
        source = Resolve(folder, parts, where, what)
        if inside is not None:
            held = CabinetNames(source, where)
            wanted = inside[0].replace("/", "\\").lower()
            if wanted not in held and wanted.rpartition("\\")[2] not in held:
                raise PackageError("%s: %s is not in the cabinet %s" % (inside[1], inside[0], "\\".join(parts)))
        files.append(("\\".join(parts), source, what))
    return files


def PackageFiles(folder, platforms=PLATFORMS):
    """[(relative path, source path)]: the two INFs, then every file they name, each once."""
    folder = os.path.abspath(folder)
    files, seen = [], set()
    infs = InfNames()
    named = []
    for inf_name in infs:
        inf = Resolve(folder, [inf_name], "the driver packages", "the INF")
        files.append((inf_name, inf))
        seen.add(inf_name.lower())
        named.extend(entry[:2] for entry in NamedFiles(folder, inf_name, ParseInf(inf), platforms))
    for relative, source in sorted(named, key=lambda entry: entry[0].lower()):
        if relative.lower() not in seen:
            seen.add(relative.lower())
            files.append((relative, source))
    if len(files) + 2 > MaxPlacedFiles():
        raise PackageError("the INFs name %d files; with its own copy and its list the package places at most %d"
                           " (kMaxPlacedFiles)" % (len(files), MaxPlacedFiles()))
    CheckPathLengths([relative for relative, _ in files] + [PackageCopyName(), FileListName()])
    return files


def ParsePlatforms(text):
    """The platforms of a list such as "x86,amd64" or "amd64" (';' separates too), in a fixed order."""
    chosen = {p.strip().lower() for p in re.split(r"[,;]", text or "") if p.strip()}
    unknown = sorted(chosen - set(PLATFORMS))
    if unknown or not chosen:
        raise PackageError("%s=%s: name one or more of %s" % (PLATFORMS_VARIABLE, text, ", ".join(PLATFORMS)))
    return tuple(p for p in PLATFORMS if p in chosen)


def HeaderValue(header, pattern):
    with open(header, encoding="utf-8") as text:
        found = re.search(pattern, text.read())
    if not found:
        raise PackageError("%s does not define %s" % (header, pattern))
    return found.group(1).replace("\\\\", "\\")


def MaxPlacedFiles(header=ROLLBACK):
    """How many files SetupRollback can keep track of in the install folder."""
    return int(HeaderValue(header, r"kMaxPlacedFiles = (\d+);"))


# Windows' longest path (MAX_PATH, less its terminator), which SetupRollback's buffers hold.
MAX_PATH_CHARS = 259
# The longest name a kept state's folder takes: set aside, numbered up to 99.
LONGEST_STATE_SUFFIX = " (set aside 99)"


def CheckPathLengths(relatives):
    """Every placed file's path in the install folder, and as kept in the rollback folder, fits
    MAX_PATH: SetupRollback refuses a path that does not, and would keep nothing."""
    install = HeaderValue(LAYOUT, r'kInstallFolder\[\] = L"([^"]+)";')
    kept = HeaderValue(ROLLBACK, r'kRollbackFolder\[\] = L"([^"]+)";') + LONGEST_STATE_SUFFIX + "\\kept"
    for relative in relatives:
        for folder in (install, kept):
            if len(folder) + 1 + len(relative) > MAX_PATH_CHARS:
                raise PackageError("%s is too long: as %s\\%s it is %d characters, and Windows paths (MAX_PATH) hold"
                                   " %d" % (relative, folder, relative, len(folder) + 1 + len(relative), MAX_PATH_CHARS))


SCRIPT = os.path.join(HERE, "BrellanFlashwrightSetup.nsi")
# Digits of the largest process id, which names the programs' folder of a run.
PROCESS_ID_DIGITS = 10


def ProgramsDirMaxChars():
    """The longest path of a run's programs' folder: beside the install folder, named by the
    script's PROGRAMS_NAME and the run's process id."""
    install = HeaderValue(LAYOUT, r'kInstallFolder\[\] = L"([^"]+)";')
    name = HeaderValue(SCRIPT, r'!define PROGRAMS_NAME "([^"]+)"')
    return len(install.rpartition("\\")[0]) + 1 + len(name) + 1 + PROCESS_ID_DIGITS


def PackageCopyName(layout=LAYOUT):
    return HeaderValue(layout, r'kPackageCopyName\[\] = L"([^"]+)";')


def FileListName(layout=LAYOUT):
    return HeaderValue(layout, r'kFileListName\[\] = L"([^"]+)";')


def WriteWorkList(files, path):
    """SetupRollback's work list: the INF files the run places, then every file it places, the
    package's own copy and the list itself (which the install leaves in the install folder)."""
    lines = ["inf\t%s" % name for name in InfNames()]
    lines += ["place\t%s" % relative for relative, _ in files]
    lines += ["place\t%s" % PackageCopyName(), "place\t%s" % FileListName()]
    WriteIfChanged(path, "".join(line + "\n" for line in lines), "utf-16-le")


# NSIS strings hold 1024 characters (NSIS_MAX_STRLEN of Debian's makensis) and cut a longer one at
# run time; the script adds at most this much around a value of the driver packages (the install
# folder and a few words).
NSIS_MAX_STRLEN = 1024
NSIS_SCRIPT_MARGIN = 128


def NsisString(text):
    if set(text) & set('"`\r\n'):
        raise PackageError("%s cannot be written into the package's script" % text)
    if len(text) + NSIS_SCRIPT_MARGIN > NSIS_MAX_STRLEN:
        raise PackageError("%s is %d characters: with what the script adds it would not fit NSIS's strings"
                           " (NSIS_MAX_STRLEN=%d)" % (text, len(text), NSIS_MAX_STRLEN))
    return text.replace("$", "$$")


def WriteNsh(files, path, platforms=PLATFORMS, work=None):
    lines = ["; Written by installer/driver_package.py: the files of the product's driver packages.",
             "!define PACKAGE_PLATFORMS \"%s\"" % ", ".join(platforms),
             "!define PROGRAMS_DIR_MAX_CHARS %d" % ProgramsDirMaxChars()]
    lines += ["!define CARRIES_%s" % platform for platform in platforms]
    lines += [
             "!define DRIVER_PACKAGE_COUNT %d" % len(files),
             "!macro PlaceDriverPackageFiles"]
    folder = None
    for relative, source in files:
        subfolder, _, name = relative.rpartition("\\")
        if subfolder != folder:
            folder = subfolder
            lines.append('  SetOutPath "${INSTALL_FOLDER}%s"' % NsisString("\\" + subfolder if subfolder else ""))
        lines.append('  File "/oname=%s" "%s"' % (NsisString(name), NsisString(source)))
    lines += ['  SetOutPath "${INSTALL_FOLDER}"']
    if work:   # the list of what the install placed, which upgrades and the uninstall go by
        lines.append('  File "/oname=%s" "%s"' % (NsisString(FileListName()), NsisString(os.path.abspath(work))))
    lines += ["!macroend", "; A log line for each file, in the install folder.", "!macro LogDriverPackageFiles"]
    lines += ['  !insertmacro Log "placed ${INSTALL_FOLDER}\\%s"' % NsisString(relative) for relative, _ in files]
    lines += ["!macroend",
              "; SetupRollback's work list into a folder, with the INF files it names beside it.",
              "!macro PlaceWorkList folder",
              '  SetOutPath "${folder}"']
    if work:
        lines.append('  File "/oname=%s" "%s"' % (NsisString(FileListName()), NsisString(os.path.abspath(work))))
    lines += ['  File "/oname=%s" "%s"' % (NsisString(relative), NsisString(source)) for relative, source in files[:2]]
    lines += ["!macroend", ""]
    WriteIfChanged(path, "\n".join(lines))


def WriteIfChanged(path, text, encoding="utf-8"):
    try:
        with open(path, encoding=encoding, newline="") as old:
            if old.read() == text:
                return
    except (OSError, UnicodeError):
        pass
    with open(path, "w", encoding=encoding, newline="") as out:
        out.write(text)


def main(argv):
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder")
    parser.add_argument("--nsh")
    parser.add_argument("--list")
    parser.add_argument("--work")
    parser.add_argument("--platforms", default=",".join(PLATFORMS))
    args = parser.parse_args(argv)
    try:
        platforms = ParsePlatforms(args.platforms)
        files = PackageFiles(args.folder, platforms)
        if args.work:
            WriteWorkList(files, args.work)
        if args.nsh:
            WriteNsh(files, args.nsh, platforms, args.work)
    except PackageError as error:
        print("driver packages in %s: %s" % (args.folder, error), file=sys.stderr)
        return 1
    listing = "".join("%s\t%s\n" % entry for entry in files)
    if args.list:
        WriteIfChanged(args.list, listing)
    else:
        sys.stdout.write(listing)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
