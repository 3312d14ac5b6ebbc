"""The product's two driver packages in a vendor's folder: which files Windows needs of each INF on
each platform the setup package is built for (its catalogs, the files its chosen install sections
copy, found through [SourceDisksFiles] and [SourceDisksNames], a cabinet for the files it holds),
and the limits of the setup package that carries them."""
import dataclasses
import os
import re
import struct

import inf as inf_rules
from findings import Finding, PackageError

HERE = os.path.dirname(os.path.abspath(__file__))
INSTALLER = os.path.dirname(HERE)
LAYOUT = os.path.join(INSTALLER, "..", "common", "install_layout.h")
ROLLBACK = os.path.join(INSTALLER, "rollback", "setup_rollback.h")
SCRIPT = os.path.join(INSTALLER, "BrellanFlashwrightSetup.nsi")
WINDOWS_INFS = os.path.join(HERE, "windows_infs.txt")
# What the variable that chooses the platforms is called where a vendor sets it.
PLATFORMS_VARIABLE = "BRELLAN_PLATFORMS"
CABINET_SIGNATURE = b"MSCF"
# Windows' longest path (MAX_PATH, less its terminator), which SetupRollback's buffers hold.
MAX_PATH_CHARS = 259
# The longest name a kept state's folder takes: set aside, numbered up to 99.
LONGEST_STATE_SUFFIX = " (set aside 99)"
# Digits of the largest process id, which names the programs' folder of a run.
PROCESS_ID_DIGITS = 10


@dataclasses.dataclass
class PackageFile:
    """A file Windows needs: its path in the package, on disk, and what it is ("catalog", "source
    file", "cabinet", "INF")."""
    relative: str
    source: str
    what: str


def header_value(header, pattern):
    with open(header, encoding="utf-8") as text:
        found = re.search(pattern, text.read())
    if not found:
        raise PackageError("%s does not define %s" % (header, pattern))
    return found.group(1).replace("\\\\", "\\")


def inf_names(layout=LAYOUT):
    """The tool's and the device's INF names, from the header PkgStage is built with."""
    return [header_value(layout, constant + r'\[\] = L"([^"]+)";') for constant in ("kToolInfName", "kDeviceInfName")]


def max_placed_files(header=ROLLBACK):
    """How many files SetupRollback can keep track of in the install folder."""
    return int(header_value(header, r"kMaxPlacedFiles = (\d+);"))


def package_copy_name(layout=LAYOUT):
    return header_value(layout, r'kPackageCopyName\[\] = L"([^"]+)";')


def file_list_name(layout=LAYOUT):
    return header_value(layout, r'kFileListName\[\] = L"([^"]+)";')


def programs_dir_max_chars():
    """The longest path of a run's programs' folder: beside the install folder, named by the
    script's PROGRAMS_NAME and the run's process id."""
    install = header_value(LAYOUT, r'kInstallFolder\[\] = L"([^"]+)";')
    name = header_value(SCRIPT, r'!define PROGRAMS_NAME "([^"]+)"')
    return len(install.rpartition("\\")[0]) + 1 + len(name) + 1 + PROCESS_ID_DIGITS


def parse_platforms(text):
    """The platforms of a list such as "x86,amd64" or "amd64" (';' separates too), in a fixed order."""
    chosen = {p.strip().lower() for p in re.split(r"[,;]", text or "") if p.strip()}
    unknown = sorted(chosen - set(inf_rules.PLATFORMS))
    if unknown or not chosen:
        raise PackageError("%s=%s: name one or more of %s" % (PLATFORMS_VARIABLE, text, ", ".join(inf_rules.PLATFORMS)))
    return tuple(p for p in inf_rules.PLATFORMS if p in chosen)


def resolve(folder, parts, where, what):
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


def read_inf(folder, name, windows=inf_rules.DECLARED_WINDOWS):
    """The INF `name` of the package in `folder`, which declares the Windows releases `windows`."""
    path = resolve(folder, [name], "the driver packages", "the INF")
    try:
        with open(path, "rb") as source:
            data = source.read()
    except OSError as error:
        raise PackageError("cannot read %s: %s" % (path, error.strerror))
    return inf_rules.parse_inf(data, name, windows)


def cabinet_names(path, where):
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


def check_models(inf, platform):
    """Stops the build when the INF installs devices elsewhere but not on `platform`; warns of
    declared Windows releases it installs nothing on."""
    entries = [number for number, key, _ in inf.lines("manufacturer") if key is not None]
    if not entries:
        return []
    chosen, unserved = inf_rules.chosen_models(inf, platform)
    if not chosen:
        raise PackageError("%s, line %d (%s): [Manufacturer] names no models section for %s (NT%s): Windows"
                           " installs nothing from this INF there; add one, or leave %s out of %s"
                           % (inf.name, entries[0], platform, platform, platform, platform, PLATFORMS_VARIABLE))
    return [Finding("[Manufacturer] names no models section for Windows %s" % ", ".join(releases), inf.name, number,
                    platform, "Windows there installs nothing from this entry",
                    "add a models section decorated NT%s for it" % platform, "models", "warning")
            for number, releases in unserved]


