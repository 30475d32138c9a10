# shellcheck shell=bash
# Sourced by the Windows build scripts: use_prebuilt PREFIX fills the cache
# folder PREFIX from a packed copy of it, when one of the same name sits in
# the prebuilt folder (../shared/prebuilt beside the clone, or
# $ZELOR_PREBUILT_DIR) and its checksum matches SHA256SUMS there. Returns 0
# when PREFIX is then complete; otherwise says why and returns 1, and the
# caller builds from source.
#
# The packed files name the folder they were built for, so a copy is used
# only where PREFIX is that folder.
prebuilt_home=/root/.cache/zelor-k3-tester

use_prebuilt() {
  local prefix=$1 name dir archive sums unpack
  name=$(basename "$prefix")
  dir=${ZELOR_PREBUILT_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/shared/prebuilt}
  archive="$dir/$name.tar.xz"
  sums="$dir/SHA256SUMS"
  if [ ! -f "$archive" ]; then
    echo "No prebuilt $name.tar.xz in $dir: building from source." >&2
    return 1
  fi
  if [ "$(dirname "$prefix")" != "$prebuilt_home" ]; then
    echo "The prebuilt $name was built for $prebuilt_home, not $(dirname "$prefix"): building from source." >&2
    return 1
  fi
  if ! grep -q " $name.tar.xz\$" "$sums" 2> /dev/null \
    || ! (cd "$dir" && grep " $name.tar.xz\$" SHA256SUMS | sha256sum --check --status); then
    echo "The prebuilt $name.tar.xz does not match its checksum in $sums: building from source." >&2
    return 1
  fi
  # Unpacked beside the cache folder and moved into place whole, so that a
  # broken unpack never leaves a folder that looks built.
  mkdir -p "$prebuilt_home"
  unpack=$(mktemp -d "$prebuilt_home/unpack-XXXXXX")
  if ! tar -xJf "$archive" -C "$unpack" || [ ! -f "$unpack/$name/.complete" ]; then
    rm -rf "$unpack"
    echo "The prebuilt $name.tar.xz does not unpack to a complete $name: building from source." >&2
    return 1
  fi
  rm -rf "$prefix"
  mv "$unpack/$name" "$prefix"
  rm -rf "$unpack"
  echo "Unpacked the prebuilt $name.tar.xz (checksum matched) from $dir." >&2
}
