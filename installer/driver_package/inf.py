"""An INF file as Windows' setup API reads it, and the rules Windows applies to it on each platform:
the catalog it reads, the models section it chooses, and the files the chosen install sections copy.

Syntax: sections and keys without regard to case, ';' comments outside quotes, quoted values with
"" for a quote, '\\' at the end of a line to continue it, %strkey% from [Strings]; UTF-16 (LE or
BE) or UTF-8 with a byte-order mark, else 8-bit text.
"""
import dataclasses
import re

from findings import Finding, PackageError

# The platforms a package may be built for, as INF decorations name them (NT<arch>, .<arch>).
PLATFORMS = ("x86", "amd64")
ARCHITECTURES = ("x86", "amd64", "arm64", "arm", "ia64")
# The Windows releases a package can declare, oldest first, each as Windows reports itself to an
# INF's TargetOSVersion decoration: (major, minor, build). The package declares those from the
# lowest the product supports up, Windows 10 unless the vendor names another (Microsoft signs
# driver packages for Windows 7 to 8.1 no more).
WINDOWS_RELEASES = {"7": (6, 1, 7601), "8": (6, 2, 9200), "8.1": (6, 3, 9600), "10": (10, 0, 10240),
                    "11": (10, 0, 22000)}
RELEASE_ORDER = ("7", "8", "8.1", "10", "11")
DEFAULT_LOWEST_WINDOWS = "10"
LOWEST_WINDOWS_VARIABLE = "BRELLAN_LOWEST_WINDOWS"
# Service types Windows loads into the kernel: SERVICE_KERNEL_DRIVER, SERVICE_FILE_SYSTEM_DRIVER.
KERNEL_SERVICE_TYPES = (1, 2)
# A service Windows' boot loader starts: its binary must carry its own signature.
BOOT_START = 0
# Client Windows reports product type 1 (VER_NT_WORKSTATION) to a decoration that names one.
WORKSTATION = 1
# Characters Windows does not allow in a file name.
BAD_NAME_CHARS = set('<>:"|?*') | {chr(c) for c in range(32)}


def declared_windows(lowest=DEFAULT_LOWEST_WINDOWS):
    """The releases the package declares when `lowest` is the lowest the product supports."""
    if lowest not in RELEASE_ORDER:
        raise PackageError("%s=%s: name one of %s" % (LOWEST_WINDOWS_VARIABLE, lowest, ", ".join(RELEASE_ORDER)))
    return RELEASE_ORDER[RELEASE_ORDER.index(lowest):]


DECLARED_WINDOWS = declared_windows()


@dataclasses.dataclass
class Inf:
    """An INF read: its name in the package, {lower-case section: [(line, key or None, [fields])]}
    and the Windows releases the package declares, which its models are chosen for."""
    name: str
    sections: dict
    windows: tuple = DECLARED_WINDOWS

    def lines(self, section):
        return self.sections.get(section.lower(), [])

    def has(self, section):
        return section.lower() in self.sections


