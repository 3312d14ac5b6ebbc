# Shared by the scripts that drive Wine. Debian's wine64 package keeps its 64-bit loader off PATH:
# ask the package where it put it.
wine_loader() {
  local path
  path=$(dpkg -L wine64 2>/dev/null | grep -E '/wine64$' | head -n 1)
  [ -n "$path" ] && [ -x "$path" ] || { echo "wine64 is not installed (scripts/install-deps.sh)" >&2; return 1; }
  echo "$path"
}

wine_server() {
  local path
  path=$(dpkg -L wine64 2>/dev/null | grep -E '/wineserver64$|/wineserver$' | head -n 1)
  if [ -z "$path" ]; then path=$(dpkg -L wine 2>/dev/null | grep -E '/wineserver$' | head -n 1); fi
  [ -n "$path" ] && [ -x "$path" ] || { echo "wineserver not found" >&2; return 1; }
  echo "$path"
}
