#include <limits>
#include <vector>

#include "test_helpers.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"
#include "ukf/factories.hpp"
#include "ukf/sensors/OrientationSensor.hpp"
#include "ukf/sensors/PositionSensor.hpp"
#include "ukf/sensors/VO.hpp"
#include "ukf/sensors/encoders.hpp"
#include "ukf/sensors/imu.hpp"

using namespace ukf;
using ukf::test::MatrixNear;
using ukf::test::vec;

namespace
{

json generic(const std::string& name, const VectorX& v, const char* type = "GENERIC_FIELD")
{
  return {{"type", type},
          {"name", name},
          {"size", v.size()},
          {"initial_values", std::vector<double>(v.data(), v.data() + v.size())}};
}

State state_of(std::initializer_list<json> fields) { return State(json{{"fields", fields}}); }

// Sigma-point measurements holding one sensor "s" of the given type with the given readings.
std::vector<Measurement> readings(const json& sensor, const std::vector<VectorX>& values)
{
  std::vector<Measurement> out;
  for (const auto& v : values) {
    Measurement m(json{{"sensors", {sensor}}});
    m.sensor_populate("s", v);
    out.push_back(m);
  }
  return out;
}

json sensor_cfg(const char* type, int size)
{
  json cfg = {{"type", type},
              {"name", "s"},
              {"size", size},
              {"noise", json::array()},
              {"state_pos_field", "P"},
              {"state_orientation_field", "O"},
              {"state_orient_field", "O"},
              {"state_vel_field", "V"},
              {"state_ang_vel_field", "W"},
              {"state_acc_field", "A"}};
  for (int r = 0; r < size; ++r) {
    cfg["noise"].push_back(std::vector<double>(static_cast<std::size_t>(size), 0.0));
    cfg["noise"][static_cast<std::size_t>(r)][static_cast<std::size_t>(r)] = 1.0;
  }
  return cfg;
}

// Wheels whose speed scale, yaw-rate scale and yaw-rate bias are the fields Sv, Sw and Bw.
json corrected_encoders_cfg()
{
  json enc = sensor_cfg("ENCODERS", 2);
  enc["state_speed_scale_field"] = "Sv";
  enc["state_yaw_rate_scale_field"] = "Sw";
  enc["state_yaw_rate_bias_field"] = "Bw";
  return enc;
}

// The keys of a configuration with the wheels `enc` that no reader knows, the other sensor types'
// field keys of sensor_cfg() left out.
std::vector<std::string> unknown_encoder_keys(json enc)
{
  for (const char* other : {"state_acc_field", "state_orient_field", "state_orientation_field",
                            "state_pos_field"}) {
    enc.erase(other);
  }
  const json measurement = {{"sensors", json::array({enc})}};
  return config::unknown_keys(json{{"measurement", measurement}});
}

}  // namespace

TEST(Sensor, ConfiguredStartsUnpopulatedWithZeros)
{
  json cfg = sensor_cfg("POSITION_SENSOR", 3);
  cfg["noise"][1][1] = 4.0;
  const auto s = create_sensor_from_json(5, cfg);
  EXPECT_EQ(s->get_vector(), VectorX::Zero(3));
  EXPECT_FALSE(s->is_populated());
  EXPECT_EQ(s->get_size(), 3);
  EXPECT_EQ(s->get_noise()(1, 1), 4.0);
  s->set_vector(vec({1, 2}));
  EXPECT_EQ(s->get_vector().size(), 2);
  EXPECT_EQ(s->get_size(), 3);
  EXPECT_TRUE(s->is_populated());
  s->set_zero();
  EXPECT_EQ(s->get_vector(), vec({0, 0}));
  EXPECT_FALSE(s->is_populated());
  s->set_noise(MatrixX::Identity(3, 3));
  EXPECT_FALSE(s->is_populated());
  const auto copy = s->clone();
  s->set_vector(vec({7, 7, 7}));
  EXPECT_EQ(copy->get_vector(), vec({0, 0}));
}

