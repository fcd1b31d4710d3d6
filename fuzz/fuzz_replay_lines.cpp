// Arbitrary bytes as ukf_replay measurement lines against a fixed, valid configuration: every
// line ends in an output line or a LineError, never in a crash, a sanitizer report or a hang, and
// every estimate written is finite.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "replay.hpp"
#include "ukf/helpers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
  static const ukf::json config = ukf::config::load_file(UKF_FUZZ_REPLAY_CONFIG);
  // Intervals of at most 50 ms (five integration steps): a longer gap only repeats the same
  // steps, and every input stays quick to run under the sanitizers.
  ukf::tools::Replay replay{ukf::Filter(config), 0.05};
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  std::string line;
  std::size_t number = 0;
  while (std::getline(input, line)) {
    try {
      const std::string out = replay.process(line, ++number);
      if (!out.empty() && !replay.filter().get_state().get_vector().allFinite()) {
        std::abort();
      }
    } catch (const ukf::tools::LineError&) {
      // the system's own error for a bad line
    }
  }
  return 0;
}
