#include <vector>

#include "test_helpers.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

using namespace ukf;
using ukf::test::MatrixNear;
using ukf::test::vec;

namespace
{

json position(const std::string& name, int size, double noise)
{
  json n = json::array();
  for (int r = 0; r < size; ++r) {
    std::vector<double> row(static_cast<std::size_t>(size), 0.0);
    row[static_cast<std::size_t>(r)] = noise;
    n.push_back(row);
  }
  return {{"type", "POSITION_SENSOR"},
          {"name", name},
          {"size", size},
          {"noise", n},
          {"state_pos_field", "P"}};
}

class MeasurementTest : public ::testing::Test
{
protected:
  Measurement m{
    json{{"sensors", {position("a", 2, 1.0), position("b", 3, 2.0), position("c", 1, 3.0)}}}};
};

}  // namespace

TEST_F(MeasurementTest, StartsEmpty)
{
  EXPECT_EQ(m.size_full(), 6);
  EXPECT_EQ(m.size(), 0);
  EXPECT_EQ(m.get_vector().size(), 0);
  EXPECT_EQ(m.measurement_noise_covariance().rows(), 0);
}

TEST_F(MeasurementTest, CompactLayoutFollowsSensorOrder)
{
  m.sensor_populate("b", vec({4, 5, 6}));
  EXPECT_EQ(m.size(), 3);
  EXPECT_EQ(m.get_vector(), vec({4, 5, 6}));
  EXPECT_EQ(m.measurement_noise_covariance(), 2.0 * MatrixX::Identity(3, 3));

  Measurement n(m);
  n.set_zero();
  n.sensor_populate("c", vec({9}));
  n.sensor_populate("a", vec({1, 2}));
  EXPECT_EQ(n.size(), 3);
  EXPECT_EQ(n.get_vector(), vec({1, 2, 9}));
  MatrixX expected = MatrixX::Zero(3, 3);
  expected.topLeftCorner(2, 2) = MatrixX::Identity(2, 2);
  expected(2, 2) = 3.0;
  EXPECT_EQ(n.measurement_noise_covariance(), expected);
}

TEST_F(MeasurementTest, PopulatingTwiceCountsOnceAndKeepsTheSecond)
{
  m.sensor_populate("a", vec({1, 2}));
  m.sensor_populate("a", vec({3, 4}));
  EXPECT_EQ(m.size(), 2);
  EXPECT_EQ(m["a"], vec({3, 4}));
}

TEST_F(MeasurementTest, NoiseOverrideIsPerMeasurement)
{
  Measurement copy(m);
  copy.sensor_populate("a", vec({1, 2}), 5.0 * MatrixX::Identity(2, 2));
  EXPECT_EQ(copy.measurement_noise_covariance(), 5.0 * MatrixX::Identity(2, 2));
  m.sensor_populate("a", vec({1, 2}));
  EXPECT_EQ(m.measurement_noise_covariance(), MatrixX::Identity(2, 2));
  EXPECT_FALSE(Measurement(json{{"sensors", {position("a", 2, 1.0)}}}).sensor_is_populated(0));
}

TEST_F(MeasurementTest, BadPopulationsChangeNothing)
{
  EXPECT_THROW_MSG(m.sensor_populate("gps", vec({1})), std::runtime_error, "Sensor not found: gps");
  // A one-letter name is one edit from any other: no suggestion for it.
  EXPECT_THROW_MSG(m["x"], std::runtime_error, "Sensor not found: x");
  EXPECT_THROW_MSG(m["A"], std::runtime_error, "Sensor not found: A (did you mean \"a\"?)");
  EXPECT_THROW_HAS(m.sensor_populate("a", vec({1, 2, 3})), std::invalid_argument, "\"a\"", "3",
                   "expected 2");
  EXPECT_THROW_HAS(m.sensor_populate("a", vec({1, NAN})), std::invalid_argument, "\"a\"",
                   "not finite");
  EXPECT_THROW_HAS(m.sensor_populate("a", vec({1, 2}), MatrixX::Identity(3, 3)),
                   std::invalid_argument, "\"a\"", "3 x 3");
  EXPECT_THROW_HAS(m.sensor_populate("a", vec({1, 2}), MatrixX::Constant(2, 2, INFINITY)),
                   std::invalid_argument, "\"a\"", "not finite");
  EXPECT_EQ(m.size(), 0);
  EXPECT_FALSE(m.sensor_is_populated(0));
  EXPECT_EQ(m.get_sensor("a").get_noise(), MatrixX::Identity(2, 2));
  EXPECT_THROW_HAS(m.sensor_size(3), std::out_of_range, "position 3");
}

