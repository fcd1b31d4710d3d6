#include <cmath>
#include <memory>
#include <vector>

#include "test_helpers.hpp"
#include "ukf/State.hpp"
#include "ukf/factories.hpp"
#include "ukf/fields/AngleAxisField.hpp"
#include "ukf/fields/EulerAngleField.hpp"
#include "ukf/fields/GenericField.hpp"

using namespace ukf;
using ukf::test::MatrixNear;
using ukf::test::vec;

namespace
{

// A state of one field, built through the factory as the configuration would.
State one_field_state(const std::string& type, const std::string& name, const VectorX& v)
{
  json values = json::array();
  for (Eigen::Index i = 0; i < v.size(); ++i) {
    values.push_back(v(i));
  }
  json cfg = {
    {"fields", {{{"type", type}, {"name", name}, {"size", v.size()}, {"initial_values", values}}}}};
  return State(cfg);
}

std::vector<State> states_of(const std::string& type, const std::vector<VectorX>& values)
{
  std::vector<State> states;
  for (const auto& v : values) {
    states.push_back(one_field_state(type, "F", v));
  }
  return states;
}

}  // namespace

// One contract run over every field type: clone is deep, += then -= gives back the value, the
// mean of identical values is that value, at zero, tiny values, near +-pi and at large angles.
class FieldContract : public ::testing::TestWithParam<const char*>
{
};

TEST_P(FieldContract, CloneIsDeepAndDisplacementIsUndone)
{
  for (const VectorX& start : {vec({0, 0, 0}), vec({1e-8, -1e-8, 1e-8}), vec({0.3, -1.2, 2.5}),
                               vec({0.0, 0.0, kPi - 1e-9})}) {
    State s = one_field_state(GetParam(), "F", start);
    const VectorX before = s.get_vector();
    std::unique_ptr<IField> copy = s.field("F").clone();
    for (const VectorX& d : {vec({0.1, 0.2, -0.3}), vec({1e-8, 0, 0}), vec({0, 0, 2.9})}) {
      s += d;
      s -= d;
      EXPECT_TRUE(MatrixNear(s.get_vector(), before, 1e-9)) << GetParam();
    }
    EXPECT_TRUE(MatrixNear(copy->get_vector(), start, 1e-12));
  }
}

TEST_P(FieldContract, ValueMinusItselfIsZeroAndMeanOfEqualsIsThatValue)
{
  const VectorX v = vec({0.4, -0.2, 3.0});
  State s = one_field_state(GetParam(), "F", v);
  State diff = s - s;
  EXPECT_TRUE(MatrixNear(diff.get_vector(), VectorX::Zero(3), 1e-12));
  std::vector<State> same = states_of(GetParam(), {v, v, v});
  VectorX w = vec({-1, 1, 1});
  s.save_mean(same, w);
  EXPECT_TRUE(MatrixNear(s.get_vector(), v, 1e-9)) << GetParam();
}

TEST_P(FieldContract, WrongLengthsAreRejected)
{
  State s = one_field_state(GetParam(), "F", vec({0.1, 0.2, 0.3}));
  EXPECT_THROW_HAS(s += vec({1, 2}), std::invalid_argument, "\"F\"", "2");
  std::unique_ptr<IField> f = s.field("F").clone();
  EXPECT_THROW_HAS(*f += vec({1, 2, 3, 4}), std::invalid_argument, "\"F\"", "4", "expected 3");
  EXPECT_THROW_HAS(f->set_vector(vec({1})), std::invalid_argument, "\"F\"", "1");
  std::vector<State> states = states_of(GetParam(), {vec({0, 0, 0}), vec({0, 0, 0})});
  VectorX one = vec({1});
  EXPECT_THROW_HAS(f->save_mean(states, one), std::invalid_argument, "1 weights", "2 sigma");
}

INSTANTIATE_TEST_SUITE_P(AllFields, FieldContract,
                         ::testing::Values("GENERIC_FIELD", "EULER_ANGLES", "ANGLE_AXIS"));

