# Shared by the set-up scripts: installs the Debian packages a build needs when they are missing.
# The build itself needs build_packages; the tests and the benchmark also need test_packages.
build_packages=(cmake g++ ninja-build libeigen3-dev nlohmann-json3-dev)
test_packages=(libgtest-dev libbenchmark-dev)

# install_missing_packages [PACKAGE ...]: the build's packages, the test packages unless
# --build-only comes first, and any named ones.
install_missing_packages() {
  local wanted=("${build_packages[@]}")
  if [ "${1:-}" = "--build-only" ]; then
    shift
  else
    wanted+=("${test_packages[@]}")
  fi
  local missing=()
  for p in "${wanted[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing Debian packages: ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  elif command -v sudo >/dev/null; then
    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  else
    echo "error: these packages are missing and neither root nor sudo is available: ${missing[*]}" >&2
    return 1
  fi
}

# A build folder configured from another source folder (the repository's root, before the build
# for machines without colcon moved to superbuild/) or with another generator cannot be
# reconfigured: its cache is dropped so that it configures afresh.
reset_stale_build() {
  local build=$1 source=$2 generator=$3 cache="$1/CMakeCache.txt"
  [ -f "$cache" ] || return 0
  if ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$source" "$cache" \
     || ! grep -qxF "CMAKE_GENERATOR:INTERNAL=$generator" "$cache"; then
    echo "Configuring $build afresh (it was configured from another source folder or generator)"
    rm -rf "$cache" "$build/CMakeFiles"
  fi
}
