# Makes an install prefix of this repository usable the way a sourced ROS 2 workspace is: the
# ament index finds localization_pkg, and the executables are on PATH.
_prefix="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export AMENT_PREFIX_PATH="${_prefix}${AMENT_PREFIX_PATH:+:${AMENT_PREFIX_PATH}}"
export PATH="${_prefix}/lib/localization_pkg:${_prefix}/bin${PATH:+:${PATH}}"
unset _prefix
