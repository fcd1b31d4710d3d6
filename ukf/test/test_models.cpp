#include <cmath>
#include <vector>

#include <Eigen/Geometry>

#include "doubles/constant_rate_model.hpp"
#include "test_helpers.hpp"
#include "ukf/State.hpp"
#include "ukf/factories.hpp"
#include "ukf/models/pointMass2D.hpp"
#include "ukf/models/pointMass3D.hpp"
#include "ukf/models/zendraFell.hpp"

using namespace ukf;
using ukf::test::ConstantRateModel;
using ukf::test::MatrixNear;
using ukf::test::vec;

namespace
{

json field(const char* type, const std::string& name, const VectorX& v)
{
  return {{"type", type},
          {"name", name},
          {"size", v.size()},
          {"initial_values", std::vector<double>(v.data(), v.data() + v.size())}};
}

State body_state(const VectorX& euler, const VectorX& vel, const VectorX& rate,
                 const VectorX* acc = nullptr)
{
  json fields = {field("GENERIC_FIELD", "Position3D", vec({0, 0, 0})),
                 field("EULER_ANGLES", "Orientation3D", euler),
                 field("GENERIC_FIELD", "Velocity3D", vel),
                 field("GENERIC_FIELD", "AngularVelocity3D", rate)};
  if (acc != nullptr) {
    fields.push_back(field("GENERIC_FIELD", "Acceleration3D", *acc));
  }
  return State(json{{"fields", fields}});
}

}  // namespace

TEST(Propagate, StepScheduleCoversTheRemainder)
{
  ConstantRateModel model(vec({1.0}), 0.1);
  State s(json{{"fields", {field("GENERIC_FIELD", "x", vec({0}))}}});
  model.propagate(s, 10.0, 0.25);
  // Four f calls per step; the first of each step is at its start.
  ASSERT_EQ(model.calls.size(), 12u);
  EXPECT_NEAR(model.calls[0], 10.0, 1e-12);
  EXPECT_NEAR(model.calls[4], 10.1, 1e-12);
  EXPECT_NEAR(model.calls[8], 10.2, 1e-12);
  EXPECT_NEAR(model.calls[11] - model.calls[8], 0.05, 1e-12);  // the last step's length
  EXPECT_NEAR(s.get_vector()(0), 0.25, 1e-15);

  model.calls.clear();
  model.propagate(s, 0.0, 0.03);
  ASSERT_EQ(model.calls.size(), 4u);
  EXPECT_NEAR(model.calls[3], 0.03, 1e-15);

  model.calls.clear();
  const VectorX before = s.get_vector();
  model.propagate(s, 5.0, 0.0);
  model.propagate(s, 5.0, -1.0);
  EXPECT_TRUE(model.calls.empty());
  EXPECT_EQ(s.get_vector(), before);
}

TEST(Propagate, ConstantVelocityAdvancesExactlyWhateverTheStep)
{
  for (double step : {0.001, 0.07, 0.5, 3.0}) {
    ConstantRateModel model(vec({2.0, -1.0}), step);
    State s(json{{"fields", {field("GENERIC_FIELD", "p", vec({1.0, 1.0}))}}});
    model.propagate(s, 0.0, 1.3);
    EXPECT_TRUE(MatrixNear(s.get_vector(), vec({3.6, -0.3}), 1e-12)) << step;
  }
}

TEST(Propagate, ZeroDerivativeStillWrapsEulerAngles)
{
  ConstantRateModel model(vec({0.0}), 0.1);
  State s(json{{"fields", {field("EULER_ANGLES", "e", vec({4.0}))}}});
  model.propagate(s, 0.0, 0.05);
  EXPECT_NEAR(s.get_vector()(0), 4.0 - kTwoPi, 1e-15);
}

TEST(Propagate, AngleAxisTurnsInItsOwnFrame)
{
  const VectorX omega = vec({0.0, 0.3, 0.0});
  ConstantRateModel model(omega, 0.1);
  State s(json{{"fields", {field("ANGLE_AXIS", "R", vec({0, 0, kPi / 2}))}}});
  model.propagate(s, 0.0, 1.0);
  // R0 * exp(omega dt): yaw 90 degrees, then a body-frame pitch of 0.3 rad.
  const Eigen::Matrix3d expected =
    Eigen::AngleAxisd(kPi / 2, Eigen::Vector3d::UnitZ()).toRotationMatrix() *
    Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitY()).toRotationMatrix();
  const VectorX r = s.get_vector();
  const Eigen::Matrix3d actual = Eigen::AngleAxisd(r.norm(), r.normalized()).toRotationMatrix();
  EXPECT_TRUE(MatrixNear(actual, expected, 1e-12));
}

