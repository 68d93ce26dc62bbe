# Shared locations of the project's scripts.
repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
boost_series=1.81
boost_version=1.81.0
# Outside the build folders, keyed by version, so a clean build reuses it.
cache_root=${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/vmrsmgr
boost_windows_prefix=$cache_root/boost-$boost_version-mingw-w64-x86_64
build_root=${VMRSMGR_BUILD_ROOT:-$repo_root/build}
windows_build=$build_root/windows
wine_prefix=$windows_build/wineprefix
staged_installation=$windows_build/installation
release_build=$build_root/release
dist_dir=$repo_root/dist