TEST(Sensor, ConfigurationErrorsNameTheSensor)
{
  json cfg = sensor_cfg("ENCODERS", 2);
  cfg["noise"] = {{1, 0, 0}, {0, 1, 0}};
  EXPECT_THROW_MSG(create_sensor_from_json(0, cfg), std::runtime_error,
                   "Invalid config: \"noise\" of sensor \"s\" is 2 x 3, expected 2 x 2");
  cfg = sensor_cfg("IMU", 6);
  cfg["size"] = -6;
  EXPECT_THROW_MSG(create_sensor_from_json(0, cfg), std::runtime_error,
                   "Invalid config: \"size\" of sensor \"s\" is -6, it must not be negative");
  cfg = sensor_cfg("VO", 6);
  cfg.erase("state_orient_field");
  EXPECT_THROW_MSG(create_sensor_from_json(0, cfg), std::runtime_error,
                   "Invalid config: missing key \"state_orient_field\" in sensor \"s\"");
  cfg = sensor_cfg("ORIENTATION_SENSOR", 1);
  cfg.erase("state_orientation_field");
  EXPECT_THROW_HAS(create_sensor_from_json(0, cfg), std::runtime_error, "state_orientation_field");
}

TEST(PositionSensor, ReadsTheFirstComponents)
{
  const State st = state_of({generic("P", vec({1, 2, 3}))});
  PositionSensor s(0, 2, "s", VectorX::Zero(2), MatrixX::Identity(2, 2), "P", false);
  s.state_to_measurement(st);
  EXPECT_EQ(s.get_vector(), vec({1, 2}));
  EXPECT_TRUE(s.is_populated());
  PositionSensor wide(0, 4, "wide", VectorX::Zero(4), MatrixX::Identity(4, 4), "P", false);
  EXPECT_THROW_HAS(wide.state_to_measurement(st), std::invalid_argument, "\"wide\"", "\"P\"", "4",
                   "3");
  EXPECT_EQ(wide.get_vector(), VectorX::Zero(4));
}

TEST(OrientationSensor, WrapsAfterArithmeticAndTakesTheWholeField)
{
  const State st = state_of({generic("O", vec({4.0}), "EULER_ANGLES")});
  OrientationSensor s(0, 1, "s", VectorX::Zero(1), MatrixX::Identity(1, 1), "O", false);
  s.state_to_measurement(st);
  EXPECT_EQ(s.get_vector()(0), 4.0);
  s += vec({0.0});
  EXPECT_NEAR(s.get_vector()(0), 4.0 - kTwoPi, 1e-15);

  const State three = state_of({generic("O", vec({0.1, 0.2, 0.3}), "EULER_ANGLES")});
  EXPECT_THROW_HAS(s.state_to_measurement(three), std::invalid_argument, "\"s\"", "\"O\"",
                   "exactly 1", "3");
  EXPECT_EQ(s.get_vector().size(), 1);

  OrientationSensor n(0, 5, "s", vec({kPi, -kPi, 7 * kPi / 2, -7 * kPi / 2, 2 * kPi}),
                      MatrixX::Identity(5, 5), "O", true);
  n.normalize();
  EXPECT_TRUE(MatrixNear(n.get_vector(), vec({-kPi, -kPi, -kPi / 2, kPi / 2, 0}), 1e-14));
}

TEST(OrientationSensor, CircularMeanAtTheSeam)
{
  const json cfg = sensor_cfg("ORIENTATION_SENSOR", 1);
  std::vector<Measurement> sig = readings(cfg, {vec({3.0}), vec({-3.0})});
  auto s = create_sensor_from_json(0, cfg);
  VectorX w = vec({0.5, 0.5});
  s->save_mean(sig, w);
  EXPECT_EQ(s->get_vector()(0), -kPi);
  EXPECT_TRUE(s->is_populated());
}

