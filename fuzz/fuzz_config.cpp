// Arbitrary bytes as a filter configuration: the loader may only end in the system's own errors
// (std::exception with a message), never in a crash, a sanitizer report or a hang. A filter that
// loads takes one update at time 0 with no sensor populated.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "ukf/Filter.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
  try {
    const ukf::json config = ukf::json::parse(data, data + size);
    ukf::Filter filter(config);
    filter.update(filter.get_empty_measurement(), 0.0);
  } catch (const std::exception&) {
    // the system's own errors
  }
  return 0;
}
