#pragma once

#include <vector>

#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"
#include "ukf/helpers.hpp"

namespace ukf
{

/// Every intermediate product of one filter update, on the filter's own time axis (seconds since
/// its first update). Default: empty containers, 0 x 0 matrices, times 0.
struct Step
{
  State prev_state;
  MatrixX prev_covar;
  double prev_time = 0.0;
  double dt = 0.0;
  double cur_time = 0.0;
  std::vector<State> propagated_sigmas;
  State priori_state;
  MatrixX priori_covar;
  Measurement sensor_measurement;
  std::vector<Measurement> measurement_sigmas;
  Measurement predicted_measurement;
  MatrixX predicted_measurement_covar;
  MatrixX cross_covar;
  MatrixX kalman_gain;
  Measurement residual;
  State posteriori_state;
  MatrixX posteriori_covar;
};

/// The normalised innovation squared of an update, r^T S^-1 r: r is the residual of the populated
/// sensors and S the predicted measurement covariance, noise included. For a consistent filter it
/// follows a chi-square distribution with as many degrees of freedom as r has entries, so its
/// mean over many updates is that number. 0 for a pure prediction (no sensor populated).
double normalised_innovation_squared(const Step& step);

}  // namespace ukf