TEST(Encoders, TurnRateIsTheYawRate)
{
  const State st =
    state_of({generic("V", vec({1.5, 0.2, 0.0})), generic("W", vec({0.01, 0.3, 0.7}))});
  Encoders e(0, 2, "s", VectorX::Zero(2), MatrixX::Identity(2, 2), "V", "W", false);
  e.state_to_measurement(st);
  EXPECT_EQ(e.get_vector(), vec({1.5, 0.7}));
  const State planar = state_of({generic("V", vec({1.0})), generic("W", vec({0.1, 0.2}))});
  EXPECT_THROW_HAS(e.state_to_measurement(planar), std::invalid_argument, "\"s\"", "\"W\"", "3",
                   "2");
  e += vec({0.0, 1.0});
  EXPECT_EQ(e.get_vector(), vec({1.5, 1.7}));  // no wrap
  EXPECT_THROW_HAS(e += vec({1.0}), std::invalid_argument, "\"s\"");
}

TEST(Imu, ComparesTheFieldsAsHeld)
{
  const State st = state_of({generic("A", vec({0, 0, 9.81})), generic("W", vec({0.1, 0.2, 0.3}))});
  Imu imu(0, 6, "s", VectorX::Zero(6), MatrixX::Identity(6, 6), "A", "W", false);
  imu.state_to_measurement(st);
  EXPECT_EQ(imu.get_vector(), vec({0, 0, 9.81, 0.1, 0.2, 0.3}));
  imu += vec({0, 0, 0, 3.0, 0, 0});
  imu += vec({0, 0, 0, 1.0, 0, 0});
  EXPECT_EQ(imu.get_vector()(3), 4.1);
}

// The wheels' scale factors and bias, and the IMU's biases, are state fields the sensors name
// optionally: each changes its part of the prediction, and only that.
TEST(Sensor, CorrectingFieldsScaleAndBiasThePrediction)
{
  const State st = state_of({generic("V", vec({1.5, 0.2, 0.0})), generic("W", vec({0.1, 0.2, 0.7})),
                             generic("Sv", vec({1.03})), generic("Sw", vec({5.0})),
                             generic("Bw", vec({-0.02})), generic("Ba", vec({0.3, -0.2, 0.1})),
                             generic("Bg", vec({0.0, 0.01, 0.04}))});
  json enc = corrected_encoders_cfg();
  const auto e = create_sensor_from_json(0, enc);
  e->state_to_measurement(st);
  EXPECT_EQ(e->get_vector(), vec({1.03 * 1.5, 5.0 * 0.7 - 0.02}));
  EXPECT_EQ(unknown_encoder_keys(enc), std::vector<std::string>());
  // Each alone, from parts.
  Encoders parts(0, 2, "s", VectorX::Zero(2), MatrixX::Identity(2, 2), "V", "W", false);
  parts.set_corrections("", "", "Bw");
  parts.state_to_measurement(st);
  EXPECT_EQ(parts.get_vector(), vec({1.5, 0.7 - 0.02}));
  parts.set_corrections("", "Sw", "");
  parts.state_to_measurement(st);
  EXPECT_EQ(parts.get_vector(), vec({1.5, 5.0 * 0.7}));

  json imu = sensor_cfg("IMU", 6);
  imu["state_acc_field"] = "V";
  imu["state_ang_vel_field"] = "W";
  imu["state_gyro_bias_field"] = "Bg";
  const auto m = create_sensor_from_json(0, imu);
  m->state_to_measurement(st);
  EXPECT_EQ(m->get_vector(), vec({1.5, 0.2, 0.0, 0.1, 0.2 + 0.01, 0.7 + 0.04}));
  imu["state_accel_bias_field"] = "Ba";
  create_sensor_from_json(0, imu)->state_to_measurement(st);
  Imu both(0, 6, "s", VectorX::Zero(6), MatrixX::Identity(6, 6), "V", "W", false);
  both.set_biases("Ba", "");
  both.state_to_measurement(st);
  EXPECT_EQ(both.get_vector(), vec({1.5 + 0.3, 0.2 - 0.2, 0.0 + 0.1, 0.1, 0.2, 0.7}));

  // What cannot be used is named: the sensor, the key or the field, and the sizes.
  json bad = enc;
  bad["state_yaw_rate_scale_field"] = "";
  EXPECT_THROW_MSG(create_sensor_from_json(0, bad), std::runtime_error,
                   "Invalid config: \"state_yaw_rate_scale_field\" of sensor \"s\" is empty; "
                   "leave the key out for no correction");
  bad["state_yaw_rate_scale_field"] = 5;
  EXPECT_THROW_HAS(create_sensor_from_json(0, bad), json::type_error,
                   "\"state_yaw_rate_scale_field\" of sensor \"s\"", "must be string");
  bad["state_yaw_rate_scale_field"] = "Bg";
  EXPECT_THROW_MSG(create_sensor_from_json(0, bad)->state_to_measurement(st),
                   std::invalid_argument,
                   "sensor \"s\" needs exactly 1 entry of state field \"Bg\", which has 3");
  bad["state_yaw_rate_scale_field"] = "Missing";
  EXPECT_THROW_MSG(create_sensor_from_json(0, bad)->state_to_measurement(st), std::runtime_error,
                   "Field not found: Missing");
  imu["state_gyro_bias_field"] = "Sv";
  EXPECT_THROW_HAS(create_sensor_from_json(0, imu)->state_to_measurement(st),
                   std::invalid_argument, "\"s\"", "exactly 3", "\"Sv\"");
}

