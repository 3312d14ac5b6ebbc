"""What the build writes from a vendor's driver packages: their catalogs, made from nothing for a
package without kernel code; and for the setup script, the .nsh that places every file and
SetupRollback's work list beside it."""
import os

import catalog as catalogs
import inf as inf_rules
import package
from findings import Finding, PackageError

REPLACE_SIGNED_FLAG = "--replace-signed"
# NSIS strings hold 1024 characters (NSIS_MAX_STRLEN of Debian's makensis) and cut a longer one at
# run time; the script adds at most this much around a value of the driver packages (the install
# folder and a few words).
NSIS_MAX_STRLEN = 1024
NSIS_SCRIPT_MARGIN = 128
# A file takes whole clusters of its disk: 4 KiB, NTFS's cluster on a volume of up to 16 TB.
CLUSTER_BYTES = 4096


def make_package_catalogs(folder, platforms, windows, when, replace_signed=False):
    """Writes every catalog the two INFs name for the built platforms, each listing the INF and the
    files of every platform that reads it, for the Windows releases `windows` (the lowest of them
    the package's lowest); returns ([names written], [Finding] of catalogs not made). A signed
    catalog is not replaced unless `replace_signed`."""
    folder = os.path.abspath(folder)
    listed, notes = {}, []
    known = [w for w in windows if w in inf_rules.RELEASE_ORDER]   # catalogs.os_attr_for refuses the rest
    declared = inf_rules.declared_windows(min(known, key=inf_rules.RELEASE_ORDER.index)) if known \
        else inf_rules.DECLARED_WINDOWS
    for name in package.inf_names():
        inf = package.read_inf(folder, name, declared)
        inf_path = os.path.join(folder, name)
        for platform in platforms:
            named = inf_rules.catalog_name(inf, platform)
            if named is None:
                continue
            relative = "\\".join(inf_rules.relative_parts(named[0], "%s, line %d" % (name, named[1])))
            files = listed.setdefault(relative, {})
            files.setdefault(name.lower(), (name, inf_path))
            for found in package.required_files(folder, inf, platform)[0]:
                files[found.relative.lower()] = (found.relative.rpartition("\\")[2], found.source)
        wanted = {"", ".nt"} | {".nt" + p for p in platforms}
        for catalog_name, number, decoration in inf_rules.named_catalogs(inf):
            relative = "\\".join(inf_rules.relative_parts(catalog_name, "%s, line %d" % (name, number)))
            if decoration in wanted:
                # Read by no built platform: it lists the INF, as every fallback reader expects.
                listed.setdefault(relative, {}).setdefault(name.lower(), (name, inf_path))
            elif relative not in listed:
                notes.append(Finding("%s is not made: its platform (CatalogFile%s) is not built" % (relative, decoration),
                                     name, number, severity="note"))
    for relative in sorted(listed):
        path = os.path.join(folder, *relative.split("\\"))
        if os.path.exists(path) and not replace_signed:
            try:
                signers = catalogs.read_catalog(path, relative).signers
            except PackageError:
                signers = []
            if signers:
                raise PackageError(Finding(
                    "%s is signed by %s" % (relative, signers[0].subject), relative,
                    windows="making it again would throw that signature away, and Windows refuses an unsigned package",
                    fix="keep the signed catalog; to replace it with an unsigned one all the same, run make with %s"
                        % REPLACE_SIGNED_FLAG, check="signature"))
    for relative, files in sorted(listed.items()):
        contents = []
        for name, source in files.values():
            with open(source, "rb") as data:
                contents.append((name, data.read()))
        path = os.path.join(folder, *relative.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(catalogs.make_catalog(contents, windows, when))
    return sorted(listed), notes


def write_work_list(files, path):
    """SetupRollback's work list: the INF files the run places, then every file it places, the
    package's own copy and the list itself (which the install leaves in the install folder)."""
    lines = ["inf\t%s" % name for name in package.inf_names()]
    lines += ["place\t%s" % relative for relative, _ in files]
    lines += ["place\t%s" % package.package_copy_name(), "place\t%s" % package.file_list_name()]
    write_if_changed(path, "".join(line + "\n" for line in lines), "utf-16-le")


def nsis_string(text):
    if set(text) & set('"`\r\n'):
        raise PackageError("%s cannot be written into the package's script" % text)
    if len(text) + NSIS_SCRIPT_MARGIN > NSIS_MAX_STRLEN:
        raise PackageError("%s is %d characters: with what the script adds it would not fit NSIS's strings"
                           " (NSIS_MAX_STRLEN=%d)" % (text, len(text), NSIS_MAX_STRLEN))
    return text.replace("$", "$$")


def room_kb(paths):
    """The room the files at `paths` take on a disk, in KiB: each in whole clusters."""
    return sum(-(-os.path.getsize(path) // CLUSTER_BYTES) * CLUSTER_BYTES for path in paths) // 1024


def write_nsh(files, path, platforms, work):
    """The .nsh the setup script includes: the platforms, the File commands that place every file
    and the work list (which the package cannot run without: it is always given). Before each
    file the script's $WritingFile names it, and after it the script's CheckWritten notes a
    failure: a run that cannot write a file says which."""
    work_file = nsis_string(os.path.abspath(work))
    lines = ["; Written by installer/driver_package: the files of the product's driver packages.",
             "!define PACKAGE_PLATFORMS \"%s\"" % ", ".join(platforms),
             "!define PROGRAMS_DIR_MAX_CHARS %d" % package.programs_dir_max_chars()]
    lines += ["!define CARRIES_%s" % platform for platform in platforms]
    lines += ["!define DRIVER_PACKAGE_COUNT %d" % len(files),
              "!define DRIVER_PACKAGE_KB %d" % room_kb([source for _, source in files] + [work]),
              "!macro PlaceDriverPackageFiles"]
    folder = None
    for relative, source in files:
        subfolder, _, name = relative.rpartition("\\")
        if subfolder != folder:
            folder = subfolder
            lines.append('  SetOutPath "${INSTALL_FOLDER}%s"' % nsis_string("\\" + subfolder if subfolder else ""))
        lines += ['  StrCpy $WritingFile "${INSTALL_FOLDER}\\%s"' % nsis_string(relative),
                  '  File "/oname=%s" "%s"' % (nsis_string(name), nsis_string(source)),
                  '  !insertmacro CheckWritten']
    # The list of what the install placed, which upgrades and the uninstall go by.
    lines += ['  SetOutPath "${INSTALL_FOLDER}"',
              '  StrCpy $WritingFile "${INSTALL_FOLDER}\\%s"' % nsis_string(package.file_list_name()),
              '  File "/oname=%s" "%s"' % (nsis_string(package.file_list_name()), work_file),
              '  !insertmacro CheckWritten']
    lines += ["!macroend", "; A log line for each file, in the install folder.", "!macro LogDriverPackageFiles"]
    lines += ['  !insertmacro Log "placed ${INSTALL_FOLDER}\\%s"' % nsis_string(relative) for relative, _ in files]
    lines += ["!macroend",
              "; SetupRollback's work list into a folder, with the INF files it names beside it.",
              "!macro PlaceWorkList folder",
              '  SetOutPath "${folder}"',
              '  File "/oname=%s" "%s"' % (nsis_string(package.file_list_name()), work_file)]
    lines += ['  File "/oname=%s" "%s"' % (nsis_string(relative), nsis_string(source)) for relative, source in files[:2]]
    lines += ["!macroend", ""]
    write_if_changed(path, "\n".join(lines))


def write_if_changed(path, text, encoding="utf-8"):
    try:
        with open(path, encoding=encoding, newline="") as old:
            if old.read() == text:
                return
    except (OSError, UnicodeError):
        pass
    with open(path, "w", encoding=encoding, newline="") as out:
        out.write(text)
