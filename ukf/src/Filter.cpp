#include "ukf/Filter.hpp"

#include <cmath>
#include <iostream>
#include <stdexcept>
#include <utility>

#include <Eigen/Eigenvalues>

#include "ukf/factories.hpp"

namespace ukf
{

struct Filter::Workspace
{
  Step step;  // the update in progress; swapped into _last_step when it succeeds
  PropagationWorkspace propagation;
  State state_residual;
  Measurement measurement_residual;
  VectorX d, dz, correction;
  MatrixX scaled, root;
  Eigen::LLT<MatrixX> llt;
  Eigen::LDLT<MatrixX> ldlt;

  State& residual(const State*) { return state_residual; }
  Measurement& residual(const Measurement*) { return measurement_residual; }
};

namespace
{

std::string fmt(double v) { return config::format_number(v); }

// Adds w * (a(r) * b(c)) to every entry (r, c) of `acc`.
void add_weighted_outer(MatrixX& acc, double w, const VectorX& a, const VectorX& b)
{
  for (Eigen::Index c = 0; c < b.size(); ++c) {
    for (Eigen::Index r = 0; r < a.size(); ++r) {
      acc(r, c) += w * (a(r) * b(c));
    }
  }
}

void symmetrise(MatrixX& m)
{
  for (Eigen::Index c = 0; c < m.cols(); ++c) {
    for (Eigen::Index r = c + 1; r < m.rows(); ++r) {
      const double mean = 0.5 * (m(r, c) + m(c, r));
      m(r, c) = mean;
      m(c, r) = mean;
    }
  }
}

}  // namespace

Filter::Filter()
  : _prev_time(0.0),
    _t_offset(0.0),
    _prev_time_initialized(false),
    _alpha(1.0),
    _beta(2.0),
    _kappa(0.0),
    _lambda(0.0),
    _work(std::make_unique<Workspace>())
{
}

Filter::Filter(const State& initial_state, const MatrixX& initial_covar,
               std::unique_ptr<IModel> model, Measurement& empty_measurement, double alpha,
               double beta, double kappa)
  : Filter()
{
  _state = initial_state;
  _covar = initial_covar;
  _model = std::move(model);
  _empty_measurement = empty_measurement;
  _alpha = alpha;
  _beta = beta;
  _kappa = kappa;
  if (_covar.rows() != static_cast<Eigen::Index>(_state.size()) ||
      _covar.cols() != static_cast<Eigen::Index>(_state.size())) {
    throw std::runtime_error(
      "Invalid config: Covariance matrix size does not match state vector size");
  }
  calculate_weights();
  validate();
}

Filter::Filter(const std::string& config_file_path) : Filter(config::load_file(config_file_path)) {}

Filter::Filter(const json& config) : Filter()
{
  const std::string top = "the configuration";
  _state = State(config::require(config, "initial_state", top));
  const json& covariance = config::require(config, "initial_covariance", top);
  const std::size_t n = _state.size();
  if (!covariance.is_array()) {
    config::to_matrix(covariance, "\"initial_covariance\"");  // names what it got instead
  }
  if (covariance.size() != n || (n > 0 && covariance[0].size() != n)) {
    throw std::runtime_error(
      "Invalid config: Covariance matrix size does not match state vector size");
  }
  _covar = config::to_matrix(covariance, "\"initial_covariance\"");
  _model = create_model_from_json(config::require(config, "model", top));
  _empty_measurement = Measurement(config::require(config, "measurement", top));
  const json& tuning = config::require(config, "filter", top);
  _alpha = config::read_number(tuning, "alpha", "\"filter\"");
  _beta = config::read_number(tuning, "beta", "\"filter\"");
  _kappa = config::read_number(tuning, "kappa", "\"filter\"");
  calculate_weights();
  validate();
}

Filter::Filter(Filter&&) noexcept = default;
Filter& Filter::operator=(Filter&&) noexcept = default;
Filter::~Filter() = default;

void Filter::calculate_weights()
{
  const auto n = static_cast<double>(_state.size());
  const auto points = static_cast<Eigen::Index>(2 * _state.size() + 1);
  _weights_state.resize(points);
  _weights_covar.resize(points);
  _lambda = std::pow(_alpha, 2) * (n + _kappa) - n;
  _weights_state(0) = _lambda / (n + _lambda);
  _weights_covar(0) = _lambda / (n + _lambda) + (1 - std::pow(_alpha, 2) + _beta);
  for (Eigen::Index i = 1; i < points; ++i) {
    _weights_state(i) = 1 / (2 * (n + _lambda));
    _weights_covar(i) = 1 / (2 * (n + _lambda));
  }
}

void Filter::validate()
{
  const auto n = static_cast<Eigen::Index>(_state.size());
  if (!(std::isfinite(_alpha) && std::isfinite(_beta) && std::isfinite(_kappa))) {
    throw std::runtime_error(
      "Invalid config: \"alpha\", \"beta\" and \"kappa\" of \"filter\" "
      "must be finite (got " +
      fmt(_alpha) + ", " + fmt(_beta) + ", " + fmt(_kappa) + ")");
  }
  if (!(static_cast<double>(n) + _lambda > 0.0) || !_weights_state.allFinite() ||
      !_weights_covar.allFinite()) {
    throw std::runtime_error("Invalid config: \"alpha\" " + fmt(_alpha) + " and \"kappa\" " +
                             fmt(_kappa) +
                             " give n + lambda = " + fmt(static_cast<double>(n) + _lambda) +
                             " for n = " + std::to_string(n) + "; it must be positive");
  }
  const std::string cov = "Invalid config: \"initial_covariance\"";
  if (!_covar.allFinite()) {
    throw std::runtime_error(cov + " has an entry that is not finite");
  }
  if (n > 0) {
    const double scale = std::max(1.0, _covar.cwiseAbs().maxCoeff());
    if ((_covar - _covar.transpose()).cwiseAbs().maxCoeff() > 1e-9 * scale) {
      throw std::runtime_error(cov + " is not symmetric");
    }
    const Eigen::SelfAdjointEigenSolver<MatrixX> solver(_covar, Eigen::EigenvaluesOnly);
    if (solver.eigenvalues().minCoeff() < -1e-12 * scale) {
      throw std::runtime_error(cov + " has a negative eigenvalue (" +
                               fmt(solver.eigenvalues().minCoeff()) + ")");
    }
  }
  if (!_model) {
    throw std::runtime_error("Invalid config: the filter has no model");
  }
  const std::string model = "Invalid config: model \"" + _model->get_name() + "\"";
  for (const FieldRequirement& r : _model->required_fields()) {
    const IField* found = nullptr;
    for (std::size_t i = 0; i < _state.number_of_fields() && found == nullptr; ++i) {
      if (_state.field(i).has_name(r.name)) {
        found = &_state.field(i);
      }
    }
    if (found == nullptr) {
      throw std::runtime_error(model + " needs the state field \"" + r.name + "\" (" +
                               std::to_string(r.size) + " entries), which is missing");
    }
    if (found->get_size() != r.size) {
      throw std::runtime_error(model + " needs the state field \"" + r.name + "\" with " +
                               std::to_string(r.size) + " entries, it has " +
                               std::to_string(found->get_size()));
    }
  }
  const MatrixX noise = _model->process_noise_covariance(0.0);
  if (noise.rows() != n || noise.cols() != n) {
    throw std::runtime_error(model + " has a process noise of " + std::to_string(noise.rows()) +
                             " x " + std::to_string(noise.cols()) + " for a state of size " +
                             std::to_string(n));
  }
  const VectorX derivative = _model->f(_state, 0.0);
  if (derivative.size() != n) {
    throw std::runtime_error(model + " gives a derivative of " + std::to_string(derivative.size()) +
                             " entries for a state of size " + std::to_string(n));
  }
}

void Filter::generate_sigma_points(State& state, MatrixX& covar, std::vector<State>& sigmas)
{
  const auto n = static_cast<Eigen::Index>(state.size());
  if (covar.rows() != n || covar.cols() != n) {
    throw std::invalid_argument(
      "generate_sigma_points: a covariance of " + std::to_string(covar.rows()) + " x " +
      std::to_string(covar.cols()) + " for a state of size " + std::to_string(n));
  }
  Workspace& w = *_work;
  w.scaled = (static_cast<double>(n) + _lambda) * covar;
  w.llt.compute(w.scaled);
  if (w.llt.info() == Eigen::Success) {
    w.root = w.llt.matrixL();
  } else {
    std::cout << "LLT decomposition failed." << std::endl;
    // The nearest positive semi-definite matrix V max(D, 0) V^T; its square root V sqrt(max(D, 0))
    // spreads the points along the eigenvectors.
    MatrixX symmetric = 0.5 * (w.scaled + w.scaled.transpose());
    const Eigen::SelfAdjointEigenSolver<MatrixX> solver(symmetric);
    const VectorX roots = solver.eigenvalues().cwiseMax(0.0).cwiseSqrt();
    w.root = solver.eigenvectors() * roots.asDiagonal();
  }
  sigmas.resize(static_cast<std::size_t>(2 * n + 1));
  sigmas[0] = state;
  for (Eigen::Index i = 0; i < n; ++i) {
    State& plus = sigmas[static_cast<std::size_t>(1 + i)];
    plus = state;
    plus.displace(w.root.col(i), false);
    State& minus = sigmas[static_cast<std::size_t>(1 + n + i)];
    minus = state;
    minus.displace(w.root.col(i), true);
  }
}

template <typename T>
void Filter::UT(T& x, MatrixX& covar, std::vector<T>& sigmas)
{
  if (static_cast<Eigen::Index>(sigmas.size()) != _weights_covar.size()) {
    throw std::invalid_argument("UT: " + std::to_string(sigmas.size()) + " sigma points for " +
                                std::to_string(_weights_covar.size()) + " weights");
  }
  x.save_mean(sigmas, _weights_state);
  Workspace& w = *_work;
  T& residual = w.residual(&x);
  for (std::size_t i = 0; i < sigmas.size(); ++i) {
    residual = sigmas[i];
    residual -= x;
    residual.get_vector_into(w.d);
    if (w.d.size() != covar.rows() || w.d.size() != covar.cols()) {
      throw std::invalid_argument("UT: a deviation of " + std::to_string(w.d.size()) +
                                  " entries for a covariance of " + std::to_string(covar.rows()) +
                                  " x " + std::to_string(covar.cols()));
    }
    add_weighted_outer(covar, _weights_covar(static_cast<Eigen::Index>(i)), w.d, w.d);
  }
}

template void Filter::UT<State>(State&, MatrixX&, std::vector<State>&);
template void Filter::UT<Measurement>(Measurement&, MatrixX&, std::vector<Measurement>&);

void Filter::cross_covariance(MatrixX& cross_covar, State& state,
                              std::vector<State>& prediction_sigmas, Measurement& measurement,
                              std::vector<Measurement>& measurement_sigmas)
{
  const std::size_t points = 2 * state.size() + 1;
  if (prediction_sigmas.size() < points || measurement_sigmas.size() < points ||
      static_cast<Eigen::Index>(points) > _weights_covar.size()) {
    throw std::invalid_argument("cross_covariance: too few sigma points or weights");
  }
  Workspace& w = *_work;
  for (std::size_t i = 0; i < points; ++i) {
    w.state_residual = prediction_sigmas[i];
    w.state_residual -= state;
    w.state_residual.get_vector_into(w.d);
    w.measurement_residual = measurement_sigmas[i];
    w.measurement_residual -= measurement;
    w.measurement_residual.get_vector_into(w.dz);
    if (w.d.size() != cross_covar.rows() || w.dz.size() != cross_covar.cols()) {
      throw std::invalid_argument("cross_covariance: deviations of " + std::to_string(w.d.size()) +
                                  " and " + std::to_string(w.dz.size()) +
                                  " entries for a matrix of " + std::to_string(cross_covar.rows()) +
                                  " x " + std::to_string(cross_covar.cols()));
    }
    add_weighted_outer(cross_covar, _weights_covar(static_cast<Eigen::Index>(i)), w.d, w.dz);
  }
}

void Filter::update(Measurement measurement, double t)
{
  if (!_model) {
    throw std::logic_error("Filter::update: a default-constructed filter cannot be updated");
  }
  if (!std::isfinite(t)) {
    throw std::invalid_argument("Filter::update: the time " + fmt(t) + " s is not finite");
  }
  if (measurement.number_of_sensors() != _empty_measurement.number_of_sensors() ||
      measurement.size_full() != _empty_measurement.size_full()) {
    throw std::invalid_argument(
      "Filter::update: the measurement has " + std::to_string(measurement.number_of_sensors()) +
      " sensors of full size " + std::to_string(measurement.size_full()) + ", the filter's " +
      std::to_string(_empty_measurement.number_of_sensors()) + " of full size " +
      std::to_string(_empty_measurement.size_full()));
  }
  Workspace& w = *_work;
  measurement.get_vector_into(w.dz);
  if (!w.dz.allFinite()) {
    throw std::invalid_argument("Filter::update: the measurement has a value that is not finite");
  }
  // The clock: the first update defines the offset and happens at filter time 0.
  const double t_offset = _prev_time_initialized ? _t_offset : t;
  const double prev_time = _prev_time_initialized ? _prev_time : 0.0;
  const double time = t - t_offset;
  if (!std::isfinite(time) || time < prev_time) {
    throw std::invalid_argument("Filter::update: the time " + fmt(t) + " s (filter time " +
                                fmt(time) + " s) is earlier than the previous update's (" +
                                fmt(prev_time + t_offset) + " s)");
  }

  const auto n = static_cast<Eigen::Index>(_state.size());
  Step& step = w.step;
  step.prev_time = prev_time;
  step.dt = time - prev_time;
  step.cur_time = time;
  step.prev_state = _state;
  step.prev_covar = _covar;

  generate_sigma_points(step.prev_state, step.prev_covar, step.propagated_sigmas);
  for (State& sigma : step.propagated_sigmas) {
    _model->propagate(sigma, prev_time, step.dt, w.propagation);
  }

  step.priori_state = step.prev_state;
  step.priori_covar.setZero(n, n);
  UT(step.priori_state, step.priori_covar, step.propagated_sigmas);
  step.priori_covar += _model->process_noise_covariance(step.dt);

  step.measurement_sigmas.resize(step.propagated_sigmas.size());
  for (std::size_t i = 0; i < step.propagated_sigmas.size(); ++i) {
    step.measurement_sigmas[i] = measurement;
    step.measurement_sigmas[i].set_measurement(step.propagated_sigmas[i]);
  }
  const int m = measurement.size();
  step.predicted_measurement = measurement;
  step.predicted_measurement_covar.setZero(m, m);
  UT(step.predicted_measurement, step.predicted_measurement_covar, step.measurement_sigmas);
  step.predicted_measurement_covar += measurement.measurement_noise_covariance();

  step.cross_covar.setZero(n, m);
  cross_covariance(step.cross_covar, step.priori_state, step.propagated_sigmas,
                   step.predicted_measurement, step.measurement_sigmas);

  // K = C S^-1 without an inverse: solve S X = C^T with the pivoting LDL^T factorisation.
  w.ldlt.compute(step.predicted_measurement_covar);
  step.kalman_gain = w.ldlt.solve(step.cross_covar.transpose()).transpose();

  step.residual = measurement;
  step.residual -= step.predicted_measurement;
  step.residual.get_vector_into(w.dz);
  w.correction.noalias() = step.kalman_gain * w.dz;
  step.posteriori_state = step.priori_state;
  step.posteriori_state += w.correction;
  step.posteriori_covar = step.priori_covar - step.kalman_gain * step.predicted_measurement_covar *
                                                step.kalman_gain.transpose();
  symmetrise(step.posteriori_covar);

  step.posteriori_state.get_vector_into(w.d);
  if (!w.d.allFinite() || !step.posteriori_covar.allFinite()) {
    throw std::runtime_error("Filter::update at " + fmt(t) +
                             " s: the posterior is not finite; the update is rejected and the "
                             "filter keeps its previous estimate");
  }

  step.sensor_measurement = std::move(measurement);
  _state = step.posteriori_state;
  _covar = step.posteriori_covar;
  std::swap(_last_step, step);
  _prev_time = time;
  _t_offset = t_offset;
  _prev_time_initialized = true;
}

double normalised_innovation_squared(const Step& step)
{
  const VectorX r = step.residual.get_vector();
  const MatrixX& s = step.predicted_measurement_covar;
  if (r.size() == 0) {
    return 0.0;
  }
  if (s.rows() != r.size() || s.cols() != r.size()) {
    throw std::invalid_argument("normalised_innovation_squared: a residual of " +
                                std::to_string(r.size()) + " entries for an innovation covariance "
                                "of " + std::to_string(s.rows()) + " x " +
                                std::to_string(s.cols()));
  }
  return r.dot(s.ldlt().solve(r));
}

}  // namespace ukf
