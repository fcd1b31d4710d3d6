// Arbitrary bytes as a recorded drive's CSV (first byte even) or as a truth file (odd): every
// file ends in rows or in the reader's own errors (RowError, a header error, TruthError), never
// in a crash, a sanitizer report or a hang. The covariance, frame, orientation and truth columns
// are all in the seeds.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bag.hpp"
#include "drive_replay.hpp"
#include "trajectory.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
  if (size == 0) {
    return 0;
  }
  std::istringstream in(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  try {
    if ((data[0] & 1) == 0) {
      std::vector<localisation_replay::DriveRow> rows;
      localisation_replay::read_drive(in, "fuzz.csv", rows);
      localisation_replay::sort_by_stamp(rows);
    } else {
      const auto truth = localisation_replay::read_truth(in, "truth.csv");
      // Truth against itself as estimates: the alignment and relative errors on any values.
      std::vector<localisation_replay::Pair> pairs;
      for (const auto& t : truth) {
        pairs.push_back({t, t.x, t.y, t.yaw, t.seconds()});
      }
      if (pairs.size() >= 2) {
        localisation_replay::trajectory_errors(pairs, 1.0);
      }
    }
  } catch (const std::runtime_error&) {
    // RowError, TruthError and the header errors: the reader's own
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