// A reading within "standstill_within" of zero says the wheels stand still: it is predicted as
// the velocity and yaw rate themselves, whatever the scales and the bias; any other reading, or a
// sensor without the key, as before. Copies keep what their reading was.
TEST(Encoders, AStandstillReadingLeavesTheCorrectionsOut)
{
  const State st = state_of({generic("V", vec({0.01, 0.0, 0.0})), generic("W", vec({0.0, 0.0, 0.002})),
                             generic("Sv", vec({1.03})), generic("Sw", vec({5.0})),
                             generic("Bw", vec({-0.02}))});
  json enc = corrected_encoders_cfg();
  const VectorX corrected = vec({1.03 * 0.01, 5.0 * 0.002 - 0.02});
  const auto plain = create_sensor_from_json(0, enc);
  plain->set_vector(vec({0.0, 0.0}));
  plain->state_to_measurement(st);
  EXPECT_EQ(plain->get_vector(), corrected);

  enc["standstill_within"] = {0.005, 0.01};
  EXPECT_EQ(unknown_encoder_keys(enc), std::vector<std::string>());
  const auto e = create_sensor_from_json(0, enc);
  for (const VectorX& reading : {vec({0.0, 0.0}), vec({-0.005, 0.01})}) {
    e->set_vector(reading);
    const auto copy = e->clone();
    e->state_to_measurement(st);
    EXPECT_EQ(e->get_vector(), vec({0.01, 0.002})) << reading.transpose();
    copy->state_to_measurement(st);
    EXPECT_EQ(copy->get_vector(), vec({0.01, 0.002})) << reading.transpose();
  }
  for (const VectorX& reading : {vec({0.006, 0.0}), vec({0.0, -0.011}), vec({1.2, 0.0})}) {
    e->set_vector(reading);
    e->state_to_measurement(st);
    EXPECT_EQ(e->get_vector(), corrected) << reading.transpose();
  }

  for (const char* key : {"standstill_within", "scales_learn_above"}) {
    for (const json& bad : {json{-0.1, 0.0}, json{0.1}, json{0.1, "x"}, json("0 0"), json(0.1)}) {
      json wrong = corrected_encoders_cfg();
      wrong[key] = bad;
      EXPECT_THROW_MSG(create_sensor_from_json(0, wrong), std::runtime_error,
                       "Invalid config: \"" + std::string(key) +
                         "\" of sensor \"s\" must be two numbers of at least 0, a speed (m/s) "
                         "and a yaw rate (rad/s); got " + bad.dump());
    }
  }
  Encoders parts(0, 2, "s", VectorX::Zero(2), MatrixX::Identity(2, 2), "V", "W", false);
  EXPECT_THROW_MSG(parts.set_standstill_within(0.1, std::nan("")), std::invalid_argument,
                   "sensor \"s\": the standstill bounds must be finite");
  EXPECT_THROW_MSG(parts.set_scales_learn_above(std::numeric_limits<double>::infinity(), 0.1),
                   std::invalid_argument,
                   "sensor \"s\": the scales' learning bounds must be finite");
}

