#!/usr/bin/env bash
# Cross-builds the macOS x86_64 bundle and vellum-host into BUILD_DIR, as a check (the stand-in
# SDK's libraries have no code), and prints the bundle's path, alone on standard output (the
# build's own output goes to standard error). The stand-in SDK is generated in
# BUILD_DIR/darwin-sdk on first use.
#   cmake/darwin/cross-build.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dir=${1:?usage: cross-build.sh BUILD_DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# Host library paths must not reach the Darwin link.
unset LIBRARY_PATH CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# A new tree is generated for Ninja where it is installed (as ./run does); one made earlier keeps
# its generator.
generator=()
if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
cmake -S "$root" -B "$dir" "${generator[@]}" --toolchain "$here/x86_64-apple-darwin.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLUM_BUILD_TESTS=OFF -DVELLUM_BUILD_HOST=ON \
    -DVELLUM_PKCS11_INCLUDE_DIR="$dir/darwin-sdk/opt/p11-kit/include" "${launcher[@]}" >&2
# The module, vellum-host, and the layout checks of the NPAPI headers compiled for Darwin.
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target vellum_plugin vellum_npapi_layout vellum-host >&2
bundle=$(find "$dir" -name vellum.plugin -type d -prune -print -quit)
[ -n "$bundle" ] || { echo "cross-build.sh: no vellum.plugin in $dir" >&2; exit 1; }
echo "$bundle"