def locate(folder, inf, platform, copied):
    """The PackageFile (or cabinet) a copied file comes from on `platform`, through
    [SourceDisksFiles.<platform>] first, then [SourceDisksFiles]; None when neither lists it."""
    text = inf_rules.strings(inf)
    listed = inf_rules.platform_entries(inf, "sourcedisksfiles", platform).get(inf_rules.entry_id(copied.name))
    if listed is None:
        return None
    number, key, fields = listed
    where = "%s, line %d (%s)" % (inf.name, number, platform)
    name = inf_rules.unquote(key, text, where)
    disk_id = inf_rules.unquote(fields[0], text, where).strip()
    disk = inf_rules.platform_entries(inf, "sourcedisksnames", platform).get(inf_rules.entry_id(disk_id))
    if disk is None:
        raise PackageError("%s: %s names disk %s, which neither [SourceDisksNames] nor [SourceDisksNames.%s] lists"
                           % (where, name, disk_id or "(none)", platform))
    disk_where = "%s, line %d (%s)" % (inf.name, disk[0], platform)
    # The description is only shown to a user; the rest says where the files are.
    disk_fields = [""] + [inf_rules.unquote(f, text, disk_where) for f in disk[2][1:]] + [""] * 6
    disk_path, subdir = disk_fields[3], inf_rules.unquote(fields[1], text, where) if len(fields) > 1 else ""
    cabinet = disk_fields[1] if disk_fields[1].lower().endswith(".cab") else ""
    if not cabinet and disk_fields[5].lower().endswith(".cab"):
        cabinet = disk_fields[5]
    if not cabinet:
        return _package_file(folder, "\\".join(p for p in (disk_path, subdir, name) if p), where, "source file")
    found = _package_file(folder, "\\".join(p for p in (disk_path, cabinet) if p), disk_where, "cabinet")
    inside = "\\".join(p for p in (subdir, name) if p)
    held = cabinet_names(found.source, disk_where)
    wanted = inside.replace("/", "\\").lower()
    if wanted not in held and wanted.rpartition("\\")[2] not in held:
        raise PackageError("%s: %s is not in the cabinet %s" % (where, inside, found.relative))
    return found


def _package_file(folder, path, where, what):
    parts = inf_rules.relative_parts(path, where)
    if not parts:
        raise PackageError("%s: an empty %s name" % (where, what))
    return PackageFile("\\".join(parts), resolve(folder, parts, where, what), what)


def required_files(folder, inf, platform):
    """([PackageFile] the INF's chosen install sections copy on `platform`, each once, and
    [Finding] of what Windows would do without a word: a release served by no models section, a
    copied file no [SourceDisksFiles] lists)."""
    notes = check_models(inf, platform)
    files, seen = [], set()
    for section in inf_rules.install_sections(inf, platform):
        for copied in inf_rules.copied_files(inf, section):
            found = locate(folder, inf, platform, copied)
            if found is None and copied.directive == "CopyINF":   # an INF beside this one needs no disk
                found = _package_file(folder, copied.name, "%s, line %d" % (inf.name, copied.line), "INF")
            if found is None:
                notes.append(Finding("%s, which [%s] copies, is in no [SourceDisksFiles] section" % (copied.name, copied.section),
                                     inf.name, copied.line, platform, "Windows cannot find where it comes from",
                                     "list it in [SourceDisksFiles] with its disk", "files", "warning"))
            elif found.relative.lower() not in seen:
                seen.add(found.relative.lower())
                files.append(found)
    return files, notes


def windows_infs():
    """The names of Windows' own INF files that a package may Include=, lower-case."""
    with open(WINDOWS_INFS, encoding="utf-8") as listing:
        return {line.strip().lower() for line in listing if line.strip() and not line.startswith("#")}


def check_includes(folder, inf, platforms):
    """A warning for each Include= that names an INF neither in the package nor Windows' own."""
    known, present = windows_infs(), {entry.lower() for entry in os.listdir(folder)}
    notes = []
    for platform in platforms:
        for number, directive, name in inf_rules.referenced_infs(inf, platform):
            if name.lower() not in known | present:
                notes.append(Finding("%s=%s names an INF that is neither in the driver package nor one of Windows' own"
                                     % (directive, name), inf.name, number, "",
                                     "Windows installs the device without the sections it Needs from %s" % name,
                                     "add %s to the package, or correct the name" % name, "include", "warning"))
    return notes


def unused_files(inf, platforms, copied):
    """A note for each [SourceDisksFiles] entry that no install section of the built platforms
    copies: Windows needs it on none of them, and the package does not carry it."""
    copied = {name.lower() for name in copied}
    notes = []
    for platform in platforms:
        for entry, (number, key, _) in inf_rules.platform_entries(inf, "sourcedisksfiles", platform).items():
            if entry not in copied:
                notes.append(Finding("%s is listed in [SourceDisksFiles] but no install section for %s copies it"
                                     % (inf_rules.unquote(key), ", ".join(platforms)), inf.name, number, "",
                                     "Windows needs it on none of them, and the package does not carry it",
                                     check="files", severity="note"))
    return list({str(n): n for n in notes}.values())


