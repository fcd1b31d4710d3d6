#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ament_index_cpp/get_package_prefix.hpp"
#include "ament_index_cpp/get_package_share_directory.hpp"

namespace ament_index_cpp
{

namespace
{

std::string format_not_found(const std::string& package, const std::vector<std::string>& prefixes)
{
  std::string text = "package '" + package + "' not found, searching: [";
  for (std::size_t i = 0; i < prefixes.size(); ++i) {
    text += (i == 0 ? "" : ", ") + prefixes[i];
  }
  return text + "]";
}

bool is_directory(const std::string& path)
{
  struct stat info
  {
  };
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

PackageNotFoundError::PackageNotFoundError(const std::string& _package_name,
                                           const std::vector<std::string>& prefixes)
  : std::out_of_range(format_not_found(_package_name, prefixes)), package_name(_package_name)
{
}

std::string get_package_prefix(const std::string& package_name)
{
  if (package_name.empty()) {
    throw std::runtime_error(
      "ament_index_cpp::get_package_prefix(): package name must not be empty");
  }
  const char* env = std::getenv("AMENT_PREFIX_PATH");
  if (env == nullptr || *env == '\0') {
    throw std::runtime_error("Environment variable 'AMENT_PREFIX_PATH' is not set or empty");
  }
  std::vector<std::string> searched;
  const std::string paths = env;
  std::size_t start = 0;
  while (start <= paths.size()) {
    const std::size_t end = std::min(paths.find(':', start), paths.size());
    const std::string prefix = paths.substr(start, end - start);
    start = end + 1;
    if (prefix.empty() || !is_directory(prefix)) {
      continue;
    }
    searched.push_back(prefix);
    std::ifstream marker(prefix + "/share/ament_index/resource_index/packages/" + package_name);
    if (marker.is_open()) {
      return prefix;
    }
  }
  throw PackageNotFoundError(package_name, searched);
}

std::string get_package_share_directory(const std::string& package_name)
{
  return get_package_prefix(package_name) + "/share/" + package_name;
}

}  // namespace ament_index_cpp
