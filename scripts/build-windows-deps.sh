#!/usr/bin/env bash
# Builds OpenSSL and libcurl as static Windows libraries from Debian's own source packages,
# with the MinGW-w64 cross compiler, and prints the folder they are installed in.
#
# Each build lives in its own folder named after the OpenSSL version, the curl version, the
# compiler version and the recipe below, under ${QEL_DEPS_CACHE:-~/.cache/qel}/windows-deps,
# so a machine (or a CI cache) builds each combination once. A folder counts only once its
# stamp file exists, and the stamp is written after everything else succeeded.
#
# Only the prefix goes to standard output; progress and errors go to standard error.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
target=x86_64-w64-mingw32
cache=${QEL_DEPS_CACHE:-$HOME/.cache/qel}/windows-deps
jobs=${QEL_JOBS:-4}
# Raise when the build options below change, so an older build is not taken for a new one.
recipe=1

say() { printf 'build-windows-deps: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

for tool in "$target-gcc-posix" "$target-ar" cmake ninja make perl apt-get dpkg-source flock; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup.sh installs it)"
done

mkdir -p "$cache"
# One build at a time per cache: a second caller waits and then finds the finished build.
exec 8>"$cache/.lock"
flock 8

compiler=$(dpkg-query -W -f='${Version}' "gcc-mingw-w64-x86-64-posix" 2>/dev/null ||
           "$target-gcc-posix" -dumpfullversion)

# --- Which source versions: Debian bookworm's, through a private apt configuration -----------
# The machine's own sources, lists and caches stay untouched: only deb-src entries for the
# mirror the machine already uses go into a folder of our own.
apt_dir=$cache/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
apt_opts=(
  -o "Dir::Etc::sourcelist=$apt_dir/sources.list"
  -o "Dir::Etc::sourceparts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=$(id -un)"
)

mirrors=$(apt-get indextargets --format '$(TARGET_OF) $(REPO_URI) $(RELEASE)' 2>/dev/null |
          awk '$1 == "deb" && $3 == "bookworm" { print $2 }' | sort -u)
[ -n "$mirrors" ] || mirrors=http://deb.debian.org/debian/
sources=""
for uri in $mirrors; do sources+="deb-src $uri bookworm main"$'\n'; done
if [ ! -f "$apt_dir/sources.list" ] || [ "$(cat "$apt_dir/sources.list")"$'\n' != "$sources" ]; then
  printf '%s' "$sources" >"$apt_dir/sources.list"
  rm -f "$apt_dir/lists/"*_Sources* "$apt_dir/lists/"*Release*
fi

# The source lists are refreshed at most once a day; without a network an older list still
# names the versions of a build that may already be in the cache.
if [ -z "$(find "$apt_dir/lists" -maxdepth 1 -name '*_Sources*' -mmin -1440 2>/dev/null)" ]; then
  say "refreshing the bookworm source lists"
  if ! apt-get "${apt_opts[@]}" -qq update >&2; then
    [ -n "$(find "$apt_dir/lists" -maxdepth 1 -name '*_Sources*')" ] ||
      die "cannot download the bookworm source lists"
    say "the source lists could not be refreshed; using the ones from before"
  fi
fi

uris=$(apt-get "${apt_opts[@]}" source --print-uris openssl/bookworm curl/bookworm 2>/dev/null) ||
  die "apt-get source cannot find openssl and curl in bookworm"
openssl_version=$(sed -n "s/^'[^']*' openssl_\([^ ]*\)\.dsc .*/\1/p" <<<"$uris")
curl_version=$(sed -n "s/^'[^']*' curl_\([^ ]*\)\.dsc .*/\1/p" <<<"$uris")
[ -n "$openssl_version" ] && [ -n "$curl_version" ] || die "cannot tell the source versions"

