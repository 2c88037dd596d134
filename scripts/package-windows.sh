#!/usr/bin/env bash
# Packs the Windows release from a Windows build folder (default build-windows, made by
# scripts/build-windows.sh, which calls this): qel-<version>-windows-x86_64.zip in that
# folder, holding its stripped qel.exe and README-windows.txt with Windows line ends.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-windows}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
if [ -z "$version" ] || [ ! -f "$build/qel.exe" ]; then
  echo "package-windows: $build holds no configured Windows build with qel.exe" >&2
  exit 1
fi
zip=$build/qel-$version-windows-x86_64.zip

python3 - "$build/qel.exe" packaging/windows/README-windows.txt "$version" "$zip" <<'PY'
import os
import sys
import time
import zipfile

exe, readme, version, out = sys.argv[1:]
text = open(readme, encoding="utf-8").read().replace("@VERSION@", version)
# Both entries carry the program's time, so packing the same build again gives the same zip.
stamp = time.localtime(os.stat(exe).st_mtime)[:6]


def entry(name: str) -> zipfile.ZipInfo:
    info = zipfile.ZipInfo(name, date_time=stamp)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 0  # MS-DOS attributes, as Windows' own tools write them
    return info


with zipfile.ZipFile(out + ".part", "w") as z:
    with open(exe, "rb") as f:
        z.writestr(entry("qel.exe"), f.read())
    z.writestr(entry("README-windows.txt"), text.replace("\n", "\r\n").encode("utf-8"))
os.replace(out + ".part", out)
PY
echo "zip: $PWD/$zip"