TEST(Propagate, NeverLoopsForever)
{
  State none;
  EXPECT_THROW_HAS(ConstantRateModel(vec({1.0}), 0.0).propagate(none, 0, 1), std::invalid_argument,
                   "integrator step 0");
  ConstantRateModel nan_step(vec({1.0}), NAN);
  State s(json{{"fields", {field("GENERIC_FIELD", "x", vec({0}))}}});
  EXPECT_THROW_HAS(nan_step.propagate(s, 0, 1), std::invalid_argument, "not a positive finite");
  ConstantRateModel fine(vec({1.0}), 0.01);
  EXPECT_THROW_HAS(fine.propagate(s, 0, 1e9), std::invalid_argument, "needs more than");
  EXPECT_TRUE(fine.calls.empty());
}

TEST(PointMass2D, MovesWithItsVelocity)
{
  State s(json{{"fields",
                {field("GENERIC_FIELD", "Position2D", vec({1, 2})),
                 field("GENERIC_FIELD", "Velocity2D", vec({0.5, -1}))}}});
  for (double step : {0.01, 0.3, 5.0}) {
    State t = s;
    PointMass2D(step, "p").propagate(t, 0.0, 2.0);
    EXPECT_TRUE(MatrixNear(t.get_vector(), vec({2, 0, 0.5, -1}), 1e-12)) << step;
  }
  PointMass2D model(0.1, "p");
  EXPECT_TRUE(
    MatrixNear(model.process_noise_covariance(0.5), 0.1 * MatrixX::Identity(4, 4), 1e-17));
  EXPECT_EQ(model.process_noise_covariance(0.0), MatrixX::Zero(4, 4));
}

TEST(PointMass3D, BodyVelocityIsRotatedXThenYThenZ)
{
  PointMass3D model(0.1, "b");
  const auto position_rate = [&](const VectorX& euler, const VectorX& vel) {
    return VectorX(model.f(body_state(euler, vel, vec({0, 0, 0})), 0.0).head(3));
  };
  EXPECT_TRUE(
    MatrixNear(position_rate(vec({0, 0, kPi / 2}), vec({1, 0, 0})), vec({0, 1, 0}), 1e-15));
  EXPECT_TRUE(
    MatrixNear(position_rate(vec({0, kPi / 2, 0}), vec({1, 0, 0})), vec({0, 0, -1}), 1e-15));
  EXPECT_TRUE(
    MatrixNear(position_rate(vec({kPi / 2, 0, 0}), vec({0, 1, 0})), vec({0, 0, 1}), 1e-15));
  EXPECT_TRUE(
    MatrixNear(position_rate(vec({kPi / 2, 0, kPi / 2}), vec({0, 0, 1})), vec({1, 0, 0}), 1e-15));
  EXPECT_TRUE(
    MatrixNear(model.process_noise_covariance(0.02), 0.02 * MatrixX::Identity(12, 12), 0));
}

TEST(PointMass3D, TurningBodyFollowsTheArc)
{
  State s = body_state(vec({0, 0, 0}), vec({1, 0, 0}), vec({0, 0, 0.1}));
  PointMass3D(0.1, "b").propagate(s, 0.0, 1.0);
  EXPECT_TRUE(
    MatrixNear(s["Position3D"], vec({10 * std::sin(0.1), 10 * (1 - std::cos(0.1)), 0}), 1e-9));
  EXPECT_TRUE(MatrixNear(s["Orientation3D"], vec({0, 0, 0.1}), 1e-12));
  EXPECT_EQ(s["Velocity3D"], vec({1, 0, 0}));
  EXPECT_EQ(s["AngularVelocity3D"], vec({0, 0, 0.1}));
}

