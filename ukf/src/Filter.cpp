#include "ukf/Filter.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include <Eigen/Eigenvalues>

#include "engine.hpp"
#include "ukf/factories.hpp"

namespace ukf
{

namespace
{

std::string fmt(double v) { return config::format_number(v); }

// What keeps `p` from being a covariance: "has an entry that is not finite", "is not symmetric"
// or "has a negative eigenvalue (...)"; empty when it is finite, symmetric and positive
// semi-definite, to the tolerances of its largest entry.
std::string covariance_fault(const MatrixX& p)
{
  if (!p.allFinite()) {
    return "has an entry that is not finite";
  }
  if (p.size() == 0) {
    return {};
  }
  const double scale = std::max(1.0, p.cwiseAbs().maxCoeff());
  if ((p - p.transpose()).cwiseAbs().maxCoeff() > 1e-9 * scale) {
    return "is not symmetric";
  }
  const Eigen::SelfAdjointEigenSolver<MatrixX> solver(p, Eigen::EigenvaluesOnly);
  if (solver.eigenvalues().minCoeff() < -1e-12 * scale) {
    return "has a negative eigenvalue (" + fmt(solver.eigenvalues().minCoeff()) + ")";
  }
  return {};
}

}  // namespace

Filter::Filter()
  : _prev_time(0.0),
    _t_offset(0.0),
    _prev_time_initialized(false),
    _alpha(1.0),
    _beta(2.0),
    _kappa(0.0),
    _lambda(0.0)
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
      "Invalid config: Covariance matrix size does not match state vector size: the initial "
      "covariance is " + std::to_string(_covar.rows()) + " x " + std::to_string(_covar.cols()) +
      ", the state has " + config::entries(_state.size()));
  }
  calculate_weights();
  validate();
  bind();
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
      "Invalid config: Covariance matrix size does not match state vector size: "
      "\"initial_covariance\" has " + std::to_string(covariance.size()) + " rows" +
      (covariance.empty() || !covariance[0].is_array()
         ? std::string()
         : " of " + std::to_string(covariance[0].size())) +
      ", the state has " + config::entries(n) + " (the sizes of its fields summed)");
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
  bind();
}

void Filter::bind()
{
  _engine = std::make_unique<detail::Engine>(_state, *_model, _lambda, _weights_state,
                                             _weights_covar);
}

Step Filter::get_last_step() const { return _engine ? _engine->last_step(_state) : Step(); }

namespace
{
const VectorX kNoResidual;
const MatrixX kNoCovar;
}  // namespace

const VectorX& Filter::last_residual() const
{
  return _engine && _engine->has_last() ? _engine->last().residual : kNoResidual;
}

const MatrixX& Filter::last_innovation_covar() const
{
  return _engine && _engine->has_last() ? _engine->last().S : kNoCovar;
}

const Measurement& Filter::last_measurement() const
{
  return _engine && _engine->has_last() ? _engine->last().measurement : _empty_measurement;
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
  const std::string fault = covariance_fault(_covar);
  if (!fault.empty()) {
    throw std::runtime_error("Invalid config: \"initial_covariance\" " + fault);
  }
  if (!_model) {
    throw std::runtime_error("Invalid config: the filter has no model");
  }
  const std::string model = "Invalid config: model \"" + _model->get_name() + "\"";
  for (const FieldRequirement& r : _model->required_fields()) {
    const IField* found = _state.find_field(r.name);
    if (found == nullptr) {
      throw std::runtime_error(model + " needs the state field \"" + r.name + "\" (" +
                               config::entries(r.size) + "), which is missing");
    }
    if (found->get_size() != r.size) {
      throw std::runtime_error(model + " needs the state field \"" + r.name + "\" with " +
                               config::entries(r.size) + ", it has " +
                               std::to_string(found->get_size()));
    }
  }
  if (auto* built_in = dynamic_cast<detail::ModelBase*>(_model.get())) {
    built_in->fit_to_state(_state);
  }
  const MatrixX noise = _model->process_noise_covariance(0.0);
  if (noise.rows() != n || noise.cols() != n) {
    throw std::runtime_error(model + " has a process noise of " + std::to_string(noise.rows()) +
                             " x " + std::to_string(noise.cols()) + " for a state of size " +
                             std::to_string(n));
  }
  // Each sensor predicts its reading from the state once now, so that a state field it names but
  // the state lacks stops the configuration here rather than failing every update.
  Measurement probe = _empty_measurement;
  for (std::size_t i = 0; i < probe.number_of_sensors(); ++i) {
    ISensor& sensor = probe.get_sensor(probe.get_sensor(static_cast<int>(i)).get_name());
    try {
      sensor.state_to_measurement(_state);
    } catch (const std::exception& e) {
      throw std::runtime_error("Invalid config: sensor \"" + sensor.get_name() +
                               "\" cannot predict its reading from the state: " + e.what());
    }
  }
  const VectorX derivative = _model->f(_state, 0.0);
  if (derivative.size() != n) {
    throw std::runtime_error(model + " gives a derivative of " + config::entries(derivative.size()) +
                             " for a state of size " + std::to_string(n));
  }
}

void Filter::set_estimate(const VectorX& state, const MatrixX& covar)
{
  const auto n = static_cast<Eigen::Index>(_state.size());
  const std::string what = "Filter::set_estimate: ";
  if (state.size() != n || covar.rows() != n || covar.cols() != n) {
    throw std::invalid_argument(what + "a state of " + config::entries(state.size()) +
                                " and a covariance of " + std::to_string(covar.rows()) +
                                " x " + std::to_string(covar.cols()) + " for a state of size " +
                                std::to_string(n));
  }
  if (!state.allFinite() || !covar.allFinite()) {
    throw std::invalid_argument(what + "the state or its covariance has a value that is not finite");
  }
  const std::string fault = covariance_fault(covar);
  if (!fault.empty()) {
    throw std::invalid_argument(what + "the covariance " + fault);
  }
  _state.set_vector(state);
  _covar = covar;
}

void Filter::update(Measurement&& measurement, double t)
{
  predict_and_correct(measurement, t);
  _engine->commit(std::move(measurement));
}

void Filter::update(const Measurement& measurement, double t)
{
  predict_and_correct(measurement, t);
  _engine->commit(measurement);
}

void Filter::predict_and_correct(const Measurement& measurement, double t)
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
  if (!_engine->is_finite(measurement)) {
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

  _engine->update(_state, _covar, *_model, measurement, prev_time, time - prev_time);
  const VectorX& x = _engine->posterior_state();
  const MatrixX& p = _engine->posterior_covar();
  if (!x.allFinite() || !p.allFinite()) {
    throw std::runtime_error("Filter::update at " + fmt(t) +
                             " s: the posterior is not finite; the update is rejected and the "
                             "filter keeps its previous estimate");
  }

  // The commit: nothing above changed the filter.
  _engine->write_state(x, _state);
  _covar = p;
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
                                config::entries(r.size()) + " for an innovation covariance "
                                "of " + std::to_string(s.rows()) + " x " +
                                std::to_string(s.cols()));
  }
  return r.dot(s.ldlt().solve(r));
}

}  // namespace ukf