TEST(GenericField, WeightedSumIsTheMean)
{
  GenericField f(0, 2, "F", vec({9, 9}));
  std::vector<State> states = states_of("GENERIC_FIELD", {vec({1, 2}), vec({3, 4}), vec({5, 6})});
  VectorX w = vec({0.5, 0.25, 0.25});
  f.save_mean(states, w);
  EXPECT_TRUE(MatrixNear(f.get_vector(), vec({2.5, 3.5}), 1e-15));

  GenericField g(0, 1, "F", vec({7}));
  std::vector<State> singles = states_of("GENERIC_FIELD", {vec({1}), vec({2}), vec({3})});
  VectorX negative = vec({-1, 1, 1});
  g.save_mean(singles, negative);
  EXPECT_EQ(g.get_vector()(0), 4.0);

  std::vector<State> none;
  VectorX empty;
  f.save_mean(none, empty);
  EXPECT_EQ(f.get_vector(), vec({0, 0}));
}

TEST(GenericField, MeanLooksUpByNameNotPosition)
{
  const json a = {
    {"fields",
     {{{"type", "GENERIC_FIELD"}, {"name", "A"}, {"size", 1}, {"initial_values", {1}}},
      {{"type", "GENERIC_FIELD"}, {"name", "B"}, {"size", 1}, {"initial_values", {5}}}}}};
  const json b = {
    {"fields",
     {{{"type", "GENERIC_FIELD"}, {"name", "B"}, {"size", 1}, {"initial_values", {7}}},
      {{"type", "GENERIC_FIELD"}, {"name", "A"}, {"size", 1}, {"initial_values", {3}}}}}};
  std::vector<State> states{State(a), State(b)};
  VectorX w = vec({0.5, 0.5});
  GenericField f(0, 1, "B", vec({0}));
  f.save_mean(states, w);
  EXPECT_EQ(f.get_vector()(0), 6.0);
}

TEST(EulerAngleField, DisplacementWraps)
{
  EulerAngleField f(0, 1, "E", vec({kPi - 0.05}));
  f += vec({0.1});
  EXPECT_NEAR(f.get_vector()(0), -kPi + 0.05, 1e-15);

  EulerAngleField g(0, 1, "E", vec({-3.1}));
  g -= vec({3.1});
  EXPECT_NEAR(g.get_vector()(0), kTwoPi - 6.2, 1e-15);

  EulerAngleField h(0, 1, "E", vec({0}));
  h.set_vector(vec({4.0}));
  EXPECT_EQ(h.get_vector()(0), 4.0);
  h += vec({0.0});
  EXPECT_EQ(h.get_vector()(0), wrap_angle(4.0));
  EXPECT_NEAR(h.get_vector()(0), 4.0 - kTwoPi, 1e-15);
}

TEST(EulerAngleField, NormalizeUsesHalfOpenRange)
{
  EulerAngleField f(0, 6, "E", vec({3 * kPi / 2, kPi, -kPi, 2 * kPi, 7.0, 0.5}));
  f.normalize();
  const VectorX v = f.get_vector();
  EXPECT_DOUBLE_EQ(v(0), -kPi / 2);
  EXPECT_EQ(v(1), -kPi);
  EXPECT_EQ(v(2), -kPi);
  EXPECT_EQ(v(3), 0.0);
  EXPECT_DOUBLE_EQ(v(4), 7.0 - kTwoPi);
  EXPECT_EQ(v(5), 0.5);
}

TEST(EulerAngleField, CircularMean)
{
  EulerAngleField f(0, 1, "F", vec({0}));
  std::vector<State> seam = states_of("EULER_ANGLES", {vec({kPi - 0.1}), vec({-kPi + 0.1})});
  VectorX half = vec({0.5, 0.5});
  f.save_mean(seam, half);
  EXPECT_NEAR(std::abs(f.get_vector()(0)), kPi, 1e-12);
  EXPECT_LT(f.get_vector()(0), 0.0);

  std::vector<State> near = states_of("EULER_ANGLES", {vec({0.2}), vec({0.4})});
  f.save_mean(near, half);
  EXPECT_NEAR(f.get_vector()(0), 0.3, 1e-15);

  std::vector<State> three = states_of("EULER_ANGLES", {vec({0.1}), vec({0.1}), vec({0.1})});
  VectorX negative = vec({-1, 1, 1});
  f.save_mean(three, negative);
  EXPECT_NEAR(f.get_vector()(0), 0.1, 1e-15);

  VectorX zero = vec({0, 0, 0});
  f.save_mean(three, zero);
  EXPECT_EQ(f.get_vector()(0), 0.0);
}

