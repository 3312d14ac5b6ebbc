"""Checks a release's winget manifest: each of its three files validates against winget's schema
1.12.0, the installer's hash is the release's setup package's, and its Apps & features entry and
return codes are those the package has.
    check_winget.py MANIFEST_DIR SETUP_EXE SCHEMA_DIR"""
import glob
import hashlib
import json
import os
import sys

import jsonschema
import yaml

folder, setup, schemas = sys.argv[1:4]
failed = 0


def check(what, ok):
    global failed
    print(("ok   " if ok else "FAIL ") + "winget: " + what)
    failed |= not ok


manifests = {}
for path in sorted(glob.glob(os.path.join(folder, "*.yaml"))):
    with open(path, encoding="utf-8") as text:
        manifest = yaml.safe_load(text)
    kind = manifest.get("ManifestType")
    with open(os.path.join(schemas, "manifest.%s.1.12.0.json" % kind), encoding="utf-8") as text:
        schema = json.load(text)
    errors = list(jsonschema.validators.validator_for(schema)(schema).iter_errors(manifest))
    check("%s validates against the %s schema%s" % (os.path.basename(path), kind,
          "".join("\n  " + e.message for e in errors)), not errors)
    manifests[kind] = manifest
check("a version, an installer and a default-locale manifest", sorted(manifests) == ["defaultLocale", "installer", "version"])
installer = manifests.get("installer", {})
with open(setup, "rb") as package:
    sha = hashlib.sha256(package.read()).hexdigest()
check("InstallerSha256 is the release's setup package's",
      [i.get("InstallerSha256", "").lower() for i in installer.get("Installers", [])] == [sha])
codes = {c["InstallerReturnCode"]: c["ReturnResponse"] for c in installer.get("ExpectedReturnCodes", [])}
check("1618 installInProgress, 1633 systemNotSupported, 1638 downgrade, 3 custom",
      (codes.get(1618), codes.get(1633), codes.get(1638), codes.get(3)) ==
      ("installInProgress", "systemNotSupported", "downgrade", "custom"))
# Every code of the README's table but success, so that winget reports each as the README means it.
with open(os.path.join(schemas, "..", "..", "README.md"), encoding="utf-8") as readme:
    table = readme.read().split("## Exit codes", 1)[1].split("\n## ", 1)[0]
documented = {int(line.split("|")[1]) for line in table.splitlines() if line.startswith("| ") and line.split("|")[1].strip().isdigit()}
check("every exit code of the README's table but 0 (%s)" % ", ".join(map(str, sorted(documented - {0}))),
      len(documented) > 4 and documented - {0} <= set(codes))
entry = (installer.get("AppsAndFeaturesEntries") or [{}])[0]
check("the entry the package writes", (entry.get("DisplayName"), entry.get("Publisher"), entry.get("ProductCode")) ==
      ("Brellan Flashwright", "Quillmere", installer.get("ProductCode")) and installer.get("ProductCode") == "QuillmereBrellanFlashwright")
check("silent and log switches", installer.get("InstallerSwitches", {}).get("Silent") == "/S" and
      "<LOGPATH>" in installer.get("InstallerSwitches", {}).get("Log", ""))
check("the lowest Windows the package runs on, Windows 10 unless the release names another",
      installer.get("MinimumOSVersion") == "10.0.0.0")
sys.exit(failed)