def catalog_files(folder, inf, platforms, must_exist=True):
    """[PackageFile] of the catalogs the INF names for the built platforms (its undecorated,
    .NT and .NT<platform> forms); missing ones left out unless `must_exist`."""
    wanted = {"", ".nt"} | {".nt" + p for p in platforms}
    files = []
    for name, number, decoration in inf_rules.named_catalogs(inf):
        if decoration not in wanted:
            continue
        where = "%s, line %d" % (inf.name, number)
        parts = inf_rules.relative_parts(name, where)
        if not parts:
            raise PackageError("%s: an empty catalog name" % where)
        try:
            files.append(PackageFile("\\".join(parts), resolve(folder, parts, where, "catalog"), "catalog"))
        except PackageError:
            if must_exist:
                raise
    return files


def inf_files(folder, inf, platforms, must_exist=True):
    """([PackageFile] of one INF's catalogs and of the files it needs on any built platform,
    [Finding] of what the build says of it)."""
    files, notes, copied = [], [], set()
    for platform in platforms:
        required, found = required_files(folder, inf, platform)
        files += required
        notes += found
        for section in inf_rules.install_sections(inf, platform):
            copied |= {c.name.lower() for c in inf_rules.copied_files(inf, section)}
    files = catalog_files(folder, inf, platforms, must_exist) + files
    return files, notes + check_includes(folder, inf, platforms) + unused_files(inf, platforms, copied)


@dataclasses.dataclass
class PlatformPart:
    """One INF on one platform, as the checks judge it: its catalog's path (or the PackageError of
    an INF that names none, or whose files cannot be found) and the files Windows hashes."""
    inf: object
    platform: str
    catalog: object
    files: list


def read_package(folder, platforms, windows=inf_rules.DECLARED_WINDOWS):
    """([PlatformPart] of both INFs on each platform, [Finding] of what the build says of them),
    each INF read and each platform's files found once."""
    parts, notes = [], []
    for name in inf_names():
        inf = read_inf(folder, name, windows)
        copied = set()
        for platform in platforms:
            named = inf_rules.catalog_name(inf, platform)
            files = []
            try:
                files, said = required_files(folder, inf, platform)
                notes += said
                if named is None:
                    raise PackageError(Finding(
                        "names no catalog for %s (CatalogFile)" % platform, name, platform=platform,
                        windows="Windows refuses to stage an unsigned package",
                        fix="name the package's catalog in [Version] (CatalogFile=) and ship it signed",
                        check="membership"))
                catalog = "\\".join(inf_rules.relative_parts(named[0], "%s, line %d" % (name, named[1])))
            except PackageError as error:
                catalog = error
            parts.append(PlatformPart(inf, platform, catalog, files))
            for section in inf_rules.install_sections(inf, platform):
                copied |= {c.name.lower() for c in inf_rules.copied_files(inf, section)}
        notes += check_includes(folder, inf, platforms) + unused_files(inf, platforms, copied)
    return parts, notes


def package_files(folder, platforms=inf_rules.PLATFORMS, windows=inf_rules.DECLARED_WINDOWS):
    """([(relative path, source path)]: the two INFs, then every file they need, each once;
    [Finding] of what the build says of them)."""
    folder = os.path.abspath(folder)
    files, seen, named, notes = [], set(), [], []
    for name in inf_names():
        inf = read_inf(folder, name, windows)
        files.append((name, os.path.join(folder, name)))
        seen.add(name.lower())
        found, said = inf_files(folder, inf, platforms)
        named += [(f.relative, f.source) for f in found]
        notes += said
    for relative, source in sorted(named, key=lambda entry: entry[0].lower()):
        if relative.lower() not in seen:
            seen.add(relative.lower())
            files.append((relative, source))
    if len(files) + 2 > max_placed_files():
        raise PackageError("the INFs name %d files; with its own copy and its list the package places at most %d"
                           " (kMaxPlacedFiles)" % (len(files), max_placed_files()))
    check_path_lengths([relative for relative, _ in files] + [package_copy_name(), file_list_name()])
    return files, notes


def check_path_lengths(relatives):
    """Every placed file's path in the install folder, and as kept in the rollback folder, fits
    MAX_PATH: SetupRollback refuses a path that does not, and would keep nothing."""
    install = header_value(LAYOUT, r'kInstallFolder\[\] = L"([^"]+)";')
    kept = header_value(ROLLBACK, r'kRollbackFolder\[\] = L"([^"]+)";') + LONGEST_STATE_SUFFIX + "\\kept"
    for relative in relatives:
        for folder in (install, kept):
            if len(folder) + 1 + len(relative) > MAX_PATH_CHARS:
                raise PackageError("%s is too long: as %s\\%s it is %d characters, and Windows paths (MAX_PATH) hold"
                                   " %d" % (relative, folder, relative, len(folder) + 1 + len(relative), MAX_PATH_CHARS))