// "scales_learn_above" marks, reading by reading, each scale that the reading says too little
// of; the mark goes with copies, and without the key no scale is ever marked.
TEST(Encoders, ASmallReadingMarksItsScaleHeld)
{
  json enc = corrected_encoders_cfg();
  const auto plain = create_sensor_from_json(0, enc);
  plain->set_vector(vec({0.0, 0.0}));
  const auto& unmarked = dynamic_cast<const Encoders&>(*plain);
  EXPECT_FALSE(unmarked.scale_held(0) || unmarked.scale_held(1));

  enc["scales_learn_above"] = {0.05, 0.1};
  EXPECT_EQ(unknown_encoder_keys(enc), std::vector<std::string>());
  const auto e = create_sensor_from_json(0, enc);
  const auto& wheels = dynamic_cast<const Encoders&>(*e);
  struct Case
  {
    VectorX reading;
    bool speed_held, yaw_rate_held;
  };
  for (const Case& c :
       {Case{vec({0.05, -0.1}), true, true}, Case{vec({1.2, 0.0}), false, true},
        Case{vec({-0.01, 0.11}), true, false}, Case{vec({1.2, -0.5}), false, false}}) {
    e->set_vector(c.reading);
    const auto copy = e->clone();
    for (const ISensor* s : {e.get(), copy.get()}) {
      const auto& w = dynamic_cast<const Encoders&>(*s);
      EXPECT_EQ(w.scale_held(0), c.speed_held) << c.reading.transpose();
      EXPECT_EQ(w.scale_held(1), c.yaw_rate_held) << c.reading.transpose();
    }
  }
  // The class's own prediction of one state reads the state's scales whatever the mark.
  const State st =
    state_of({generic("V", vec({1.5, 0.0, 0.0})), generic("W", vec({0.0, 0.0, 0.7})),
              generic("Sv", vec({1.03})), generic("Sw", vec({5.0})), generic("Bw", vec({-0.02}))});
  e->set_vector(vec({0.0, 0.0}));
  ASSERT_TRUE(wheels.scale_held(0) && wheels.scale_held(1));
  e->state_to_measurement(st);
  EXPECT_EQ(e->get_vector(), vec({1.03 * 1.5, 5.0 * 0.7 - 0.02}));
}

TEST(Sensor, LinearMeanUsesWeightsAsGiven)
{
  for (const char* type : {"ENCODERS", "POSITION_SENSOR"}) {
    const json cfg = sensor_cfg(type, 2);
    std::vector<Measurement> sig = readings(cfg, {vec({2, 4}), vec({4, 6}), vec({6, 8})});
    auto s = create_sensor_from_json(0, cfg);
    VectorX w = vec({0.5, 0.25, 0.25});
    s->save_mean(sig, w);
    EXPECT_TRUE(MatrixNear(s->get_vector(), vec({3.5, 5.5}), 1e-15)) << type;
  }
  const json one = sensor_cfg("POSITION_SENSOR", 1);
  std::vector<Measurement> sig = readings(one, {vec({5}), vec({1}), vec({2})});
  auto s = create_sensor_from_json(0, one);
  VectorX w = vec({-1, 1, 1});
  s->save_mean(sig, w);
  EXPECT_EQ(s->get_vector()(0), -2.0);
  VectorX too_few = vec({1});
  EXPECT_THROW_HAS(s->save_mean(sig, too_few), std::invalid_argument, "1 weights", "3");
}

TEST(VO, PredictsWithoutWrapping)
{
  const State st = state_of(
    {generic("P", vec({12.0, -7.5, 0.2})), generic("O", vec({0.0, 0.1, 3.5}), "EULER_ANGLES")});
  VO vo(0, 6, "s", VectorX::Zero(6), MatrixX::Identity(6, 6), "P", "O", false);
  vo.state_to_measurement(st);
  EXPECT_EQ(vo.get_vector(), vec({12.0, -7.5, 0.2, 0.0, 0.1, 3.5}));
}