TEST(ZendraFell, AcceleratesInTheBodyFrame)
{
  const VectorX acc = vec({0.5, 0, 0});
  State s = body_state(vec({0, 0, 0}), vec({1, 0, 0}), vec({0, 0, 0}), &acc);
  ZendraFell(0.1, "v").propagate(s, 0.0, 2.0);
  EXPECT_TRUE(MatrixNear(s["Position3D"], vec({3, 0, 0}), 1e-12));
  EXPECT_TRUE(MatrixNear(s["Velocity3D"], vec({2, 0, 0}), 1e-12));
  EXPECT_EQ(s["Acceleration3D"], acc);

  const VectorX forward = vec({1, 0, 0});
  for (double step : {0.1, 5.0}) {
    State t = body_state(vec({0, 0, kPi / 2}), vec({0, 0, 0}), vec({0, 0, 0}), &forward);
    ZendraFell(step, "v").propagate(t, 0.0, 2.0);
    EXPECT_TRUE(MatrixNear(t["Velocity3D"], vec({2, 0, 0}), 1e-12)) << step;
    EXPECT_TRUE(MatrixNear(t["Position3D"], vec({0, 2, 0}), 1e-12)) << step;
  }

  State turning = body_state(vec({0, 0, 3.1}), vec({0, 0, 0}), vec({0, 0, 0.1}), &forward);
  ZendraFell(0.1, "v").propagate(turning, 0.0, 1.0);
  EXPECT_NEAR(turning["Orientation3D"](2), 3.2 - kTwoPi, 1e-12);
  EXPECT_TRUE(MatrixNear(ZendraFell(0.1, "v").process_noise_covariance(0.1),
                         0.1 * MatrixX::Identity(15, 15), 0));
}

TEST(Models, MissingOrMisshapenFieldsAreReported)
{
  State planar(json{{"fields", {field("GENERIC_FIELD", "Position2D", vec({0, 0}))}}});
  EXPECT_THROW_MSG(PointMass2D(0.1, "p").f(planar, 0), std::runtime_error,
                   "Field not found: Velocity2D");
  const VectorX acc = vec({0, 0});
  State bad = body_state(vec({0, 0, 0}), vec({0, 0, 0}), vec({0, 0, 0}), &acc);
  EXPECT_THROW_HAS(ZendraFell(0.1, "v").f(bad, 0), std::invalid_argument, "\"Acceleration3D\"", "3",
                   "2");
  State body = body_state(vec({0, 0, 0}), vec({0, 0, 0}), vec({0, 0, 0}));
  EXPECT_THROW_MSG(ZendraFell(0.1, "v").f(body, 0), std::runtime_error,
                   "Field not found: Acceleration3D");
}

TEST(ModelConfig, IntegratorStepAndProcessNoise)
{
  const auto model = create_model_from_json(json{{"type", "POINT_MASS_2D"},
                                                 {"name", "p"},
                                                 {"integrator_step", 0.02},
                                                 {"process_noise", {1, 2, 3, 4}}});
  EXPECT_EQ(model->process_noise_covariance(0.5), MatrixX(vec({0.5, 1, 1.5, 2}).asDiagonal()));
  const json matrix = {{"type", "POINT_MASS_2D"},
                       {"name", "p"},
                       {"integrator_step", 0.02},
                       {"process_noise", {{2, 1, 0, 0}, {1, 2, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}};
  EXPECT_EQ(create_model_from_json(matrix)->process_noise_covariance(2)(0, 1), 2.0);

  for (const char* step : {"0", "-0.1", "\"fast\""}) {
    json cfg = json::parse(std::string(R"({"type":"ZENDRAFELL","name":"v","integrator_step":)") +
                           step + "}");
    if (std::string(step) == "\"fast\"") {
      EXPECT_THROW_MSG(create_model_from_json(cfg), json::type_error,
                       "[json.exception.type_error.302] \"integrator_step\" of model \"v\": type "
                       "must be number, but is string");
    } else {
      EXPECT_THROW_HAS(create_model_from_json(cfg), std::runtime_error,
                       "Invalid config: \"integrator_step\" of model \"v\" is", "positive finite");
    }
  }
  json bad = matrix;
  bad["process_noise"] = {1, 2, 3};
  EXPECT_THROW_HAS(create_model_from_json(bad), std::runtime_error,
                   "Invalid config: \"process_noise\" of model \"p\" has 3 entries");
  bad["process_noise"] = {{1, 2, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  EXPECT_THROW_MSG(create_model_from_json(bad), std::runtime_error,
                   "Invalid config: \"process_noise\" of model \"p\" is not symmetric");
  bad["process_noise"] = {1, -2, 3, 4};
  EXPECT_THROW_HAS(create_model_from_json(bad), std::runtime_error, "negative eigenvalue");
  EXPECT_THROW_HAS(PointMass3D(-1, "b"), std::invalid_argument, "\"b\"", "-1");
}