TEST_F(MeasurementTest, TemplateCopiesStayIndependent)
{
  Measurement copy = m;
  copy.sensor_populate("c", vec({1}));
  EXPECT_EQ(m.size(), 0);
  EXPECT_FALSE(m.sensor_is_populated(2));
}

TEST_F(MeasurementTest, FullLayoutPopulatesEverySensor)
{
  const VectorX v = VectorX::LinSpaced(6, 1, 6);
  m.set_vector_full(v);
  EXPECT_EQ(m.size(), m.size_full());
  EXPECT_EQ(m.get_vector(), v);
  const State st(json{
    {"fields",
     {{{"type", "GENERIC_FIELD"}, {"name", "P"}, {"size", 3}, {"initial_values", {7, 8, 9}}}}}});
  Measurement n(json{{"sensors", {position("a", 2, 1.0), position("c", 1, 3.0)}}});
  n.set_measurement(st);
  EXPECT_EQ(n.size(), 0);
  EXPECT_EQ(n["a"], vec({0, 0}));
  n.set_measurement_full(st);
  EXPECT_EQ(n.get_vector(), vec({7, 8, 7}));
}

TEST_F(MeasurementTest, DifferenceUsesStoredValuesOfUnpopulatedRightSide)
{
  Measurement a(m);
  a.sensor_populate("b", vec({5, 5, 5}));
  Measurement b(m);
  b.set_vector_full(VectorX::LinSpaced(6, 1, 6));
  b.set_zero();
  b.sensor_populate("c", vec({1}));
  // b's "b" reading is (0, 0, 0) after set_zero, and it is still subtracted.
  Measurement d = a - b;
  EXPECT_EQ(d.get_vector(), vec({5, 5, 5}));
  Measurement e = vec({6, 7, 8}) - a;
  EXPECT_EQ(e.get_vector(), vec({1, 2, 3}));
  EXPECT_EQ((a + vec({1, 1, 1})).get_vector(), vec({6, 6, 6}));
}

TEST_F(MeasurementTest, ConfigurationErrors)
{
  EXPECT_THROW_MSG(Measurement(json::object()), std::runtime_error,
                   "Invalid config: missing key \"sensors\" in \"measurement\"");
  EXPECT_THROW_MSG(Measurement(json{{"sensors", {{{"type", "LIDAR"}}}}}), std::runtime_error,
                   "Unknown sensor type: LIDAR");
}

TEST(Measurement, ArithmeticFollowsEachSensorsRules)
{
  const json compass = {{"type", "ORIENTATION_SENSOR"},
                        {"name", "compass"},
                        {"size", 1},
                        {"noise", {{1.0}}},
                        {"state_orientation_field", "O"}};
  Measurement m(json{{"sensors", {position("gps", 2, 1.0), compass}}});
  m.sensor_populate("compass", vec({3.0}));
  // Only the populated sensor takes part: the vector's layout is the compact one.
  m += vec({1.0});
  EXPECT_NEAR(m["compass"](0), 4.0 - kTwoPi, 1e-15);
  EXPECT_EQ(m["gps"], vec({0, 0}));
  m.sensor_populate("gps", vec({5, 6}));
  m -= vec({1, 1, -2.0});
  EXPECT_EQ(m["gps"], vec({4, 5}));
  EXPECT_NEAR(m["compass"](0), wrap_angle(4.0 - kTwoPi + 2.0), 1e-15);
  EXPECT_THROW_HAS(m += vec({1.0}), std::invalid_argument, "has 1 entry,", "3");
}
