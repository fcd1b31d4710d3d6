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

bool is_directory(const std::string& path)
{
  struct stat info
  {
  };
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The existing directories of AMENT_PREFIX_PATH, in order.
std::vector<std::string> search_paths()
{
  const char* env = std::getenv("AMENT_PREFIX_PATH");
  if (env == nullptr || *env == '\0') {
    throw std::runtime_error("Environment variable 'AMENT_PREFIX_PATH' is not set or empty");
  }
  std::vector<std::string> paths;
  const std::string all = env;
  std::size_t start = 0;
  while (start <= all.size()) {
    const std::size_t end = std::min(all.find(':', start), all.size());
    const std::string prefix = all.substr(start, end - start);
    start = end + 1;
    if (!prefix.empty() && is_directory(prefix)) {
      paths.push_back(prefix);
    }
  }
  return paths;
}

std::string format_not_found(const std::string& package)
{
  std::string text = "package '" + package + "' not found, searching: [";
  const std::vector<std::string> prefixes = search_paths();
  for (std::size_t i = 0; i < prefixes.size(); ++i) {
    text += (i == 0 ? "" : ", ") + prefixes[i];
  }
  return text + "]";
}

}  // namespace

PackageNotFoundError::PackageNotFoundError(const std::string& package_name)
  : std::out_of_range(format_not_found(package_name)), package_name(package_name)
{
}

PackageNotFoundError::~PackageNotFoundError() = default;

std::string get_package_prefix(const std::string& package_name)
{
  if (package_name.empty()) {
    throw std::runtime_error("ament_index_cpp::get_resource() resource name must not be empty");
  }
  for (const std::string& prefix : search_paths()) {
    std::ifstream marker(prefix + "/share/ament_index/resource_index/packages/" + package_name);
    if (marker.is_open()) {
      return prefix;
    }
  }
  throw PackageNotFoundError(package_name);
}

std::string get_package_share_directory(const std::string& package_name)
{
  return get_package_prefix(package_name) + "/share/" + package_name;
}

}  // namespace ament_index_cpp
