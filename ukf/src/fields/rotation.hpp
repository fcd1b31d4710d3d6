#pragma once

// Rotation arithmetic shared by AngleAxisField and the filter's engine, so that both compose and
// average rotations with the very same operations.
#include <Eigen/Core>
#include <Eigen/Geometry>

namespace ukf::detail
{

using AngleAxis = Eigen::AngleAxis<double>;
using Quat = Eigen::Vector4d;  // (w, x, y, z)

/// The rotation of a rotation vector (angle times unit axis); the zero vector is the identity.
AngleAxis from_rotation_vector(const Eigen::Vector3d& v);
Quat to_quaternion(const AngleAxis& r);
/// The rotation of a unit quaternion, its angle in [0, pi] (q and -q give the same rotation).
AngleAxis from_quaternion(const Quat& q);
/// Hamilton product a (x) b: rotates by b first, then by a.
Quat hamilton(const Quat& a, const Quat& b);
/// `r` composed on the right with the rotation vector `d` (3 entries; its inverse when
/// `inverse`): the displacement of an ANGLE_AXIS field.
AngleAxis composed(const AngleAxis& r, const Eigen::Ref<const Eigen::VectorXd>& d, bool inverse);
/// The same from the unit quaternion `q` of `r`, for a caller that composes several displacements
/// onto one rotation.
AngleAxis composed(const Quat& q, const Eigen::Ref<const Eigen::VectorXd>& d, bool inverse);
/// a += w q q^T, q the unit quaternion of `r`: one term of the rotations' mean.
void add_weighted_outer(Eigen::Matrix4d& a, const AngleAxis& r, double w);
/// The mean rotation of the terms summed into `a`: the eigenvector of its largest eigenvalue,
/// with a non-negative scalar part.
AngleAxis mean_rotation(const Eigen::Matrix4d& a);

}  // namespace ukf::detail
