#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ukf/State.hpp"
#include "ukf/helpers.hpp"

namespace ukf
{

/// A state field that a model reads: its name and its number of entries.
struct FieldRequirement
{
  std::string name;
  std::size_t size;
};

/// Scratch storage for propagate(), so that a caller propagating many states in a row (the
/// filter's sigma points) allocates it once.
struct PropagationWorkspace
{
  State stage;
  VectorX k1, k2, k3, k4, increment;
};

/// A process model: the time derivative of the state, its process noise, its integration step and
/// its name. The fixed-step fourth-order Runge-Kutta integration belongs to the interface; each
/// stage displaces the state through the state's own `+`, so every field applies its own
/// arithmetic (Euler angles wrap, rotations compose).
class IModel
{
public:
  /// Time derivative of `state` at time `t` (s), laid out like the state vector, each block in its
  /// field's displacement form.
  virtual VectorX f(const State& state, double t) const = 0;
  /// Process noise covariance for an interval of `dt` seconds, n x n.
  virtual MatrixX process_noise_covariance(double dt) const = 0;
  /// The longest Runge-Kutta step, in seconds.
  virtual double get_integrator_step() const = 0;
  virtual std::string get_name() const = 0;

  virtual ~IModel() = default;

  /// The fields the model reads, with their sizes, so that a filter can reject a state that does
  /// not fit before its first update. The default lists none.
  virtual std::vector<FieldRequirement> required_fields() const;
  /// f(state, t) written into `out`, which has one entry per state entry: the form the filter
  /// calls for every sigma point and Runge-Kutta stage. The default calls f() and copies its
  /// vector (std::logic_error naming the model when its length is not out.size()); a model that
  /// overrides it writes every entry of `out` and allocates nothing per call.
  virtual void f_into(const State& state, double t, Eigen::Ref<VectorX> out) const;
  /// out += process_noise_covariance(dt), out being n x n: the form the filter calls once per
  /// update. The default calls process_noise_covariance() (std::logic_error naming the model when
  /// its shape is not out's); a model that overrides it allocates nothing per call.
  virtual void add_process_noise(double dt, Eigen::Ref<MatrixX> out) const;

  /// Advances `state` in place from `t0` to `t0 + dt` in steps of get_integrator_step(), the last
  /// one covering the remainder; nothing happens for dt <= 0. Throws std::invalid_argument when the
  /// step is not a positive finite number or the interval needs more than kMaxSteps steps, so a
  /// propagation always ends.
  void propagate(State& state, double t0, double dt) const;
  /// The same with caller-owned scratch storage.
  void propagate(State& state, double t0, double dt, PropagationWorkspace& work) const;
  /// One Runge-Kutta step of length `integrator_step` starting at `t0`.
  void RK4_step(State& state, double t0, double integrator_step) const;