TEST(VO, WrapsItsAnglesAfterArithmetic)
{
  VO vo(0, 6, "s", vec({0, 0, 0, 0, 0, 3.0}), MatrixX::Identity(6, 6), "P", "O", true);
  vo += vec({10, 0, 0, 0, 0, 1.0});
  EXPECT_EQ(vo.get_vector()(0), 10.0);  // positions never wrap
  EXPECT_NEAR(vo.get_vector()(5), 4.0 - kTwoPi, 1e-15);
  vo -= vec({0, 0, 0, 0, 0, -2.0});
  EXPECT_NEAR(vo.get_vector()(5), 6.0 - kTwoPi, 1e-15);
}

TEST(VO, MeanIsLinearForPositionsAndCircularForAngles)
{
  const json cfg = sensor_cfg("VO", 6);
  std::vector<Measurement> sig =
    readings(cfg, {vec({12.0, -7.5, 0.2, 0.0, 0.0, 3.0}), vec({14.0, -7.5, 0.2, 0.0, 0.0, -3.0})});
  auto s = create_sensor_from_json(0, cfg);
  VectorX half = vec({0.5, 0.5});
  s->save_mean(sig, half);
  EXPECT_TRUE(MatrixNear(s->get_vector(), vec({13.0, -7.5, 0.2, 0.0, 0.0, -kPi}), 1e-15));

  std::vector<Measurement> same =
    readings(cfg, {vec({1.0, 2.0, 3.0, 0.5, 0.5, 0.5}), vec({1.0, 2.0, 3.0, 0.5, 0.5, 0.5})});
  VectorX ones = vec({1.0, 1.0});
  s->save_mean(same, ones);
  EXPECT_TRUE(MatrixNear(s->get_vector(), vec({2.0, 4.0, 6.0, 0.5, 0.5, 0.5}), 1e-15));
}

// The contract every sensor keeps towards the measurement container: clones are deep and keep the
// flag, set_zero clears it, += then -= gives back the reading, and lengths are checked.
class SensorContract : public ::testing::TestWithParam<std::pair<const char*, int>>
{
};

TEST_P(SensorContract, CloneArithmeticAndLengths)
{
  const auto [type, size] = GetParam();
  auto s = create_sensor_from_json(3, sensor_cfg(type, size));
  VectorX reading = VectorX::LinSpaced(size, 0.1, 0.5);
  s->set_vector(reading);
  auto copy = s->clone();
  EXPECT_TRUE(copy->is_populated());
  const VectorX d = VectorX::Constant(size, 0.25);
  *s += d;
  *s -= d;
  EXPECT_TRUE(MatrixNear(s->get_vector(), reading, 1e-15)) << type;
  s->set_zero();
  EXPECT_FALSE(s->is_populated());
  EXPECT_TRUE(copy->is_populated());
  EXPECT_EQ(copy->get_vector(), reading);
  EXPECT_THROW_HAS(*copy += VectorX::Zero(size + 1), std::invalid_argument, "\"s\"");
  VectorX out(size + 2);
  EXPECT_THROW_HAS(copy->read_into(out), std::invalid_argument, "\"s\"");
}

INSTANTIATE_TEST_SUITE_P(AllSensors, SensorContract,
                         ::testing::Values(std::make_pair("POSITION_SENSOR", 3),
                                           std::make_pair("ORIENTATION_SENSOR", 3),
                                           std::make_pair("ENCODERS", 2), std::make_pair("IMU", 6),
                                           std::make_pair("VO", 6)));

// A mean over no sigma points is a mean of nothing: zero, angles included, for every sensor.
TEST(Sensor, MeanOverNoReadingsIsZero)
{
  for (const char* type : {"POSITION_SENSOR", "ORIENTATION_SENSOR", "ENCODERS", "IMU", "VO"}) {
    const int size = std::string(type) == "ENCODERS"                             ? 2
                     : (std::string(type) == "IMU" || std::string(type) == "VO") ? 6
                                                                                 : 3;
    auto s = create_sensor_from_json(0, sensor_cfg(type, size));
    s->set_vector(VectorX::Constant(size, 0.5));
    std::vector<Measurement> none;
    VectorX w;
    s->save_mean(none, w);
    EXPECT_EQ(s->get_vector(), VectorX::Zero(size)) << type;
  }
}