TEST(AngleAxisField, VectorFormAndIdentity)
{
  State s = one_field_state("ANGLE_AXIS", "R", vec({0, 0, 0}));
  EXPECT_EQ(s.get_vector(), vec({0, 0, 0}));
  s += vec({0, 0, 0.5});
  EXPECT_TRUE(MatrixNear(s.get_vector(), vec({0, 0, 0.5}), 1e-15));

  AngleAxisField::AngleAxis r(1.0, Eigen::Vector3d::UnitY());
  std::string name = "R";
  AngleAxisField f(0, 3, name, r);
  f.set_zero();
  EXPECT_EQ(f.get_vector(), vec({0, 0, 0}));
  EXPECT_EQ(f.get_rotation().axis(), Eigen::Vector3d::UnitX());

  f.set_vector(vec({0, 0, 3 * kPi / 2}));
  EXPECT_TRUE(MatrixNear(f.get_vector(), vec({0, 0, 3 * kPi / 2}), 1e-15));
  f += vec({0, 0, 0});
  EXPECT_TRUE(MatrixNear(f.get_vector(), vec({0, 0, -kPi / 2}), 1e-12));

  // (0, 0, -a) is the angle a about the negative z axis.
  State neg = one_field_state("ANGLE_AXIS", "R", vec({0, 0, -0.7}));
  const auto& field = dynamic_cast<const AngleAxisField&>(neg.field("R"));
  EXPECT_NEAR(field.get_rotation().angle(), 0.7, 1e-15);
  EXPECT_EQ(field.get_rotation().axis(), Eigen::Vector3d(0, 0, -1));
}

TEST(AngleAxisField, ComposesOnTheRight)
{
  const double a = 2 * kPi / (3 * std::sqrt(3.0));
  State s = one_field_state("ANGLE_AXIS", "R", vec({0, 0, kPi / 2}));
  State plus = s + vec({kPi / 2, 0, 0});
  EXPECT_TRUE(MatrixNear(plus.get_vector(), vec({a, a, a}), 1e-12));
  State minus = s - vec({kPi / 2, 0, 0});
  EXPECT_TRUE(MatrixNear(minus.get_vector(), vec({-a, -a, a}), 1e-12));
}

TEST(AngleAxisField, QuaternionMean)
{
  AngleAxisField::AngleAxis r(0.0, Eigen::Vector3d::UnitX());
  std::string name = "F";
  AngleAxisField f(0, 3, name, r);
  VectorX half = vec({0.5, 0.5});
  std::vector<State> near = states_of("ANGLE_AXIS", {vec({0, 0, 0.2}), vec({0, 0, 0.4})});
  f.save_mean(near, half);
  EXPECT_TRUE(MatrixNear(f.get_vector(), vec({0, 0, 0.3}), 1e-12));

  std::vector<State> seam =
    states_of("ANGLE_AXIS", {vec({0, 0, kPi - 0.1}), vec({0, 0, -(kPi - 0.1)})});
  f.save_mean(seam, half);
  const VectorX v = f.get_vector();
  EXPECT_NEAR(std::abs(v(2)), kPi, 1e-9);
  EXPECT_NEAR(v(0), 0.0, 1e-12);
  EXPECT_NEAR(v(1), 0.0, 1e-12);

  std::vector<State> same =
    states_of("ANGLE_AXIS", {vec({0, 0, 0.3}), vec({0, 0, 0.3}), vec({0, 0, 0.3})});
  VectorX negative = vec({-1, 1, 1});
  f.save_mean(same, negative);
  EXPECT_TRUE(MatrixNear(f.get_vector(), vec({0, 0, 0.3}), 1e-12));
}

