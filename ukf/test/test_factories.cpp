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

TEST(UnknownKeys, EveryShippedAndTestConfigurationIsClean)
{
  for (const char* name : {"point_mass_2d.json", "every_type.json", "vehicle_all_sensors.json",
                           "angle_axis_vo.json"}) {
    EXPECT_TRUE(config::unknown_keys(ukf::test::load_json(name)).empty()) << name;
  }
}

TEST(UnknownKeys, ATypoInEveryKindOfObjectWarnsAndStrictRefusesIt)
{
  const json clean = ukf::test::load_json("every_type.json");
  struct Case
  {
    json::json_pointer object;
    std::string typo;
    std::string message;
  };
  const std::vector<Case> cases = {
    {json::json_pointer(""), "initial_covarance",
     "unknown key \"initial_covarance\" in the configuration: did you mean "
     "\"initial_covariance\"?"},
    {json::json_pointer("/initial_state"), "Fields",
     "unknown key \"Fields\" in \"initial_state\": did you mean \"fields\"?"},
    {json::json_pointer("/initial_state/fields/1"), "inital_values",
     "unknown key \"inital_values\" in field \"Orientation3D\": did you mean \"initial_values\"?"},
    {json::json_pointer("/model"), "proces_noise",
     "unknown key \"proces_noise\" in model \"" + clean["model"]["name"].get<std::string>() +
       "\": did you mean \"process_noise\"?"},
    {json::json_pointer("/measurement"), "sensor",
     "unknown key \"sensor\" in \"measurement\": did you mean \"sensors\"?"},
    {json::json_pointer("/measurement/sensors/0"), "NOISE",
     "unknown key \"NOISE\" in sensor \"" +
       clean["measurement"]["sensors"][0]["name"].get<std::string>() +
       "\": did you mean \"noise\"?"},
    {json::json_pointer("/filter"), "kapa",
     "unknown key \"kapa\" in \"filter\": did you mean \"kappa\"?"},
  };
  for (const Case& c : cases) {
    json cfg = clean;
    cfg[c.object][c.typo] = 1;
    const std::vector<std::string> found = config::unknown_keys(cfg);
    ASSERT_EQ(found.size(), 1u) << c.typo;
    EXPECT_EQ(found[0], c.message);
    EXPECT_THROW_MSG(config::reject_unknown_keys(cfg), std::runtime_error,
                     "Invalid config: " + c.message);
  }
  EXPECT_NO_THROW(config::reject_unknown_keys(clean));
}

TEST(UnknownKeys, KeysKeptOnPurposeWarnWithoutASuggestion)
{
  json cfg = ukf::test::load_json("point_mass_2d.json");
  cfg["notes"] = "tuned on the March drives";
  cfg["model"]["comment"] = "planar";
  // A field key of another sensor type is unknown to this one.
  cfg["measurement"]["sensors"][0]["state_vel_field"] = "Velocity2D";
  const std::vector<std::string> found = config::unknown_keys(cfg);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0], "unknown key \"notes\" in the configuration");
  EXPECT_EQ(found[1], "unknown key \"comment\" in model \"planar\"");
  EXPECT_EQ(found[2], "unknown key \"state_vel_field\" in sensor \"position_fix\"");
  EXPECT_THROW_HAS(config::reject_unknown_keys(cfg), std::runtime_error,
                   "Invalid config: unknown key \"notes\" in the configuration; ",
                   "unknown key \"state_vel_field\"");
  // Shapes the loader rejects are left to it.
  EXPECT_TRUE(config::unknown_keys(json::array()).empty());
  EXPECT_TRUE(config::unknown_keys(json{{"initial_state", 3}, {"measurement", {{"sensors", 1}}}})
                .empty());
}
