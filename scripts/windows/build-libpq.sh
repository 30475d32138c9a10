#!/usr/bin/env bash
# Cross-builds libpq with OpenSSL for 64-bit Windows from Debian's own
# sources (openssl, postgresql-15) with mingw-w64, for the station's line
# database. The result is cached outside the clone and reused:
#   ${XDG_CACHE_HOME:-~/.cache}/zelor-k3-tester/libpq-<version>-openssl-<version>-mingw64-<key>
# Prints the prefix on its last line: bin/ holds libpq.dll, libssl-3-x64.dll
# and libcrypto-3-x64.dll; include/ and lib/ what the build links with.
#
# OpenSSL reads openssl.cnf from a folder compiled into libcrypto
# (OPENSSLDIR) on every connection libpq makes. A Unix-style folder would
# resolve on the current drive, where any user may create it and plant a
# configuration; this build compiles in the folder Windows builds of OpenSSL
# use, under Program Files, which only administrators may write.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/zelor-k3-tester
triple=x86_64-w64-mingw32
ssl_dir="C:/Program Files/Common Files/SSL"

# shellcheck source=scripts/lib/packages.sh
. "$here/../lib/packages.sh"
# shellcheck source=scripts/lib/prebuilt.sh
. "$here/../lib/prebuilt.sh"
install_missing g++-mingw-w64-x86-64-posix dpkg-dev perl make > /dev/null
enable_sources openssl
enable_sources postgresql-15
# The newest source the archive can give (a mirror may list a version it lacks).
fetch_source() {
  local version
  for version in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -Vr); do
    if (cd "$2" && apt-get source -q --download-only "$1=$version" > /dev/null 2>&1); then
      echo "$version"
      return 0
    fi
  done
  echo "no source of $1 could be fetched" >&2
  return 1
}
downloads="$cache/sources-libpq"
rm -rf "$downloads" && mkdir -p "$downloads"
ssl_version=$(fetch_source openssl "$downloads")
pg_version=$(fetch_source postgresql-15 "$downloads")

# The key follows the sources and the build steps, from the line "# Build." on.
key=$( (printf '%s\n' "$ssl_dir" "$ssl_version" "$pg_version"; sed -n '/^# Build\.$/,$p' "$0") \
  | sha256sum | cut -c1-12)
prefix="$cache/libpq-${pg_version%%-*}-openssl-${ssl_version%%-*}-mingw64-$key"
[ -f "$prefix/.complete" ] || use_prebuilt "$prefix" || true
if [ -f "$prefix/.complete" ]; then
  rm -rf "$downloads"
  echo "libpq for Windows already built:"
  echo "$prefix"
  exit 0
fi

# Build.
work="$cache/work-libpq-$key"
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
start=$(date +%s)
(cd "$downloads" && dpkg-source -x openssl_*.dsc "$work/openssl" > /dev/null \
  && dpkg-source -x postgresql-15_*.dsc "$work/postgresql" > /dev/null)

mkdir "$work/openssl-build"
(cd "$work/openssl-build" \
  && perl "$work/openssl/Configure" mingw64 --cross-compile-prefix=$triple- --prefix="$prefix" \
       --libdir=lib shared no-tests > "$work/openssl-configure.log" \
  && nice -n 19 make -j"$(nproc)" OPENSSLDIR="$ssl_dir" ENGINESDIR="$ssl_dir/engines-3" \
       MODULESDIR="$ssl_dir/ossl-modules" build_libs > "$work/openssl-build.log" 2>&1 \
  && make install_dev > /dev/null) || { tail -30 "$work/openssl-build.log"; exit 1; }
if ! grep -qa "$ssl_dir" "$prefix/bin/libcrypto-3-x64.dll"; then
  echo "libcrypto does not name $ssl_dir as its OPENSSLDIR" >&2
  exit 1
fi

mkdir "$work/pg-build"
(cd "$work/pg-build" \
  && "$work/postgresql/configure" --build=x86_64-pc-linux-gnu --host=$triple --prefix="$prefix" \
       --with-ssl=openssl --with-includes="$prefix/include" --with-libraries="$prefix/lib" \
       --without-readline --without-zlib --without-icu > "$work/pg-configure.log" 2>&1 \
  && nice -n 19 make -j"$(nproc)" -C src/interfaces/libpq > "$work/pg-build.log" 2>&1 \
  && make -C src/interfaces/libpq install > /dev/null) || { tail -30 "$work/pg-build.log"; exit 1; }
# libpq-fe.h includes these; libpq's install does not put them in.
for header in postgres_ext.h pg_config_ext.h pg_config.h pg_config_os.h pg_config_manual.h; do
  cp "$work/pg-build/src/include/$header" "$prefix/include/" 2>/dev/null \
    || cp "$work/postgresql/src/include/$header" "$prefix/include/"
done
rm -f "$prefix/lib/libpq.dll" # the install's second copy; bin/ has it
$triple-strip "$prefix"/bin/*.dll
echo "libpq $pg_version with OpenSSL $ssl_version for Windows built in $(( $(date +%s) - start )) s" \
  | tee "$prefix/.complete"
rm -rf "$work" "$downloads"
echo "$prefix"
