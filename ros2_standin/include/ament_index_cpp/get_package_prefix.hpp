#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace ament_index_cpp
{

/// A package missing from every prefix of AMENT_PREFIX_PATH.
class PackageNotFoundError : public std::out_of_range
{
public:
  PackageNotFoundError(const std::string& _package_name, const std::vector<std::string>& prefixes);
  const std::string package_name;
};

/// The first prefix of AMENT_PREFIX_PATH with share/ament_index/resource_index/packages/<name>.
/// Throws std::runtime_error when AMENT_PREFIX_PATH is unset or empty.
std::string get_package_prefix(const std::string& package_name);

}  // namespace ament_index_cpp
