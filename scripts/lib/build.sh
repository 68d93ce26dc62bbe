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

# configure_windows DIR [cmake args...]: a MinGW-w64 cross build with the
# cached Boost for Windows.
configure_windows() {
  local dir=$1
  shift
  cmake -S "$repo_root" -B "$dir" \
    -DCMAKE_TOOLCHAIN_FILE="$repo_root/cmake/mingw-w64-x86_64.cmake" \
    -DBoost_DIR="$boost_windows_prefix/lib/cmake/Boost" "$@" >/dev/null
}

# build_windows [cmake --build args...], e.g. --target vmrsmgr
build_windows() {
  configure_windows "$windows_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVMRSMGR_BENCH=ON
  cmake --build "$windows_build" -j "$jobs" "$@"
}

# The installation tree of the Windows build, laid out by its install rules
# as in the release zip, with the test component as each of the four
# components. Its logs and its configuration file stay: the install rules
# bring only the example, bin/conf/vmrsmgr.conf.example.
stage_installation() {
  local root=$staged_installation
  # A program that changed is removed first, never overwritten: a service
  # may be running it.
  cmp -s "$windows_build/vmrsmgr.exe" "$root/bin/vmrsmgr.exe" || rm -f "$root/bin/vmrsmgr.exe"
  cmake --install "$windows_build" --prefix "$root" >/dev/null
  local c
  for c in dariri/dariri.exe devidori/devidori.exe zavadedad/zavadedad.exe tavrin/reduze.exe; do
    if ! cmp -s "$windows_build/test_component.exe" "$root/$c"; then
      mkdir -p "$root/${c%/*}"
      rm -f "$root/$c"
      cp "$windows_build/test_component.exe" "$root/$c"
    fi
  done
}

# Boots the build's Wine prefix with every output sent elsewhere: the command
# that boots a prefix hands its output to the Wine server, the service manager
# and the auto-start services, and a caller reading that command through a
# pipe would wait for as long as they run. The server then stays up for ten
# minutes after its last client, so that a sequence of commands sees one boot:
# each boot starts the auto-start services again.
boot_wine_prefix() {
  if [ ! -f "$wine_prefix/system.reg" ]; then
    # wine-run makes the prefix; a prefix made under a server that stays up
    # may get two service managers.
    "$windows_build/wine-run" wineboot </dev/null >/dev/null 2>&1
    WINEPREFIX=$wine_prefix wineserver -w
  fi
  # Fails harmlessly when a server runs already.
  WINEPREFIX=$wine_prefix wineserver -p600 </dev/null >/dev/null 2>&1 || true
  "$windows_build/wine-run" wineboot </dev/null >/dev/null 2>&1
}

# The release: optimised, without tests, in a build folder of its own.
build_release() {
  configure_windows "$release_build" -DCMAKE_BUILD_TYPE=Release -DVMRSMGR_TESTS=OFF \
    -DVMRSMGR_BENCH=OFF
  cmake --build "$release_build" -j "$jobs"
}
