#include "test_helpers.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"
#include "ukf/factories.hpp"

using namespace ukf;

TEST(Factories, UnknownTypesNameTheText)
{
  EXPECT_THROW_MSG(create_model_from_json(json{{"type", "point_mass_2d"}}), std::runtime_error,
                   "Unknown model type: point_mass_2d");
  EXPECT_THROW_MSG(create_sensor_from_json(0, json{{"type", "GPS"}}), std::runtime_error,
                   "Unknown sensor type: GPS");
  EXPECT_THROW_MSG(create_field_from_json(0, json{{"type", "Euler_Angles"}}), std::runtime_error,
                   "Unknown field type: Euler_Angles");
  EXPECT_THROW_MSG(create_model_from_json(json{{"name", "m"}}), std::runtime_error,
                   "Invalid config: missing key \"type\" in \"model\"");
}

TEST(Factories, DocumentedExampleLoads)
{
  const json cfg = ukf::test::load_json("point_mass_2d.json");
  const State s(cfg["initial_state"]);
  EXPECT_EQ(s.size(), 4u);
  EXPECT_EQ(s.field("Position2D").get_index(), 0u);
  EXPECT_EQ(s.field("Velocity2D").get_index(), 2u);
  Measurement m(cfg["measurement"]);
  EXPECT_EQ(m.size_full(), 2);
  EXPECT_EQ(m.size(), 0);
  EXPECT_FALSE(m.sensor_is_populated(0));
  const auto model = create_model_from_json(cfg["model"]);
  EXPECT_EQ(model->get_name(), "planar");
  EXPECT_EQ(model->get_integrator_step(), 0.01);
}

TEST(Factories, EveryTypeLoads)
{
  const json cfg = ukf::test::load_json("every_type.json");
  const State s(cfg["initial_state"]);
  EXPECT_EQ(s.size(), 18u);
  EXPECT_EQ(s.field("Attitude").get_index(), 15u);
  const Measurement m(cfg["measurement"]);
  EXPECT_EQ(m.number_of_sensors(), 5u);
  EXPECT_EQ(m.size_full(), 19);
  for (const char* type : {"POINT_MASS_2D", "POINT_MASS_3D", "ZENDRAFELL"}) {
    EXPECT_NO_THROW(
      create_model_from_json(json{{"type", type}, {"name", "m"}, {"integrator_step", 1}}));
  }
}
