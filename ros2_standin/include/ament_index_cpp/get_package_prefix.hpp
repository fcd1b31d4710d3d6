#pragma once

#include <stdexcept>
#include <string>

namespace ament_index_cpp
{

/// A package missing from every prefix of AMENT_PREFIX_PATH. The message lists the prefixes
/// searched: "package '<name>' not found, searching: [<prefix>, ...]".
class PackageNotFoundError : public std::out_of_range
{
public:
  explicit PackageNotFoundError(const std::string& package_name);
  virtual ~PackageNotFoundError();
  const std::string package_name;
};

/// The first prefix of AMENT_PREFIX_PATH with share/ament_index/resource_index/packages/<name>.
/// Throws std::runtime_error when AMENT_PREFIX_PATH is unset or empty.
std::string get_package_prefix(const std::string& package_name);

}  // namespace ament_index_cpp
