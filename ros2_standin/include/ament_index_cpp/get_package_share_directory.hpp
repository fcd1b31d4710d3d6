#pragma once

#include <string>

#include "ament_index_cpp/get_package_prefix.hpp"

namespace ament_index_cpp
{

/// <prefix>/share/<package_name> (not checked to exist); errors as get_package_prefix.
std::string get_package_share_directory(const std::string& package_name);

}  // namespace ament_index_cpp
