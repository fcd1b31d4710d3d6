#pragma once

// The arithmetic of the built-in fields, sensors and models, written once, on flat blocks.
//
// Each built-in's public operation (State- or Measurement-based: it looks its blocks up by name,
// checks them and reads them out) and the filter's engine (which resolves the blocks' offsets once
// per filter or update and works on the columns of preallocated matrices) both call these
// functions. A block is an Eigen::Ref to a run of entries: a segment of a sigma point's column for
// the engine, a field's or a reading's own vector for the classes. Nothing here checks lengths or
// allocates; the callers have checked.
//
// Adding a built-in is: its class, its kernel here, and its row in the engine's table of kinds.
#include <cmath>
#include <cstring>

#include <Eigen/Core>

#include "fields/rotation.hpp"
#include "ukf/helpers.hpp"

namespace ukf::detail::kernel
{

using Block = Eigen::Ref<VectorX>;
using ConstBlock = Eigen::Ref<const VectorX>;

// ---- Fields --------------------------------------------------------------------------------

/// x += d, or x -= d when `inverse`: the displacement of a generic field and of a reading.
inline void add(Block x, const ConstBlock& d, bool inverse)
{
  if (inverse) {
    for (Eigen::Index i = 0; i < x.size(); ++i) {
      x[i] -= d[i];
    }
  } else {
    for (Eigen::Index i = 0; i < x.size(); ++i) {
      x[i] += d[i];
    }
  }
}

/// Wraps every entry into [-pi, pi).
inline void wrap(Block x)
{
  for (Eigen::Index i = 0; i < x.size(); ++i) {
    x[i] = wrap_angle(x[i]);
  }
}

/// The displacement of Euler angles: added, then wrapped.
inline void add_angles(Block x, const ConstBlock& d, bool inverse)
{
  add(x, d, inverse);
  wrap(x);
}

/// The displacement of a rotation vector `r` (3 entries) by the rotation vector `d`, composed on
/// the right (its inverse when `inverse`): the ANGLE_AXIS field's arithmetic, on its flat form.
inline void compose_rotation_vector(Block r, const ConstBlock& d, bool inverse)
{
  const Eigen::Vector3d start = r;
  const AngleAxis result = composed(from_rotation_vector(start), d, inverse);
  r = result.angle() * result.axis();
}

/// Rows [first, first + out.size()) of `columns`, weighted by `w` and summed over the columns:
/// the mean of a generic field and of a linear reading.
inline void linear_mean(const MatrixX& columns, const VectorX& w, Eigen::Index first, Block out)
{
  out.setZero();
  for (Eigen::Index i = 0; i < columns.cols(); ++i) {
    for (Eigen::Index k = 0; k < out.size(); ++k) {
      out(k) += w(i) * columns(first + k, i);
    }
  }
}

/// The same rows averaged on the circle: atan2 of the weighted sine and cosine sums, wrapped. The
/// mean of Euler angles.
inline void circular_mean(const MatrixX& columns, const VectorX& w, Eigen::Index first, Block out)
{
  for (Eigen::Index k = 0; k < out.size(); ++k) {
    double sin_sum = 0.0, cos_sum = 0.0;
    if (columns.cols() == 0) {
      out(k) = wrap_angle(std::atan2(sin_sum, cos_sum));
      continue;
    }
    // Sigma points often share an angle with the first one: its sine and cosine are kept.
    const double first_angle = columns(first + k, 0);
    const double first_sin = std::sin(first_angle), first_cos = std::cos(first_angle);
    sin_sum += w(0) * first_sin;
    cos_sum += w(0) * first_cos;
    for (Eigen::Index i = 1; i < columns.cols(); ++i) {
      const double angle = columns(first + k, i);
      const bool same = std::memcmp(&angle, &first_angle, sizeof(double)) == 0;
      sin_sum += w(i) * (same ? first_sin : std::sin(angle));
      cos_sum += w(i) * (same ? first_cos : std::cos(angle));
    }
    out(k) = wrap_angle(std::atan2(sin_sum, cos_sum));
  }
}

/// The mean of rotation vectors in rows [first, first + 3) of `columns`: the eigenvector of the
/// largest eigenvalue of the weighted sum of q q^T (mean_rotation), as a rotation vector.
inline void rotation_mean(const MatrixX& columns, const VectorX& w, Eigen::Index first, Block out)
{
  Eigen::Matrix4d a = Eigen::Matrix4d::Zero();
  for (Eigen::Index i = 0; i < columns.cols(); ++i) {
    const Eigen::Vector3d r = columns.col(i).segment<3>(first);
    add_weighted_outer(a, from_rotation_vector(r), w(i));
  }
  const AngleAxis m = mean_rotation(a);
  out = m.angle() * m.axis();
}

// ---- Models --------------------------------------------------------------------------------
//
// A model's kernel reads and writes through pointers to the first entry of each block: the
// engine calls it for every sigma point and Runge-Kutta stage, so nothing is built per call.

/// The planar point mass: the position moves with the velocity.
inline void point_mass_2d(const double* velocity, double* position_rate)
{
  position_rate[0] = velocity[0];
  position_rate[1] = velocity[1];
}

/// The sines and cosines of three Euler angles, kept with the angles they were taken of, so that
/// the same angles (bit for bit) are not taken again: the same inputs give the same outputs. The
/// Runge-Kutta stages of a rigid body repeat angles: its angular velocity does not change within
/// a step, so the second and third stages turn by the same angles, and the sigma points that
/// differ from the mean only in the velocity's change keep the mean's angles.
struct EulerTrig
{
  double e[3] = {0.0, 0.0, 0.0};
  double c[3] = {1.0, 1.0, 1.0};
  double s[3] = {0.0, 0.0, 0.0};