  /// The most steps one propagate() takes: 10^5 (over a quarter of an hour at a 0.01 s step), so
  /// that no single update, however far apart its times, runs for more than about a second.
  static constexpr double kMaxSteps = 1e5;

protected:
  IModel() = default;
  IModel(const IModel&) = default;
  IModel& operator=(const IModel&) = default;

private:
  void step(State& state, double t0, double h, PropagationWorkspace& work) const;
};

namespace detail
{

/// A state field a built-in model does not move: it holds it constant, its value changing only by
/// a random walk of spectral density `rates` per second (one rate for every entry, or one per
/// entry), so that its process noise over dt is diag(rates) * dt.
struct HeldField
{
  std::string name;
  VectorX rates;
};

/// The keys shared by every model object: "name", "integrator_step" (a positive finite number),
/// the optional "process_noise" (a vector of `n` entries, the diagonal, or an n x n matrix;
/// finite, symmetric, no negative eigenvalue) and the optional "random_walk" (an object from the
/// name of each state field the model holds to its rate: a number, or an array of one number per
/// entry; finite, not negative). Without "process_noise", `process_noise` is empty.
struct ModelConfig
{
  std::string name;
  double integrator_step;
  MatrixX process_noise;
  std::vector<HeldField> held;
};
ModelConfig read_model_config(const json& config, std::size_t n);
/// Throws std::invalid_argument unless `step` is a positive finite number.
void check_integrator_step(double step, const std::string& model);
/// dt * Qc when `qc` is set, otherwise scale * dt * I (n x n).
MatrixX scaled_noise(const MatrixX& qc, double dt, double scale, std::size_t n);
/// The field `name` of `state`, checked to have `size` entries for model `model`. The lookup
/// starts at position `hint` and leaves there the position found (State::field).
const IField& block_of(const State& state, const std::string& name, std::size_t size,
                       const std::string& model, std::size_t& hint);
/// The names of the standard fields, made once.
extern const std::string kPosition2D, kVelocity2D, kPosition3D, kOrientation3D, kVelocity3D,
  kAngularVelocity3D, kAcceleration3D;
/// The derivative of the rigid body read by PointMass3D and ZendraFell: "Position3D" moves with
/// the body velocity "Velocity3D" turned into the world by the Euler angles "Orientation3D", which
/// change at the rates "AngularVelocity3D"; the rates stay constant. The velocity changes by the
/// body acceleration "Acceleration3D" when `accelerates` (which then stays constant), otherwise it
/// stays constant. Every field must have 3 entries (std::invalid_argument naming `model`).
VectorX rigid_body_derivative(const State& state, const std::string& model, bool accelerates);
/// Rz(e2) * Ry(e1) * Rx(e0), the body-to-world rotation of Euler angles e.
Eigen::Matrix3d body_to_world(const Eigen::Vector3d& e);

/// What the built-in models hold and do alike: the integration step, the name and the process
/// noise, dt * Qc with a configured Qc and `default_scale` * dt * I without. A built-in model's own
/// class adds its derivative and the fields it reads.
///
/// A built-in model also carries state fields it does not move (biases, scale factors): each is
/// named in "random_walk", its derivative is zero and its process noise is its random walk's. Once
/// fitted to a state holding such fields, the process noise covers the whole state: Qc (or the
/// default) on the entries of the model's own fields in the state's order, the random walks on
/// the diagonal of the held ones, nothing between them.
class ModelBase : public IModel
{
public:
  MatrixX process_noise_covariance(double dt) const override;
  double get_integrator_step() const override { return _integrator_step; }
  std::string get_name() const override { return _name; }

  /// The fields the model holds, as configured.
  const std::vector<HeldField>& held_fields() const { return _held; }
  /// Holds the state field `field` with random-walk rates `rates` (one for every entry, or one
  /// per entry), as a "random_walk" entry does; takes effect at the next fit_to_state(). Throws
  /// std::invalid_argument for an empty name, a rate that is negative or not finite, or a field
  /// held twice.
  void hold(std::string field, VectorX rates);
  /// Fits the process noise to `state`, whose fields are the model's own (required_fields()) and
  /// the held ones in any order. Throws std::runtime_error "Invalid config: ..." naming the model
  /// and the field for a held field missing from the state, one the model moves, a rate of another
  /// length, and for a field neither the model's nor held. A state of exactly the model's own
  /// fields and no held field changes nothing.
  void fit_to_state(const State& state);

protected:
  /// Throws std::invalid_argument unless `integrator_step` is a positive finite number and
  /// `process_noise` is empty or state_size x state_size.
  ModelBase(double integrator_step, std::string name, MatrixX process_noise, std::size_t state_size,
            double default_scale);
  /// From the "model" object: "name", "integrator_step" and the optional "process_noise".
  ModelBase(const json& config, std::size_t state_size, double default_scale);

private:
  ModelBase(ModelConfig c, std::size_t state_size, double default_scale);

  double _integrator_step;
  std::string _name;
  MatrixX _process_noise;
  std::size_t _state_size;
  double _default_scale;
  std::vector<HeldField> _held;
  MatrixX _fitted_unit_noise;  // the whole state's noise for 1 s once fitted; empty otherwise
};

}  // namespace detail

}  // namespace ukf
