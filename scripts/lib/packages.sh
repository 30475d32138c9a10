# Sourced by the scripts: install_missing PACKAGE... installs with apt-get
# (as root, or through sudo) the Debian packages that are not installed yet.
install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
      || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  local as_root=()
  if [ "$(id -u)" != 0 ]; then
    command -v sudo > /dev/null || { echo "Please install as root: ${missing[*]}" >&2; return 1; }
    as_root=(sudo)
  fi
  "${as_root[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
}

# Sourced by the scripts: enable_sources PACKAGE [VERSION] makes `apt-get source
# PACKAGE[=VERSION]` work. When apt knows no such source, it adds a deb-src
# entry beside every deb entry apt is configured with (the same archives,
# suites, components and keys, so whatever mirror this machine uses) and
# updates apt's lists.
enable_sources() {
  local package=$1 version=${2:-.*}
  apt-cache showsrc "$package" 2>/dev/null | grep -q "^Version: $version$" && return 0
  local as_root=()
  [ "$(id -u)" = 0 ] || as_root=(sudo)
  echo "Adding deb-src entries for the archives apt already uses, for apt-get source"
  # deb822 stanzas: one a paragraph, comment lines dropped.
  { awk 'BEGIN { RS = ""; ORS = "\n\n" }
         { gsub(/(^|\n)#[^\n]*/, "") }
         /(^|\n)Types:[^\n]*deb/ && !/deb-src/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
      /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } \
    | "${as_root[@]}" tee /etc/apt/sources.list.d/zelor-deb-src.sources > /dev/null
  # One-line entries.
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } \
    | sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' \
    | "${as_root[@]}" tee /etc/apt/sources.list.d/zelor-deb-src.list > /dev/null
  "${as_root[@]}" apt-get update -q
}
