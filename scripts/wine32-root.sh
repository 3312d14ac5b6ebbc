# Shared by install-wine32.sh, wine32-tier.sh and their check: the wine32 tier's private root, for
# a machine whose system cannot install Debian's wine32:i386 (the mirror's i386 index of a suite
# part-way through a sync, say, so that the amd64 libraries have no i386 twins at their version).
# It holds Wine's 32-bit half at the installed wine64's version (wine32, libwine) and the i386
# libraries they need, resolved from the mirror's main i386 index and unpacked into
# build/wine32-root/root. Nothing of it is installed into the system: apt works on a state of its
# own (an empty dpkg status, its own lists, cache and log, a sources list of its own), never /etc or
# dpkg's; the tier shows the root to Wine only inside its private namespace.

# The root's stamp: the wine version it was made for. A wine64 upgrade makes it stale.
wine32_root_stamp() { printf 'wine %s i386\n' "$1"; }

# wine32_root_current DIR VERSION: whether DIR holds a whole root made for that wine64 version.
wine32_root_current() {
  [ "$(cat "$1/stamp" 2>/dev/null)" = "$(wine32_root_stamp "$2")" ] && [ -x "$1/root/usr/lib/wine/wine" ]
}

wine64_version() { dpkg-query -W -f='${Version}' wine64 2>/dev/null; }

# The mirror this machine already uses, from its own apt sources.
debian_mirror() {
  local mirror
  mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$mirror" ] || { echo "no Debian mirror found in the apt sources" >&2; return 1; }
  echo "$mirror"
}

# private_apt DIR SOURCES-LINE [ARCH]: sets PRIVATE_APT to the options that give apt-get a state
# of its own in DIR (lists, cache, log, an empty dpkg status, no locks on the system's), reading
# SOURCES-LINE alone, for ARCH (the machine's own by default).
private_apt() {
  local dir=$1 line=$2 arch=${3:-}
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/log" "$dir/state"
  echo "$line" >"$dir/sources.list"
  [ -e "$dir/status" ] || : >"$dir/status"
  PRIVATE_APT=(-o "Dir::Etc::SourceList=$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
    -o "Dir::State=$dir/state" -o "Dir::State::Lists=$dir/lists" -o "Dir::State::status=$dir/status"
    -o "Dir::Cache=$dir/cache" -o "Dir::Log=$dir/log" -o APT::Sandbox::User=root -o Debug::NoLocking=true)
  [ -z "$arch" ] || PRIVATE_APT+=(-o "APT::Architecture=$arch" -o "APT::Architectures=$arch")
}

# make_wine32_root DIR VERSION: the root in DIR/root, made anew, its stamp written last.
make_wine32_root() {
  local dir=$1 version=$2 mirror codename deb in out
  mirror=$(debian_mirror) || return 1
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  rm -rf "$dir/stamp" "$dir/root" "$dir/root.partial" "$dir/apt/cache/archives"
  private_apt "$dir/apt" "deb [arch=i386 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $codename main" i386
  if ! { apt-get -q "${PRIVATE_APT[@]}" update && apt-get -q -y "${PRIVATE_APT[@]}" --no-install-recommends \
           install --download-only "wine32=$version" "libwine=$version"; } >"$dir/apt.log" 2>&1; then
    tail -n 15 "$dir/apt.log" >&2
    echo "wine 32-bit packages at $version could not be fetched from $mirror $codename main (all of it in $dir/apt.log)" >&2
    return 1
  fi
  mkdir -p "$dir/root.partial"
  for deb in "$dir"/apt/cache/archives/*.deb; do
    dpkg-deb -x "$deb" "$dir/root.partial" || return 1
  done
  # Merged /usr, as the system has it: the i386 loader (/lib/ld-linux.so.2) lives in usr/lib.
  if [ -d "$dir/root.partial/lib" ]; then
    cp -a "$dir/root.partial/lib/." "$dir/root.partial/usr/lib/" && rm -rf "$dir/root.partial/lib"
  fi
  # What libwine's install script does, which unpacking skips: Wine's own zlib1.dll, made from
  # libz-mingw-w64's with a builtin DLL's mark. Without it no 32-bit process starts.
  in=$dir/root.partial/usr/i686-w64-mingw32/lib/zlib1.dll
  out=$dir/root.partial/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
  [ -f "$in" ] || { echo "libz-mingw-w64's zlib1.dll is missing from the unpacked packages" >&2; return 1; }
  { head -c 64 "$in"; printf 'Wine builtin DLL'; printf '\0%.0s' $(seq 16); tail -c +97 "$in"; } >"$out"
  mv "$dir/root.partial" "$dir/root"
  wine32_root_stamp "$version" >"$dir/stamp"
}