key="openssl-${openssl_version}_curl-${curl_version}_gcc-${compiler}_r${recipe}"
key=${key//[:\/]/_}
prefix=$cache/$key
stamp=$prefix/.complete

if [ -f "$stamp" ]; then
  say "using $prefix"
  echo "$prefix"
  exit 0
fi

say "building OpenSSL $openssl_version and curl $curl_version with $target-gcc-posix $compiler"
work=$cache/.work-$key
# Installed straight into its final folder (the paths in curl's and OpenSSL's package files
# stay right); without the stamp, a half-built folder is simply built again.
rm -rf "$work" "$prefix"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
started=$SECONDS

(cd "$work" && apt-get "${apt_opts[@]}" -qq source --download-only \
   "openssl=$openssl_version" "curl=$curl_version" >&2)
# apt checked the downloads against the signed source lists (dpkg-source cannot check the
# uploaders' signatures without debian-keyring, and says so). Unpacking applies Debian's
# patches.
for package in openssl curl; do
  version_var=${package}_version
  version=${!version_var}
  dpkg-source -x "$work/${package}_${version#*:}.dsc" "$work/$package" >"$work/unpack.log" 2>&1 ||
    { cat "$work/unpack.log" >&2; die "cannot unpack $package"; }
done

# --- OpenSSL ---------------------------------------------------------------------------------
# No engines, modules or DSO loading and no automatic configuration file: nothing outside the
# exe can change its TLS or crypto. The folders compiled in are the Windows defaults under
# Program Files, which an ordinary user cannot create (nothing is read from them anyway).
openssl_dirs=(
  "OPENSSLDIR=C:/Program Files/Common Files/SSL"
  "ENGINESDIR=C:/Program Files/OpenSSL/lib/engines-3"
  "MODULESDIR=C:/Program Files/OpenSSL/lib/ossl-modules"
)
say "OpenSSL: configuring and building"
(
  cd "$work/openssl"
  ./Configure mingw64 --cross-compile-prefix="$target-" CC=gcc-posix \
    --prefix="$prefix" --libdir=lib \
    no-shared no-tests no-engine no-module no-legacy no-dso no-autoload-config
  make -j "$jobs" build_libs "${openssl_dirs[@]}"
  make install_dev "${openssl_dirs[@]}"
) >"$work/openssl.log" 2>&1 || { tail -n 40 "$work/openssl.log" >&2; die "OpenSSL failed"; }
openssl_seconds=$((SECONDS - started))

# --- libcurl ---------------------------------------------------------------------------------
# HTTP and HTTPS only, through OpenSSL, with proxies (CONNECT included), gzip via zlib from
# libz-mingw-w64-dev, and the threaded resolver. No CA file or folder is compiled in: qel
# hands libcurl its roots itself. OpenSSL's configuration file is never loaded.
say "curl: configuring and building"
(
  cmake -S "$work/curl" -B "$work/curl-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_FIND_ROOT_PATH="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
    -DCURL_USE_OPENSSL=ON -DCURL_USE_SCHANNEL=OFF -DOPENSSL_ROOT_DIR="$prefix" \
    -DOPENSSL_USE_STATIC_LIBS=ON -DCURL_DISABLE_OPENSSL_AUTO_LOAD_CONFIG=ON \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DCURL_CA_FALLBACK=OFF \
    -DCURL_ZLIB=ON -DZLIB_USE_STATIC_LIBS=ON \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_LIBPSL=OFF -DUSE_LIBIDN2=OFF \
    -DUSE_NGHTTP2=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DENABLE_UNIX_SOCKETS=OFF \
    -DENABLE_THREADED_RESOLVER=ON -DENABLE_IPV6=ON
  cmake --build "$work/curl-build" -j "$jobs"
  cmake --install "$work/curl-build"
) >"$work/curl.log" 2>&1 || { tail -n 40 "$work/curl.log" >&2; die "curl failed"; }
curl_seconds=$((SECONDS - started - openssl_seconds))

# The features qel relies on must all have made it in.
features=$(grep -h '^#define \(USE_OPENSSL\|HAVE_LIBZ\|USE_THREADS_WIN32\|ENABLE_IPV6\) ' \
             "$work/curl-build/lib/curl_config.h" | awk '{print $2}' | sort | tr '\n' ' ')
for want in ENABLE_IPV6 HAVE_LIBZ USE_OPENSSL USE_THREADS_WIN32; do
  case " $features" in *" $want "*) ;; *) die "curl was built without $want" ;; esac
done
if grep -q '^#define CURL_DISABLE_PROXY ' "$work/curl-build/lib/curl_config.h"; then
  die "curl was built without proxy support"
fi
[ -f "$prefix/lib/libcurl.a" ] && [ -f "$prefix/lib/libssl.a" ] &&
  [ -f "$prefix/lib/libcrypto.a" ] && [ -f "$prefix/include/curl/curl.h" ] ||
  die "the build did not install the expected libraries"

cat >"$prefix/versions.txt" <<EOF
openssl $openssl_version
curl $curl_version
compiler $target-gcc-posix $compiler
recipe $recipe
openssl_seconds $openssl_seconds
curl_seconds $curl_seconds
EOF
touch "$stamp"
say "built in $((SECONDS - started)) s (OpenSSL ${openssl_seconds} s, curl ${curl_seconds} s)"
echo "$prefix"