  /// Whether these are the sines and cosines of `euler`.
  bool holds(const double* euler) const { return std::memcmp(e, euler, sizeof(e)) == 0; }
  void take(const double* euler)
  {
    for (int i = 0; i < 3; ++i) {
      e[i] = euler[i];
      c[i] = std::cos(e[i]);
      s[i] = std::sin(e[i]);
    }
  }
};

/// The rigid body: the position moves with the body velocity turned into the world by the Euler
/// angles, Rz(e2) Ry(e1) Rx(e0) v, one rotation at a time; the angles change at the body rates.
inline void rigid_body(const EulerTrig& t, const double* velocity, const double* angular,
                       double* position_rate, double* orientation_rate)
{
  const double c0 = t.c[0], s0 = t.s[0], c1 = t.c[1], s1 = t.s[1], c2 = t.c[2], s2 = t.s[2];
  const double v0 = velocity[0], v1 = velocity[1], v2 = velocity[2];
  const double a1 = c0 * v1 - s0 * v2, a2 = s0 * v1 + c0 * v2;  // about x
  const double b0 = c1 * v0 + s1 * a2, b2 = c1 * a2 - s1 * v0;  // about y
  position_rate[0] = c2 * b0 - s2 * a1;                         // about z
  position_rate[1] = s2 * b0 + c2 * a1;
  position_rate[2] = b2;
  orientation_rate[0] = angular[0];
  orientation_rate[1] = angular[1];
  orientation_rate[2] = angular[2];
}

/// The accelerating rigid body's velocity changes by the body acceleration.
inline void accelerate(const double* acceleration, double* velocity_rate)
{
  velocity_rate[0] = acceleration[0];
  velocity_rate[1] = acceleration[1];
  velocity_rate[2] = acceleration[2];
}

// ---- Sensors -------------------------------------------------------------------------------

/// A position or orientation sensor reads the first out.size() entries of its field.
inline void predict_block(const ConstBlock& field, Block out)
{
  for (Eigen::Index i = 0; i < out.size(); ++i) {
    out(i) = field(i);
  }
}

/// Wheel odometry: the forward speed, entry 0 of the velocity, and the yaw rate, entry 2 of the
/// angular velocity, each corrected by the state's estimates where the sensor has them (null
/// where not): s_v * v and s_w * w + b_w.
inline void predict_encoders(const ConstBlock& velocity, const ConstBlock& angular,
                             const double* speed_scale, const double* yaw_rate_scale,
                             const double* yaw_rate_bias, Block out)
{
  out(0) = speed_scale != nullptr ? *speed_scale * velocity(0) : velocity(0);
  double yaw_rate = angular(2);
  if (yaw_rate_scale != nullptr) {
    yaw_rate = *yaw_rate_scale * yaw_rate;
  }
  if (yaw_rate_bias != nullptr) {
    yaw_rate += *yaw_rate_bias;
  }
  out(1) = yaw_rate;
}

/// The IMU (acceleration, then angular velocity) and visual odometry (position, then Euler
/// angles): three entries of one field, then three of another.
inline void predict_pair(const ConstBlock& first, const ConstBlock& second, Block out)
{
  for (Eigen::Index i = 0; i < 3; ++i) {
    out(i) = first(i);
    out(3 + i) = second(i);
  }
}

/// The IMU with the biases of its accelerometer and gyro where the sensor has them (null where
/// not): each adds its three entries to the reading.
inline void predict_imu(const ConstBlock& acceleration, const ConstBlock& angular,
                        const double* accel_bias, const double* gyro_bias, Block out)
{
  predict_pair(acceleration, angular, out);
  for (Eigen::Index i = 0; i < 3; ++i) {
    if (accel_bias != nullptr) {
      out(i) += accel_bias[i];
    }
    if (gyro_bias != nullptr) {
      out(3 + i) += gyro_bias[i];
    }
  }
}

}  // namespace ukf::detail::kernel
