#!/usr/bin/env bash
# Builds the release packages into dist/: the Debian package from a Release build installing
# under /usr (build-package), and the Windows zip from a Release mingw-w64 build
# (build-package-windows). Neither build builds or runs the tests; scripts/test.sh does, and
# tries both packages by installing them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh dpkg-dev lintian file g++-mingw-w64-x86-64-posix mingw-w64 libz-mingw-w64-dev \
  libgcrypt-mingw-w64-dev

jobs=$(nproc)
mkdir -p dist

echo "=== Debian package"
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DATE_BUILD_TESTS=OFF >/dev/null
cmake --build build-package -j "$jobs"
cpack -G DEB --config build-package/CPackConfig.cmake -B dist

echo "=== Windows zip"
cmake -S . -B build-package-windows -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DATE_BUILD_TESTS=OFF >/dev/null
cmake --build build-package-windows -j "$jobs"
cpack -G ZIP --config build-package-windows/CPackConfig.cmake -B dist

rm -rf dist/_CPack_Packages
echo "=== dist/"
ls -l dist/*.deb dist/*.zip
lintian --tag-display-limit 0 dist/*.deb || { echo "lintian reports errors" >&2; exit 1; }