TEST(FieldConfig, EveryTypeReadsItsKeys)
{
  const json empty = {
    {"type", "GENERIC_FIELD"}, {"name", "E"}, {"size", 0}, {"initial_values", json::array()}};
  EXPECT_EQ(create_field_from_json(4, empty)->get_size(), 0u);
  const json euler = {
    {"type", "EULER_ANGLES"}, {"name", "O"}, {"size", 3}, {"initial_values", {4.0, 0, 0}}};
  const auto f = create_field_from_json(2, euler);
  EXPECT_EQ(f->get_index(), 2u);
  EXPECT_EQ(f->get_vector()(0), 4.0);  // stored unwrapped
}

TEST(FieldConfig, InconsistentObjectsAreRejected)
{
  EXPECT_THROW_MSG(
    create_field_from_json(
      0, json::parse(R"({"type":"GENERIC_FIELD","name":"P","size":3,"initial_values":[1,2]})")),
    std::runtime_error,
    "Invalid config: \"size\" of field \"P\" is 3 but \"initial_values\" has 2 entries");
  EXPECT_THROW_MSG(
    create_field_from_json(
      0, json::parse(R"({"type":"EULER_ANGLES","name":"O","size":-1,"initial_values":[]})")),
    std::runtime_error, "Invalid config: \"size\" of field \"O\" is -1, it must not be negative");
  EXPECT_THROW_MSG(
    create_field_from_json(
      0, json::parse(R"({"type":"ANGLE_AXIS","name":"R","size":4,"initial_values":[0,0,0,0]})")),
    std::runtime_error,
    "Invalid config: \"size\" of field \"R\" is 4, an \"ANGLE_AXIS\" field has size 3");
  EXPECT_THROW_MSG(
    create_field_from_json(
      0, json::parse(R"({"type":"ANGLE_AXIS","name":"R","size":3,"initial_values":[0,0]})")),
    std::runtime_error,
    "Invalid config: \"initial_values\" of field \"R\" has 2 entries, an "
    "\"ANGLE_AXIS\" field takes a rotation vector of 3");
  EXPECT_THROW_MSG(create_field_from_json(
                     6, json::parse(R"({"type":"GENERIC_FIELD","size":1,"initial_values":[1]})")),
                   std::runtime_error,
                   "Invalid config: missing key \"name\" in field at state index 6");
  EXPECT_THROW_MSG(
    create_field_from_json(
      0, json::parse(R"({"type":"GENERIC_FIELD","name":"P","size":"3","initial_values":[1,2,3]})")),
    json::type_error,
    "[json.exception.type_error.302] \"size\" of field \"P\": type must be number, but is string");
  EXPECT_THROW_MSG(
    create_field_from_json(
      0, json::parse(R"({"type":"EULER_ANGLES","name":"E","size":3,"initial_values":[0,"1",0]})")),
    json::type_error,
    "[json.exception.type_error.302] \"initial_values\" of field \"E\", entry 1: type must be "
    "number, but is string");
  EXPECT_THROW_MSG(
    create_field_from_json(
      0, json::parse(R"({"type":"ANGLE_AXIS","name":"R","size":3,"initial_values":{"x":1}})")),
    json::type_error,
    "[json.exception.type_error.305] \"initial_values\" of field \"R\": cannot use operator[] "
    "with a numeric argument with object");
}

TEST(FieldConfig, SizesOutsideIntAreRejectedBeforeConversion)
{
  // Found by the configuration fuzzer: the JSON library's conversion of 3.3e68 to int is
  // undefined behaviour.
  const json found = ukf::test::load_json("fuzz/config_size_out_of_int_range.json");
  EXPECT_THROW_HAS(create_field_from_json(0, found["initial_state"]["fields"][0]),
                   std::runtime_error, "Invalid config: \"size\" of field \"Orientation3D\"",
                   "whole number");
  for (const char* size : {"4294967296", "-2147483649", "2.5", "1e400"}) {
    const std::string text = std::string(R"({"type":"GENERIC_FIELD","name":"P","size":)") + size +
                             R"(,"initial_values":[1]})";
    if (std::string(size) == "1e400") {
      EXPECT_THROW(json::parse(text), json::out_of_range);
      continue;
    }
    EXPECT_THROW_HAS(create_field_from_json(0, json::parse(text)), std::runtime_error,
                     "whole number");
  }
}
