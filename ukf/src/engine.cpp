#include "engine.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

#include <Eigen/Eigenvalues>

#include "kernels.hpp"
#include "ukf/fields/AngleAxisField.hpp"
#include "ukf/fields/EulerAngleField.hpp"
#include "ukf/fields/GenericField.hpp"
#include "ukf/models/pointMass2D.hpp"
#include "ukf/models/pointMass3D.hpp"
#include "ukf/models/zendraFell.hpp"
#include "ukf/sensors/OrientationSensor.hpp"
#include "ukf/sensors/PositionSensor.hpp"
#include "ukf/sensors/VO.hpp"
#include "ukf/sensors/encoders.hpp"
#include "ukf/sensors/imu.hpp"

namespace ukf::detail
{

namespace
{

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

// Resizes only when the shape changes, so that a steady run allocates nothing.
void shape(MatrixX& m, Eigen::Index rows, Eigen::Index cols)
{
  if (m.rows() != rows || m.cols() != cols) {
    m.resize(rows, cols);
  }
}

void shape(VectorX& v, Eigen::Index size)
{
  if (v.size() != size) {
    v.resize(size);
  }
}

}  // namespace

Engine::Engine(const State& state, const IModel& model, double lambda, const VectorX& weights_state,
               const VectorX& weights_covar)
  : _n(static_cast<Eigen::Index>(state.size())),
    _lambda(lambda),
    _wm(weights_state),
    _wc(weights_covar),
    _model_kind(ModelKind::Custom),
    _position(0),
    _orientation(0),
    _velocity(0),
    _angular(0),
    _acceleration(0),
    _layout(state)
{
  for (std::size_t i = 0; i < state.number_of_fields(); ++i) {
    const IField& f = state.field(i);
    FieldSlot slot{FieldKind::Custom, static_cast<Eigen::Index>(f.get_index()),
                   static_cast<Eigen::Index>(f.get_size()), nullptr, VectorX()};
    if (dynamic_cast<const GenericField*>(&f) != nullptr) {
      slot.kind = FieldKind::Linear;
    } else if (dynamic_cast<const EulerAngleField*>(&f) != nullptr) {
      slot.kind = FieldKind::EulerAngles;
    } else if (dynamic_cast<const AngleAxisField*>(&f) != nullptr && f.get_size() == 3) {
      slot.kind = FieldKind::AngleAxis;
    } else {
      slot.scratch = f.clone();
    }
    slot.value.resize(slot.size);
    if (slot.kind == FieldKind::EulerAngles) {
      for (Eigen::Index j = 0; j < slot.size; ++j) {
        _wrapped.push_back(slot.offset + j);
      }
    }
    _all_additive =
      _all_additive && (slot.kind == FieldKind::Linear || slot.kind == FieldKind::EulerAngles);
    if (slot.kind == FieldKind::AngleAxis) {
      _rotation_fields.push_back(_fields.size());
    }
    _fields.push_back(std::move(slot));
  }

  const auto at = [&](const char* name) {
    return static_cast<Eigen::Index>(state.field(name).get_index());
  };
  if (dynamic_cast<const PointMass2D*>(&model) != nullptr) {
    _model_kind = ModelKind::PointMass2D;
    _position = at("Position2D");
    _velocity = at("Velocity2D");
  } else if (dynamic_cast<const PointMass3D*>(&model) != nullptr ||
             dynamic_cast<const ZendraFell*>(&model) != nullptr) {
    const bool accelerates = dynamic_cast<const ZendraFell*>(&model) != nullptr;
    _model_kind = accelerates ? ModelKind::AcceleratingRigidBody : ModelKind::RigidBody;
    _position = at("Position3D");
    _orientation = at("Orientation3D");
    _velocity = at("Velocity3D");
    _angular = at("AngularVelocity3D");
    _acceleration = accelerates ? at("Acceleration3D") : 0;
  }
  if (_model_kind != ModelKind::Custom) {
    // The built-in models' noise is dt * Qc (or dt * scale * I): the 1 s value times dt, exactly.
    _unit_noise = model.process_noise_covariance(1.0);
  }

  const Eigen::Index points = 2 * _n + 1;
  shape(_scaled, _n, _n);
  shape(_root, _n, _n);
  shape(_deviations, _n, points);
  shape(_kskt, _n, _n);
  shape(_weighted, _n, points);
  for (VectorX* v : {&_increment, &_correction, &_column}) {
    v->setZero(_n);
  }
  for (MatrixX* m : {&_k1, &_k2, &_k3, &_k4, &_stage}) {
    m->setZero(_n, points);
  }
  _trig.resize(static_cast<std::size_t>(points));
  _rotation_starts.resize(static_cast<std::size_t>(points) * _rotation_fields.size());
  for (FlatStep* s : {&_work, &_last}) {
    shape(s->prev_x, _n);
    shape(s->prev_P, _n, _n);
    shape(s->sigmas, _n, points);
    shape(s->prior_x, _n);
    shape(s->prior_P, _n, _n);
    shape(s->post_x, _n);
    shape(s->post_P, _n, _n);
  }
}

Engine::~Engine() = default;

// x (+) d, or x (-) d when `inverse`, field by field, each with its own arithmetic. Generic and
// Euler-angle fields, the common case, add in one pass; the angles then wrap.
void Engine::displace(Eigen::Ref<VectorX> x, const Eigen::Ref<const VectorX>& d, bool inverse)
{
  if (_all_additive) {
    kernel::add(x, d, inverse);
    for (const Eigen::Index i : _wrapped) {
      x[i] = wrap_angle(x[i]);
    }
    return;
  }
  for (FieldSlot& f : _fields) {
    displace_field(f, x.segment(f.offset, f.size), d.segment(f.offset, f.size), inverse);
  }
}

void Engine::displace_field(FieldSlot& f, Eigen::Ref<VectorX> xb,
                            const Eigen::Ref<const VectorX>& db, bool inverse)
{
  switch (f.kind) {
    case FieldKind::Linear:
      kernel::add(xb, db, inverse);
      break;
    case FieldKind::EulerAngles:
      kernel::add_angles(xb, db, inverse);
      break;
    case FieldKind::AngleAxis: {
      // The sigma points whose displacement leaves a rotation alone compose the same rotation
      // with the same zero: the last composition is kept, and given again for the same inputs.
      LastComposition& last = _last_composition;
      if (last.valid && last.inverse == inverse &&
          std::memcmp(last.r.data(), xb.data(), sizeof(double) * 3) == 0 &&
          std::memcmp(last.d.data(), db.data(), sizeof(double) * 3) == 0) {
        xb = last.result;
        break;
      }
      last.r = xb;
      last.d = db;
      last.inverse = inverse;
      kernel::compose_rotation_vector(xb, db, inverse);
      last.result = xb;
      last.valid = true;
      break;
    }
    case FieldKind::Custom:
      f.value = xb;
      f.scratch->set_vector(f.value);
      f.scratch->displace(db, inverse);
      f.scratch->read_into(xb);
      break;
  }
}

// a (-) b in place: the difference of two states as the fields form it.
void Engine::state_difference(Eigen::Ref<VectorX> a, const VectorX& b) { displace(a, b, true); }

// The weighted mean of the columns, field by field: linear, on the circle, or of quaternions.
void Engine::state_mean(const MatrixX& sigmas, VectorX& mean)
{
  for (FieldSlot& f : _fields) {
    auto out = mean.segment(f.offset, f.size);
    switch (f.kind) {
      case FieldKind::Linear:
        kernel::linear_mean(sigmas, _wm, f.offset, out);
        break;
      case FieldKind::EulerAngles:
        kernel::circular_mean(sigmas, _wm, f.offset, out);
        break;
      case FieldKind::AngleAxis:
        kernel::rotation_mean(sigmas, _wm, f.offset, out);
        break;
      case FieldKind::Custom:
        f.scratch->save_mean(scratch_states(sigmas), _wm);
        f.scratch->read_into(out);
        break;
    }
  }
}

State& Engine::scratch_state(const Eigen::Ref<const VectorX>& x)
{
  for (std::size_t i = 0; i < _fields.size(); ++i) {
    FieldSlot& f = _fields[i];
    f.value = x.segment(f.offset, f.size);
    _layout.field(i).set_vector(f.value);
  }
  return _layout;
}

std::vector<State>& Engine::scratch_states(const MatrixX& sigmas)
{
  _sigma_states.resize(static_cast<std::size_t>(sigmas.cols()), _layout);
  for (Eigen::Index i = 0; i < sigmas.cols(); ++i) {
    _column = sigmas.col(i);
    _sigma_states[static_cast<std::size_t>(i)].set_vector(_column);
  }
  return _sigma_states;
}

// The derivative of every column of `x` at time t into the columns of `k`. The built-in models'
// kernels work on each column in place; `k` was zeroed when the engine was made, and a built-in
// model writes the same entries every time, so the others stay zero.
void Engine::derivatives(const IModel& model, const MatrixX& x, double t, MatrixX& k)
{
  const Eigen::Index points = x.cols();
  switch (_model_kind) {
    case ModelKind::PointMass2D:
      for (Eigen::Index i = 0; i < points; ++i) {
        kernel::point_mass_2d(&x(_velocity, i), &k(_position, i));
      }
      return;
    case ModelKind::AcceleratingRigidBody:
      for (Eigen::Index i = 0; i < points; ++i) {
        kernel::accelerate(&x(_acceleration, i), &k(_velocity, i));
      }
      [[fallthrough]];
    case ModelKind::RigidBody:
      for (Eigen::Index i = 0; i < points; ++i) {
        // The angles' sines and cosines are taken again only when the angles differ from this
        // column's last ones and from the first column's, worked on first.
        const double* euler = &x(_orientation, i);
        kernel::EulerTrig& trig = _trig[static_cast<std::size_t>(i)];
        if (!trig.holds(euler)) {
          if (i > 0 && _trig[0].holds(euler)) {
            trig = _trig[0];
          } else {
            trig.take(euler);
          }
        }
        kernel::rigid_body(trig, &x(_velocity, i), &x(_angular, i), &k(_position, i),
                           &k(_orientation, i));
      }
      return;
    case ModelKind::Custom:
      for (Eigen::Index i = 0; i < points; ++i) {
        model.f_into(scratch_state(x.col(i)), t, k.col(i));
      }
      return;
  }
}

// One classical Runge-Kutta step of every sigma point at once (the columns of x): they share the
// times and the step. Each stage displaces x through the fields' arithmetic; for generic and
// Euler-angle fields that is one pass over the whole matrix, the angles then wrapped.
void Engine::rk4_step(const IModel& model, MatrixX& x, double t0, double h)
{
  if (!_all_additive) {
    start_rotations(x);
  }
  const auto stage = [&](double scale, const MatrixX& k) {
    if (_all_additive) {
      _stage = x + scale * k;
      for (Eigen::Index i = 0; i < x.cols(); ++i) {
        for (const Eigen::Index r : _wrapped) {
          _stage(r, i) = wrap_angle(_stage(r, i));
        }
      }
    } else {
      for (Eigen::Index i = 0; i < x.cols(); ++i) {
        _increment = scale * k.col(i);
        displace_from_start(i, x.col(i), _increment, _stage.col(i));
      }
    }
  };
  derivatives(model, x, t0, _k1);
  stage(h * 0.5, _k1);
  derivatives(model, _stage, t0 + h * 0.5, _k2);
  stage(h * 0.5, _k2);
  derivatives(model, _stage, t0 + h * 0.5, _k3);
  stage(h, _k3);
  derivatives(model, _stage, t0 + h, _k4);
  _k1 = (h / 6.0) * (_k1 + 2.0 * _k2 + 2.0 * _k3 + _k4);  // the increment
  if (_all_additive) {
    x += _k1;
    for (Eigen::Index i = 0; i < x.cols(); ++i) {
      for (const Eigen::Index r : _wrapped) {
        x(r, i) = wrap_angle(x(r, i));
      }
    }
  } else {
    for (Eigen::Index i = 0; i < x.cols(); ++i) {
      displace_from_start(i, x.col(i), _k1.col(i), x.col(i));
    }
  }
}

// The quaternions of the rotation fields of every column of x, the start of a Runge-Kutta step:
// each stage and the step's end compose onto them.
void Engine::start_rotations(const MatrixX& x)
{
  const std::size_t per_column = _rotation_fields.size();
  for (Eigen::Index i = 0; i < x.cols(); ++i) {
    for (std::size_t f = 0; f < per_column; ++f) {
      RotationStart& start = _rotation_starts[static_cast<std::size_t>(i) * per_column + f];
      const Eigen::Vector3d r = x.col(i).segment<3>(_fields[_rotation_fields[f]].offset);
      start.q = to_quaternion(from_rotation_vector(r));
      start.has_result = false;
    }
  }
}

// out = start (+) d for column `column` of the step begun by start_rotations(), field by field.
// A rotation composes onto the step's quaternion; a displacement equal, bit for bit, to the last
// one of this column gives the last result again (the stages of a constant turn rate repeat).
// `out` may be `start` itself.
void Engine::displace_from_start(Eigen::Index column, const Eigen::Ref<const VectorX>& start,
                                 const Eigen::Ref<const VectorX>& d, Eigen::Ref<VectorX> out)
{
  std::size_t rotation = static_cast<std::size_t>(column) * _rotation_fields.size();
  for (FieldSlot& f : _fields) {
    auto ob = out.segment(f.offset, f.size);
    const auto db = d.segment(f.offset, f.size);
    if (f.kind != FieldKind::AngleAxis) {
      ob = start.segment(f.offset, f.size);
      displace_field(f, ob, db, false);
      continue;
    }
    RotationStart& memo = _rotation_starts[rotation++];
    if (!(memo.has_result && std::memcmp(memo.d.data(), db.data(), sizeof(double) * 3) == 0)) {
      memo.d = db;
      const AngleAxis result = composed(memo.q, db, false);
      memo.result = result.angle() * result.axis();
      memo.has_result = true;
    }
    ob = memo.result;
  }
}

void Engine::resolve_sensors(const State& state, const Measurement& z)
{
  _sensors.clear();
  Eigen::Index offset = 0;
  for (int i = 0; i < static_cast<int>(z.number_of_sensors()); ++i) {
    const ISensor& s = z.get_sensor(i);
    if (!s.is_populated()) {
      continue;
    }
    SensorSlot slot{SensorKind::Custom, &s, offset, s.get_size(), {}, {-1, -1, -1}, {}, nullptr};
    // The blocks a built-in sensor's prediction reads, checked as its own prediction checks them.
    const auto block = [&](const std::string& field, Eigen::Index needed, bool exact) {
      const IField& f = checked_state_field(state, s.get_name(), field, needed, exact);
      return FieldBlock{static_cast<Eigen::Index>(f.get_index()),
                        static_cast<Eigen::Index>(f.get_size())};
    };
    const auto correct_with = [&](const std::string& field, Eigen::Index size, int i) {
      if (!field.empty()) {
        slot.corrections[i] = block(field, size, true).offset;
      }
    };
    if (const auto* p = dynamic_cast<const PositionSensor*>(&s)) {
      slot.kind = SensorKind::Position;
      slot.fields[0] = block(p->get_state_pos_field(), slot.size, false);
    } else if (const auto* o = dynamic_cast<const OrientationSensor*>(&s)) {
      slot.kind = SensorKind::Orientation;
      slot.fields[0] = block(o->get_state_orient_field(), slot.size, true);
    } else if (const auto* e = dynamic_cast<const Encoders*>(&s); e != nullptr && slot.size >= 2) {
      slot.kind = SensorKind::Encoders;
      slot.fields[0] = block(e->get_state_vel_field(), 1, false);
      slot.fields[1] = block(e->get_state_ang_vel_field(), 3, false);
      correct_with(e->get_state_speed_scale_field(), 1, 0);
      correct_with(e->get_state_yaw_rate_scale_field(), 1, 1);
      correct_with(e->get_state_yaw_rate_bias_field(), 1, 2);
      if (e->at_standstill()) {
        // The wheels stand still, and so does the robot: no scale or slip applies.
        std::fill(std::begin(slot.corrections), std::end(slot.corrections), Eigen::Index{-1});
      }
      // A reading that says too little of a scale reads it at its estimate.
      slot.at_mean[0] = e->scale_held(0);
      slot.at_mean[1] = e->scale_held(1);
    } else if (const auto* m = dynamic_cast<const Imu*>(&s); m != nullptr && slot.size >= 6) {
      slot.kind = SensorKind::Imu;
      slot.fields[0] = block(m->get_state_acc_field(), 3, true);
      slot.fields[1] = block(m->get_state_ang_vel_field(), 3, true);
      correct_with(m->get_state_accel_bias_field(), 3, 0);
      correct_with(m->get_state_gyro_bias_field(), 3, 1);
    } else if (const auto* v = dynamic_cast<const VO*>(&s); v != nullptr && slot.size >= 6) {
      slot.kind = SensorKind::VO;
      slot.fields[0] = block(v->get_state_pos_field(), 3, true);
      slot.fields[1] = block(v->get_state_orient_field(), 3, true);
    } else {
      slot.scratch = s.clone();
    }
    offset += slot.size;
    _sensors.push_back(std::move(slot));
  }
}

void Engine::predict(const SensorSlot& s, const Eigen::Ref<const VectorX>& x,
                     Eigen::Ref<VectorX> z_column)
{
  auto out = z_column.segment(s.offset, s.size);
  const auto field = [&](int i) { return x.segment(s.fields[i].offset, s.fields[i].size); };
  const auto correction = [&](int i) {
    return s.corrections[i] < 0 ? nullptr
                                : (s.at_mean[i] ? _prior_mean : x.data()) + s.corrections[i];
  };
  switch (s.kind) {
    case SensorKind::Position:
    case SensorKind::Orientation:
      kernel::predict_block(field(0), out);
      return;
    case SensorKind::Encoders:
      kernel::predict_encoders(field(0), field(1), correction(0), correction(1), correction(2),
                               out);
      return;
    case SensorKind::Imu:
      kernel::predict_imu(field(0), field(1), correction(0), correction(1), out);
      return;
    case SensorKind::VO:
      kernel::predict_pair(field(0), field(1), out);
      return;
    case SensorKind::Custom:
      s.scratch->state_to_measurement(scratch_state(x));
      s.scratch->read_into(out);
      return;
  }
}

// The first entry of a built-in sensor's reading that is an angle: its mean is taken on the
// circle and its differences wrap.
Eigen::Index Engine::first_angle(const SensorSlot& s)
{
  switch (s.kind) {
    case SensorKind::Orientation:
      return 0;
    case SensorKind::VO:
      return 3;
    default:
      return s.size;
  }
}

// The weighted mean of the predicted readings, sensor by sensor.
void Engine::measurement_mean(const Measurement& z)
{
  const MatrixX& columns = _work.z_sigmas;
  for (const SensorSlot& s : _sensors) {
    auto out = _work.z_mean.segment(s.offset, s.size);
    if (s.kind == SensorKind::Custom) {
      _sigma_measurements.resize(static_cast<std::size_t>(columns.cols()), z);
      for (Eigen::Index i = 0; i < columns.cols(); ++i) {
        _z = columns.col(i);
        _sigma_measurements[static_cast<std::size_t>(i)].set_vector(_z);
      }
      s.scratch->save_mean(_sigma_measurements, _wm);
      s.scratch->read_into(out);
      continue;
    }
    // Visual odometry's position and any entries past its six are linear; its angles are not.
    const Eigen::Index first = first_angle(s);
    const Eigen::Index angles = s.kind == SensorKind::VO ? 3 : s.size - first;
    out.setZero();
    kernel::linear_mean(columns, _wm, s.offset, out.head(first));
    kernel::circular_mean(columns, _wm, s.offset + first, out.segment(first, angles));
    // The angle sensors wrap their circular mean once more when they normalise their reading;
    // the second wrap is kept so that the numbers stay those of the sensors' own save_mean.
    kernel::wrap(out.tail(s.size - first));
  }
}

// a (-) b in place, sensor by sensor: angles wrap.
void Engine::measurement_difference(Eigen::Ref<VectorX> a, const Eigen::Ref<const VectorX>& b)
{
  for (const SensorSlot& s : _sensors) {
    auto ab = a.segment(s.offset, s.size);
    const auto bb = b.segment(s.offset, s.size);
    if (s.kind == SensorKind::Custom) {
      s.scratch->set_vector(ab);
      *s.scratch -= VectorX(bb);
      s.scratch->read_into(ab);
      continue;
    }
    kernel::add(ab, bb, true);
    kernel::wrap(ab.tail(s.size - first_angle(s)));
  }
}

void Engine::update(const State& state, const MatrixX& covar, const IModel& model,
                    const Measurement& z, double prev_time, double dt)
{
  FlatStep& w = _work;
  const Eigen::Index points = 2 * _n + 1;
  w.prev_time = prev_time;
  w.dt = dt;
  w.cur_time = prev_time + dt;
  state.get_vector_into(w.prev_x);
  w.prev_P = covar;

  // Propagation bounds first, so that a refused interval changes nothing.
  const double h = model.get_integrator_step();
  if (!(std::isfinite(h) && h > 0.0)) {
    check_integrator_step(h, model.get_name());  // names the model only when it throws
  }
  if (dt / h > IModel::kMaxSteps) {
    throw std::invalid_argument("model \"" + model.get_name() + "\": an interval of " +
                                config::format_number(dt) + " s needs more than " +
                                config::format_number(IModel::kMaxSteps) + " steps of " +
                                config::format_number(h) + " s");
  }
  resolve_sensors(state, z);

  // Sigma points along the columns of the lower Cholesky factor of (n + lambda) P.
  _scaled = (static_cast<double>(_n) + _lambda) * covar;
  _llt.compute(_scaled);
  if (_llt.info() == Eigen::Success) {
    _root = _llt.matrixL();
  } else {
    std::cout << "LLT decomposition failed." << std::endl;
    // The nearest positive semi-definite matrix V max(D, 0) V^T; its square root
    // V sqrt(max(D, 0)) spreads the points along the eigenvectors.
    const MatrixX symmetric = 0.5 * (_scaled + _scaled.transpose());
    const Eigen::SelfAdjointEigenSolver<MatrixX> solver(symmetric);
    const VectorX roots = solver.eigenvalues().cwiseMax(0.0).cwiseSqrt();
    _root = solver.eigenvectors() * roots.asDiagonal();
  }
  w.sigmas.col(0) = w.prev_x;
  for (Eigen::Index i = 0; i < _n; ++i) {
    w.sigmas.col(1 + i) = w.prev_x;
    displace(w.sigmas.col(1 + i), _root.col(i), false);
    w.sigmas.col(1 + _n + i) = w.prev_x;
    displace(w.sigmas.col(1 + _n + i), _root.col(i), true);
  }

  // The sigma points through the model, in fixed steps with a shorter last one.
  double t = prev_time;
  while (t < prev_time + dt) {
    const double step = std::min(h, (prev_time + dt) - t);
    rk4_step(model, w.sigmas, t, step);
    t = t + step;
  }

  // The prior: the weighted mean and the weighted outer products of the deviations, plus noise.
  // The sums of outer products are matrix products, D diag(w) D^T.
  state_mean(w.sigmas, w.prior_x);
  for (Eigen::Index i = 0; i < points; ++i) {
    _deviations.col(i) = w.sigmas.col(i);
    state_difference(_deviations.col(i), w.prior_x);
  }
  _weighted.noalias() = _deviations * _wc.asDiagonal();
  w.prior_P.noalias() = _weighted * _deviations.transpose();
  if (_model_kind == ModelKind::Custom) {
    model.add_process_noise(dt, w.prior_P);
  } else {
    w.prior_P += dt * _unit_noise;
  }

  // The populated sensors' predictions of every sigma point, and their mean.
  Eigen::Index m = 0;
  for (const SensorSlot& s : _sensors) {
    m += s.size;
  }
  shape(w.z_sigmas, m, points);
  shape(w.z_mean, m);
  shape(w.residual, m);
  shape(w.S, m, m);
  shape(w.C, _n, m);
  shape(w.K, _n, m);
  shape(_z_deviations, m, points);
  shape(_z_weighted, m, points);
  shape(_noise, m, m);
  shape(_kt, m, _n);
  shape(_ks, _n, m);
  shape(_z, m);
  _prior_mean = w.prior_x.data();
  for (Eigen::Index i = 0; i < points; ++i) {
    for (const SensorSlot& s : _sensors) {
      predict(s, w.sigmas.col(i), w.z_sigmas.col(i));
    }
  }
  measurement_mean(z);
  for (Eigen::Index i = 0; i < points; ++i) {
    _z_deviations.col(i) = w.z_sigmas.col(i);
    measurement_difference(_z_deviations.col(i), w.z_mean);
  }
  _noise.setZero();
  for (const SensorSlot& s : _sensors) {
    s.sensor->read_noise_into(_noise.block(s.offset, s.offset, s.size, s.size));
  }
  _z_weighted.noalias() = _z_deviations * _wc.asDiagonal();
  w.S.noalias() = _z_weighted * _z_deviations.transpose();
  w.S += _noise;
  w.C.noalias() = _weighted * _z_deviations.transpose();

  // K = C S^-1 without an inverse: S K^T = C^T with the pivoting LDL^T factorisation.
  _ldlt.compute(w.S);
  _kt = w.C.transpose();
  _ldlt.solveInPlace(_kt);
  w.K = _kt.transpose();

  for (const SensorSlot& s : _sensors) {
    s.sensor->read_into(w.residual.segment(s.offset, s.size));
  }
  measurement_difference(w.residual, w.z_mean);
  _correction.noalias() = w.K * w.residual;
  w.post_x = w.prior_x;
  displace(w.post_x, _correction, false);
  _ks.noalias() = w.K * w.S;
  _kskt.noalias() = _ks * w.K.transpose();
  w.post_P = w.prior_P - _kskt;
  symmetrise(w.post_P);
}

void Engine::commit(Measurement&& z)
{
  swap_records();
  _last.measurement = std::move(z);
}

void Engine::commit(const Measurement& z)
{
  swap_records();
  _last.measurement = z;
}

void Engine::swap_records()
{
  std::swap(_work.prev_time, _last.prev_time);
  std::swap(_work.dt, _last.dt);
  std::swap(_work.cur_time, _last.cur_time);
  _work.prev_x.swap(_last.prev_x);
  _work.prev_P.swap(_last.prev_P);
  _work.sigmas.swap(_last.sigmas);
  _work.prior_x.swap(_last.prior_x);
  _work.prior_P.swap(_last.prior_P);
  _work.z_sigmas.swap(_last.z_sigmas);
  _work.z_mean.swap(_last.z_mean);
  _work.S.swap(_last.S);
  _work.C.swap(_last.C);
  _work.K.swap(_last.K);
  _work.residual.swap(_last.residual);
  _work.post_x.swap(_last.post_x);
  _work.post_P.swap(_last.post_P);
  _has_last = true;
}

bool Engine::is_finite(const Measurement& z)
{
  z.get_vector_into(_z);
  return _z.allFinite();
}

void Engine::write_state(const VectorX& x, State& state)
{
  for (std::size_t i = 0; i < _fields.size(); ++i) {
    FieldSlot& f = _fields[i];
    f.value = x.segment(f.offset, f.size);
    state.field(i).set_vector(f.value);
  }
}

Step Engine::last_step(const State& layout) const
{
  Step step;
  if (!_has_last) {
    return step;
  }
  const FlatStep& r = _last;
  const auto state_of = [&](const VectorX& x) {
    State s = layout;
    s.set_vector(x);
    return s;
  };
  const auto measurement_of = [&](const VectorX& v) {
    Measurement z = r.measurement;
    z.set_vector(v);
    return z;
  };
  step.prev_state = state_of(r.prev_x);
  step.prev_covar = r.prev_P;
  step.prev_time = r.prev_time;
  step.dt = r.dt;
  step.cur_time = r.cur_time;
  for (Eigen::Index i = 0; i < r.sigmas.cols(); ++i) {
    step.propagated_sigmas.push_back(state_of(r.sigmas.col(i)));
  }
  step.priori_state = state_of(r.prior_x);
  step.priori_covar = r.prior_P;
  step.sensor_measurement = r.measurement;
  for (Eigen::Index i = 0; i < r.z_sigmas.cols(); ++i) {
    step.measurement_sigmas.push_back(measurement_of(r.z_sigmas.col(i)));
  }
  step.predicted_measurement = measurement_of(r.z_mean);
  step.predicted_measurement_covar = r.S;
  step.cross_covar = r.C;
  step.kalman_gain = r.K;
  step.residual = measurement_of(r.residual);
  step.posteriori_state = state_of(r.post_x);
  step.posteriori_covar = r.post_P;
  return step;
}

}  // namespace ukf::detail