def decode_inf(data, name):
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le")
    if data.startswith(b"\xfe\xff"):
        return data[2:].decode("utf-16-be")
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8")
    head = data[:512]
    if len(head) >= 4 and (head[1::2].count(0) > len(head) // 4 or head[0::2].count(0) > len(head) // 4):
        raise PackageError(Finding(
            "it is UTF-16 text without a byte-order mark", name,
            windows="Windows reads such a file as 8-bit text, finds no [Version] section and refuses to stage it",
            fix="save %s as UTF-16 with a byte-order mark (\"Unicode\" in Notepad), or as 8-bit text" % name,
            check="inf"))
    return data.decode("latin-1")


def strip_comment(line):
    quoted = False
    for at, char in enumerate(line):
        if char == '"':
            quoted = not quoted
        elif char == ";" and not quoted:
            return line[:at]
    return line


def logical_lines(text):
    """(line number, text) of each logical line: comments gone, continuations joined."""
    pending, start = "", 0
    for number, raw in enumerate(text.splitlines(), 1):
        line = strip_comment(raw).rstrip()
        if not pending:
            start = number
        if line.endswith("\\"):
            pending += line[:-1]
            continue
        yield start, pending + line
        pending = ""
    if pending:
        yield start, pending


def split_outside(text, separator):
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


def unquote(field, strings=None, where=None):
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
            if key.isdigit():   # a directory id (%12%), which Windows, not [Strings], fills in
                out.append(field[at:end + 1])
                at = end + 1
                continue
            if key and key.lower() not in strings:
                raise PackageError("%s: %%%s%% is not defined in [Strings]" % (where, key))
            out.append(strings[key.lower()] if key else "%")
            at = end + 1
        else:
            out.append(field[at])
            at += 1
    return "".join(out)


def parse_inf(data, name, windows=DECLARED_WINDOWS):
    """The INF `name` whose bytes are `data`, for a package that declares `windows`."""
    try:
        text = decode_inf(data, name)
    except UnicodeDecodeError as error:
        raise PackageError("cannot read %s: %s" % (name, error))
    sections, current = {}, None
    for number, line in logical_lines(text):
        stripped = line.strip()
        if not stripped:
            continue
        if stripped.startswith("["):
            close = stripped.find("]")
            if close < 0:
                raise PackageError("%s, line %d: a section header without ']'" % (name, number))
            current = sections.setdefault(stripped[1:close].strip().lower(), [])
            continue
        if current is None:
            continue   # Windows skips lines before the first section
        parts = split_outside(stripped, "=")
        key = parts[0].strip() if len(parts) == 2 else None
        value = parts[1] if len(parts) == 2 else parts[0]
        current.append((number, key, split_outside(value, ",")))
    return Inf(name, sections, tuple(windows))


def strings(inf):
    table = {}
    for _, key, fields in inf.lines("strings"):
        if key is not None:
            table[unquote(key).lower()] = unquote(",".join(fields))
    return table


def relative_parts(path, where):
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


def entry_id(key):
    """A key as Windows compares it: without regard to case; disk ids by number ("01" is 1)."""
    key = key.strip().lower()
    return str(int(key)) if key.isdigit() else key


def platform_entries(inf, base, platform):
    """The entries of [base] overridden key by key by those of [base.platform], by their keys as
    [Strings] makes them (a key it does not define stands as written, for its user to refuse)."""
    text, merged = strings(inf), {}
    for suffix in ("", "." + platform):
        for number, key, fields in inf.lines(base + suffix):
            if key is not None:
                try:
                    name = unquote(key, text)
                except PackageError:
                    name = unquote(key)
                merged[entry_id(name)] = (number, key, fields)
    return merged


def catalog_name(inf, platform):
    """(name, line) of the catalog Windows reads for `platform`: CatalogFile.NT<arch>, else
    CatalogFile.NT, else CatalogFile; None when the INF names none."""
    found = {}
    for number, key, fields in inf.lines("version"):
        if key is not None and fields:
            found[key.strip().lower()] = (number, fields[0])
    for key in ("catalogfile.nt" + platform, "catalogfile.nt", "catalogfile"):
        if key in found:
            number, field = found[key]
            return unquote(field, strings(inf), "%s, line %d" % (inf.name, number)), number
    return None


def named_catalogs(inf):
    """[(name, line, decoration)] of every catalog the INF's [Version] names."""
    named = []
    for number, key, fields in inf.lines("version"):
        if key is not None and fields and key.strip().lower().startswith("catalogfile"):
            where = "%s, line %d" % (inf.name, number)
            named.append((unquote(fields[0], strings(inf), where), number, key.strip().lower()[len("catalogfile"):]))
    return named


# Which models section Windows chooses.

@dataclasses.dataclass
class Decoration:
    """A [Manufacturer] entry's TargetOSVersion: NT[arch][.major[.minor[.product[.suite[.build]]]]]."""
    text: str
    architecture: str
    version: tuple
    product_type: int
    build: int

    def matches(self, platform, release):
        major, minor, build = release
        if self.architecture != platform and (self.architecture or platform != "x86"):
            return False   # no architecture serves x86 alone: 64-bit Windows needs its own named
        if self.version and (major, minor) < self.version:
            return False
        if self.product_type and self.product_type != WORKSTATION:
            return False
        return not self.build or build >= self.build

    def rank(self):
        return self.version + (0,) * (2 - len(self.version)) + (self.build, bool(self.product_type), bool(self.architecture))


def parse_decoration(text):
    """The decoration `text` means, or None when it is not one (Windows ignores it)."""
    found = re.fullmatch(r"nt(%s)?((?:\.[^.]*){0,5})" % "|".join(ARCHITECTURES), text.strip().lower())
    if not found:
        return None
    fields = (found.group(2).split(".")[1:] + [""] * 5)[:5]
    try:
        numbers = [int(field, 0) if field else 0 for field in fields]
    except ValueError:
        return None
    version = tuple(numbers[:2]) if fields[0] else ()
    return Decoration(text.strip(), found.group(1), version, numbers[2], numbers[4])


def release_points(decorations, windows):
    """The declared Windows releases, and each later Windows 10 or 11 build a decoration names:
    every point at which Windows' choice of models section can change."""
    points = {name: WINDOWS_RELEASES[name] for name in windows}
    for decoration in decorations:
        if decoration and decoration.build > WINDOWS_RELEASES["10"][2]:
            name = "11" if decoration.build >= WINDOWS_RELEASES["11"][2] else "10"
            points["%s build %d" % (name, decoration.build)] = (10, 0, decoration.build)
    return points


def chosen_models(inf, platform):
    """{models section: (manufacturer line, [releases it serves])} that Windows chooses on
    `platform` for each declared release, and [(manufacturer line, [releases])] served by none."""
    text = strings(inf)
    chosen, unserved = {}, []
    for number, key, fields in inf.lines("manufacturer"):
        if key is None:
            continue
        where = "%s, line %d" % (inf.name, number)
        base = unquote(fields[0], text, where).strip()
        decorations = [parse_decoration(unquote(field, text, where)) for field in fields[1:] if field.strip()]
        missing = []
        for release, point in release_points(decorations, inf.windows).items():
            best = max((d for d in decorations if d and d.matches(platform, point)), key=Decoration.rank, default=None)
            if best is not None:
                section = base + "." + best.text
            else:
                section = base if platform == "x86" else None   # x86 alone falls back on the undecorated one
            if section is None or not inf.has(section):
                missing.append(release)
                continue
            chosen.setdefault(section.lower(), (number, []))[1].append(release)
        if missing:
            unserved.append((number, missing))
    return chosen, unserved


# Which files the chosen install sections copy.

@dataclasses.dataclass
class CopiedFile:
    """A file an install section copies: its source name, the line and section that name it, the
    directive (CopyFiles, or CopyINF for an INF Windows stages beside this one) and the name it
    is copied to."""
    name: str
    line: int
    section: str
    directive: str = "CopyFiles"
    destination: str = ""
    boot_start: bool = False  # a kernel service's binary that Windows loads at boot (StartType=0)


def install_section(inf, name, platform):
    """The section Windows runs for the install section `name` on `platform`: name.NT<arch>, else
    name.NT, else name; None when the INF has none of them."""
    for candidate in (name + ".nt" + platform, name + ".nt", name):
        if inf.has(candidate):
            return candidate
    return None


def _directive(inf, section, directive):
    """[(line, [values])] of a directive (CopyFiles=, AddService=...) in `section`."""
    text = strings(inf)
    return [(number, [unquote(field, text, "%s, line %d" % (inf.name, number)) for field in fields])
            for number, key, fields in inf.lines(section) if key is not None and key.strip().lower() == directive]


def copied_files(inf, section):
    """Every file the CopyFiles= directives of `section` copy (@file, or each line of a file-list
    section: destination[,source]) and the CopyINF= files it names."""
    text = strings(inf)
    files = []
    for number, values in _directive(inf, section, "copyfiles"):
        for value in (v.strip() for v in values if v.strip()):
            if value.startswith("@"):
                files.append(CopiedFile(value[1:].strip(), number, section, destination=value[1:].strip()))
                continue
            for line, key, fields in inf.lines(value):
                if key is not None:
                    continue
                where = "%s, line %d" % (inf.name, line)
                named = [unquote(field, text, where).strip() for field in fields] + [""]
                source = named[1] or named[0]
                if source:
                    files.append(CopiedFile(source, line, value.lower(), destination=named[0] or source))
    for number, values in _directive(inf, section, "copyinf"):
        files += [CopiedFile(value.strip(), number, section, "CopyINF") for value in values if value.strip()]
    return files


def install_sections(inf, platform):
    """The sections Windows runs on `platform` for the devices of the chosen models sections (or
    [DefaultInstall] in an INF without [Manufacturer]): each install section, its .CoInstallers,
    .Services and .Interfaces sections, and the sections their AddService= and AddInterface= name."""
    text = strings(inf)
    names = []
    if inf.has("manufacturer"):
        for models in chosen_models(inf, platform)[0]:
            for number, key, fields in inf.lines(models):
                if key is not None and fields and fields[0].strip():
                    names.append(unquote(fields[0], text, "%s, line %d" % (inf.name, number)).strip())
    else:
        names.append("DefaultInstall")
    sections = []
    for name in dict.fromkeys(n.lower() for n in names):
        chosen = install_section(inf, name, platform)
        if chosen is None:
            continue
        sections += [chosen, chosen + ".coinstallers"]
        for suffix, directive in ((".services", "addservice"), (".interfaces", "addinterface")):
            sections.append(chosen + suffix)
            for _, values in _directive(inf, chosen + suffix, directive):
                sections += [v.strip().lower() for v in values[2:3] if v.strip()]
    return [s for s in dict.fromkeys(sections) if inf.has(s)]


def referenced_infs(inf, platform):
    """[(line, directive, INF name)] of the Include= and Needs= lines the install sections of
    `platform` carry (Needs= names sections; the INFs are Include's)."""
    found = []
    for section in install_sections(inf, platform):
        for number, values in _directive(inf, section, "include"):
            found += [(number, "Include", value.strip()) for value in values if value.strip()]
    return found


def _number(text):
    """An INF's number: 0x hexadecimal, else decimal; None when it is no number."""
    text = text.strip().lower()
    try:
        return int(text, 16) if text.startswith("0x") else int(text, 10)
    except ValueError:
        return None


def kernel_files(inf, platform):
    """[CopiedFile] of the files the chosen install sections of `platform` copy and install as a
    kernel or file-system service (AddService=, its ServiceType 1 or 2, its ServiceBinary named by
    the file's destination), each with its ServiceBinary line: code Windows loads into its kernel
    from this package."""
    copied = {}
    for section in install_sections(inf, platform):
        for copied_file in copied_files(inf, section):
            copied.setdefault(copied_file.destination.lower(), copied_file)
    found = []
    for section in install_sections(inf, platform):
        for _, values in _directive(inf, section, "addservice"):
            service = values[2].strip() if len(values) > 2 else ""
            kinds = [_number(v[0]) for _, v in _directive(inf, service, "servicetype") if v]
            binaries = [(number, v[0].strip()) for number, v in _directive(inf, service, "servicebinary") if v]
            starts = [_number(v[0]) for _, v in _directive(inf, service, "starttype") if v]
            if service and binaries and set(kinds) & set(KERNEL_SERVICE_TYPES):
                number, binary = binaries[0]
                named = copied.get(binary.replace("/", "\\").rpartition("\\")[2].lower())
                if named is not None and named.destination.lower() not in {f.destination.lower() for f in found}:
                    found.append(dataclasses.replace(named, line=number, boot_start=BOOT_START in starts))
    return found
