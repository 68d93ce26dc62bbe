# Configures and builds one build folder of the project. Sourced by scripts.
. "$(dirname "${BASH_SOURCE[0]}")/paths.sh"

jobs=$(nproc)

# build_native DIR [cmake args...]
build_native() {
  local dir=$1
  shift
  cmake -S "$repo_root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build_windows() {
  cmake -S "$repo_root" -B "$windows_build" \
    -DCMAKE_TOOLCHAIN_FILE="$repo_root/cmake/mingw-w64-x86_64.cmake" \
    -DBoost_DIR="$boost_windows_prefix/lib/cmake/Boost" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVMRSMGR_BENCH=ON >/dev/null
  cmake --build "$windows_build" -j "$jobs"
}

# The release: optimised, without tests, in a build folder of its own.
build_release() {
  cmake -S "$repo_root" -B "$release_build" \
    -DCMAKE_TOOLCHAIN_FILE="$repo_root/cmake/mingw-w64-x86_64.cmake" \
    -DBoost_DIR="$boost_windows_prefix/lib/cmake/Boost" \
    -DCMAKE_BUILD_TYPE=Release -DVMRSMGR_TESTS=OFF -DVMRSMGR_BENCH=OFF >/dev/null
  cmake --build "$release_build" -j "$jobs"
}
