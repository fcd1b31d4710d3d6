#pragma once

#include <memory>
#include <string>
#include <vector>

#include <Eigen/Cholesky>

#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"
#include "ukf/Step.hpp"
#include "ukf/helpers.hpp"
#include "ukf/models/iModel.hpp"

namespace ukf
{

namespace detail
{
class Engine;
}  // namespace detail

/// The unscented Kalman filter: the current estimate and its covariance, the process model, a
/// template measurement of all configured sensors (none populated), the tuning parameters alpha,
/// beta, kappa with lambda = alpha^2 (n + kappa) - n, the sigma-point weights and a record of the
/// last update. Movable, not copyable. One thread at a time.
class Filter
{
public:
  /// A placeholder to assign over; it cannot be updated.
  Filter();
  /// From parts. alpha, beta and kappa default to 1, 2 and 0. Throws std::runtime_error
  /// "Invalid config: ..." for a covariance that is not n x n, finite, symmetric and positive
  /// semi-definite, for parameters with n + lambda <= 0 or not finite, and for a model that does not
  /// fit the state (a field it reads missing or of the wrong size, a process noise not n x n).
  Filter(const State& initial_state, const MatrixX& initial_covar, std::unique_ptr<IModel> model,
         Measurement& empty_measurement, double alpha = 1.0, double beta = 2.0, double kappa = 0.0);
  /// From a configuration file. Throws "Could not open filter config file: <path>", the JSON
  /// library's parse and type errors, the factories' errors, "Invalid config: Covariance matrix
  /// size does not match state vector size" and the checks of the constructor from parts.
  explicit Filter(const std::string& config_file_path);
  explicit Filter(const char* config_file_path) : Filter(std::string(config_file_path)) {}
  /// The same from a configuration already parsed (the file's top-level object).
  explicit Filter(const json& config);

  Filter(Filter&&) noexcept;
  Filter& operator=(Filter&&) noexcept;
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;
  ~Filter();

  /// One predict-and-correct cycle with the populated sensors of `measurement` at time `t`
  /// (seconds on the caller's clock; the first update becomes filter time 0).
  /// Throws std::invalid_argument for a time that is not finite or earlier than the previous
  /// update's, and for a measurement of another layout or with non-finite values; throws
  /// std::runtime_error when the result is not finite. On any throw the estimate, covariance,
  /// last step and previous time are unchanged.
  void update(Measurement&& measurement, double t);
  /// The same, copying `measurement` into the filter's record of the last update. A caller that
  /// reuses one measurement for every update (assigning get_empty_measurement() or
  /// empty_measurement() over it, then populating it) allocates nothing once the first update has
  /// run with each of its sensors populated.
  void update(const Measurement& measurement, double t);

  /// Replaces the estimate and its covariance, for a caller that knows better (a pose set by hand,
  /// a relocalisation); the clock and the record of the last update stay. Throws
  /// std::invalid_argument naming what is wrong (a size other than the state's, a value that is
  /// not finite, a covariance that is not symmetric positive semi-definite); nothing changes then.
  void set_estimate(const VectorX& state, const MatrixX& covar);

  /// A fresh copy of the template measurement.
  Measurement get_empty_measurement() const { return _empty_measurement; }
  State get_state() const { return _state; }
  MatrixX get_covar() const { return _covar; }
  /// The template measurement, the estimate and its covariance without a copy: valid until the
  /// filter's next update, assignment or destruction.
  const Measurement& empty_measurement() const { return _empty_measurement; }
  const State& state() const { return _state; }
  const MatrixX& covar() const { return _covar; }
  VectorX get_state_weights() const { return _weights_state; }
  VectorX get_covar_weights() const { return _weights_covar; }
  /// Every intermediate product of the last update, made from the filter's record when asked for.
  Step get_last_step() const;
  /// The last update's innovation without a copy: the residual of its populated sensors (their
  /// entries in the measurement's order) and its predicted covariance S, the same numbers as
  /// get_last_step()'s residual and predicted_measurement_covar; empty before the first update.
  /// Valid until the filter's next update, assignment or destruction.
  const VectorX& last_residual() const;
  const MatrixX& last_innovation_covar() const;
  /// The measurement of the last update, as the filter recorded it (the template before the first).
  const Measurement& last_measurement() const;
  /// The derived scaling lambda = alpha^2 (n + kappa) - n.
  double get_lambda() const { return _lambda; }

private:
  /// Checks `measurement` and `t`, runs the update and adopts its posterior; the caller then
  /// commits the measurement to the record.
  void predict_and_correct(const Measurement& measurement, double t);
  void validate();
  void calculate_weights();
  void bind();

  double _prev_time;
  double _t_offset;
  bool _prev_time_initialized;
  double _alpha;
  double _beta;
  double _kappa;
  double _lambda;
  VectorX _weights_state;
  VectorX _weights_covar;
  State _state;
  MatrixX _covar;
  std::unique_ptr<IModel> _model;
  Measurement _empty_measurement;
  // The update itself, on flat storage resolved once from the state's layout and the model.
  std::unique_ptr<detail::Engine> _engine;
};

}  // namespace ukf
