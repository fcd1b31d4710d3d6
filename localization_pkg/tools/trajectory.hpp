#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "nav_msgs/msg/odometry.hpp"

namespace localisation_replay
{

/// One point of ground truth: a stamp, a position in metres and, when known, a heading.
struct TruthPoint
{
  int32_t sec = 0;
  uint32_t nanosec = 0;
  double x = 0.0, y = 0.0;
  bool has_yaw = false;
  double yaw = 0.0;
  double seconds() const { return sec + nanosec * 1e-9; }
};

/// A truth file that cannot be used; what() names the file, and the row where there is one.
class TruthError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

/// Reads truth as CSV with a header row of `sec,nanosec,x,y` and optionally `yaw` (any rate, such
/// as GPS in local metres); other columns are ignored. Throws TruthError for a row that is not a
/// number, a non-finite value, a stamp not after the previous row's, or a file without rows.
std::vector<TruthPoint> read_truth(std::istream& in, const std::string& name);
std::vector<TruthPoint> read_truth_file(const std::string& path);

/// A truth point and the estimate nearest to it in time.
struct Pair
{
  TruthPoint truth;
  double x = 0.0, y = 0.0, yaw = 0.0;  // the estimate
  double seconds = 0.0;                // the estimate's stamp
};

/// Each truth point with the estimate nearest in time, when that is within `tolerance` seconds.
/// `odometry` must be in stamp order, as the node publishes it.
std::vector<Pair> associate(const std::vector<TruthPoint>& truth,
                            const std::vector<nav_msgs::msg::Odometry>& odometry,
                            double tolerance);

/// The rotation (angle) and translation that best map the estimates onto the truth in the least
/// squares sense, without scale (2D Umeyama/Kabsch, as `evo_ape --align` does in the plane).
struct Alignment
{
  double angle = 0.0, tx = 0.0, ty = 0.0;
  void apply(double x, double y, double& ax, double& ay) const;
};
Alignment align(const std::vector<Pair>& pairs);

/// Absolute and relative errors against truth.
struct TrajectoryErrors
{
  std::size_t pairs = 0;
  Alignment alignment;
  double ate_rms = 0.0, ate_max = 0.0;              // after the alignment
  double unaligned_rms = 0.0, unaligned_final = 0.0;  // as published, in the start frame
  double rpe_distance = 0.0;                        // metres along the truth
  std::size_t rpe_segments = 0;
  bool rpe_with_heading = false;  // SE(2) relative poses; else displacements in the aligned frame
  double rpe_rms = 0.0, rpe_max = 0.0;
};

/// ATE after alignment (RMS and largest), the unaligned figures, and the RPE over segments of
/// `rpe_distance` metres of truth path: for each pair, the first later pair at least that far
/// along. With headings on both ends the relative pose errors are those of SE(2), as evo's RPE
/// computes them (the translation of (T_gt,i^-1 T_gt,j)^-1 (T_est,i^-1 T_est,j)); without them,
/// the difference of the displacements in the aligned frame. Needs at least two pairs.
TrajectoryErrors trajectory_errors(const std::vector<Pair>& pairs, double rpe_distance);

/// Every estimate as a TUM trajectory line: `t x y z qx qy qz qw`.
void write_tum(const std::vector<nav_msgs::msg::Odometry>& odometry, const std::string& path);
/// The associated truth the same way (no heading: the identity rotation).
void write_truth_tum(const std::vector<Pair>& pairs, const std::string& path);

}  // namespace localisation_replay
