#pragma once

#include <string>

namespace ament_index_cpp
{

/// <prefix>/share/<package_name> (not checked to exist); errors as get_package_prefix
/// (declared in get_package_prefix.hpp, which, as in ROS 2, this header does not include).
std::string get_package_share_directory(const std::string& package_name);

}  // namespace ament_index_cpp
