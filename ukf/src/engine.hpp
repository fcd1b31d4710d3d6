#pragma once

// The filter's update on flat storage. The state's layout (which fields lie where and what their
// arithmetic is) and the model are resolved once, when the filter is made; every update then
// works on one vector per sigma point, held as the columns of preallocated matrices, and the
// built-in fields, sensors and models do their arithmetic directly on those columns. User-defined
// fields, sensors and models take part through their virtual operations on scratch copies: the
// same results, more slowly. A steady run of updates with built-in components allocates nothing.
#include <memory>
#include <vector>

#include <Eigen/Cholesky>

#include "kernels.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"
#include "ukf/Step.hpp"
#include "ukf/helpers.hpp"
#include "ukf/models/iModel.hpp"

namespace ukf::detail
{

/// Everything an update produces, flat: the filter's Step is made from it when asked for.
struct FlatStep
{
  double prev_time = 0.0, dt = 0.0, cur_time = 0.0;
  VectorX prev_x;
  MatrixX prev_P;
  MatrixX sigmas;  // the propagated sigma points, one per column
  VectorX prior_x;
  MatrixX prior_P;
  Measurement measurement;  // as the caller gave it
  MatrixX z_sigmas;         // the populated sensors' predictions, one column per sigma point
  VectorX z_mean;
  MatrixX S, C, K;
  VectorX residual;
  VectorX post_x;
  MatrixX post_P;
};

class Engine
{
public:
  /// Resolves the layout of `state` and the model; neither is kept.
  Engine(const State& state, const IModel& model, double lambda, const VectorX& weights_state,
         const VectorX& weights_covar);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  /// One predict-and-correct cycle from `state` and `covar` over `dt` seconds from `prev_time`,
  /// with the populated sensors of `z`, into the working record. Throws as Filter::update does;
  /// the committed record is untouched until commit().
  void update(const State& state, const MatrixX& covar, const IModel& model, const Measurement& z,
              double prev_time, double dt);
  /// Makes the working record the last one, taking `z` as its measurement. Allocates nothing.
  void commit(Measurement&& z);
  /// The same, copying `z` over the record's measurement, which keeps its sensor objects.
  void commit(const Measurement& z);
  /// The working record's posterior, for the filter to adopt.
  const VectorX& posterior_state() const { return _work.post_x; }
  const MatrixX& posterior_covar() const { return _work.post_P; }
  /// Whether every populated reading of `z` is finite.
  bool is_finite(const Measurement& z);
  /// Writes a flat state vector into `state`, field by field.
  void write_state(const VectorX& x, State& state);
  /// The last committed update as a Step; an empty Step before the first.
  Step last_step(const State& layout) const;
  bool has_last() const { return _has_last; }
  const FlatStep& last() const { return _last; }

private:
  enum class FieldKind { Linear, EulerAngles, AngleAxis, Custom };
  struct FieldSlot
  {
    FieldKind kind;
    Eigen::Index offset, size;
    std::unique_ptr<IField> scratch;  // a copy of a user-defined field, worked on in place
    VectorX value;                    // the field's block, for set_vector
  };
  enum class ModelKind { PointMass2D, RigidBody, AcceleratingRigidBody, Custom };
  // The built-in sensors, each predicted by its kernel; the others through their virtual
  // operations on a copy.
  enum class SensorKind { Position, Orientation, Encoders, Imu, VO, Custom };
  struct FieldBlock
  {
    Eigen::Index offset = 0, size = 0;
  };
  struct SensorSlot
  {
    SensorKind kind;
    const ISensor* sensor;
    Eigen::Index offset, size;         // the block in the compact measurement vector
    FieldBlock fields[2];              // the state's blocks the prediction reads
    Eigen::Index corrections[3];       // the correcting fields' offsets (biases, scales); -1: none
    bool at_mean[3];                   // a correction every sigma point reads at the prior mean
    std::unique_ptr<ISensor> scratch;  // a copy of a user-defined sensor
  };

  void displace(Eigen::Ref<VectorX> x, const Eigen::Ref<const VectorX>& d, bool inverse);
  void displace_field(FieldSlot& f, Eigen::Ref<VectorX> xb, const Eigen::Ref<const VectorX>& db,
                      bool inverse);
  void start_rotations(const MatrixX& x);
  void displace_from_start(Eigen::Index column, const Eigen::Ref<const VectorX>& start,
                           const Eigen::Ref<const VectorX>& d, Eigen::Ref<VectorX> out);
  void state_mean(const MatrixX& sigmas, VectorX& mean);
  void state_difference(Eigen::Ref<VectorX> a, const VectorX& b);
  void derivatives(const IModel& model, const MatrixX& x, double t, MatrixX& k);
  void rk4_step(const IModel& model, MatrixX& x, double t0, double h);
  void resolve_sensors(const State& state, const Measurement& z);
  void swap_records();
  void predict(const SensorSlot& s, const Eigen::Ref<const VectorX>& x,
               Eigen::Ref<VectorX> z_column);
  static Eigen::Index first_angle(const SensorSlot& s);
  void measurement_mean(const Measurement& z);
  void measurement_difference(Eigen::Ref<VectorX> a, const Eigen::Ref<const VectorX>& b);
  State& scratch_state(const Eigen::Ref<const VectorX>& x);
  std::vector<State>& scratch_states(const MatrixX& sigmas);

  Eigen::Index _n;
  double _lambda;
  VectorX _wm, _wc;
  std::vector<FieldSlot> _fields;
  bool _all_additive = true;           // only generic and Euler-angle fields
  std::vector<Eigen::Index> _wrapped;  // the entries of the Euler-angle fields
  ModelKind _model_kind;
  Eigen::Index _position, _orientation, _velocity, _angular, _acceleration;
  MatrixX _unit_noise;  // a built-in model's process noise for an interval of 1 s
  std::vector<SensorSlot> _sensors;
  State _layout;  // a state of the filter's layout, for the user-defined components

  // Scratch space, sized once and reused.
  MatrixX _scaled, _root, _deviations, _weighted, _z_deviations, _z_weighted, _noise, _kt, _ks,
    _kskt;
  MatrixX _k1, _k2, _k3, _k4, _stage;    // Runge-Kutta stages of all sigma points
  std::vector<kernel::EulerTrig> _trig;  // the last angles' sines and cosines, per sigma point
  // A Runge-Kutta step's rotations: per sigma point and rotation field, the quaternion of the
  // step's start and the last displacement composed onto it with its result.
  struct RotationStart
  {
    Quat q;
    Eigen::Vector3d d, result;
    bool has_result = false;
  };
  std::vector<std::size_t> _rotation_fields;  // positions in _fields of the rotation fields
  std::vector<RotationStart> _rotation_starts;
  const double* _prior_mean = nullptr;  // the update's prior mean, for corrections read at it
  struct LastComposition
  {
    Eigen::Vector3d r, d, result;
    bool inverse = false, valid = false;
  };
  LastComposition _last_composition;  // the last rotation composed by displace()
  VectorX _z, _increment, _correction, _column;
  Eigen::LLT<MatrixX> _llt;
  Eigen::LDLT<MatrixX> _ldlt;
  std::vector<State> _sigma_states;
  std::vector<Measurement> _sigma_measurements;

  FlatStep _work, _last;
  bool _has_last = false;
};

}  // namespace ukf::detail
