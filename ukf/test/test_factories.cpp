#include "test_helpers.hpp"
#include "ukf/Filter.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"
#include "ukf/factories.hpp"

using namespace ukf;

TEST(Factories, UnknownTypesNameTheText)
{
  EXPECT_THROW_MSG(create_model_from_json(json{{"type", "point_mass_2d"}}), std::runtime_error,
                   "Unknown model type: point_mass_2d (did you mean \"POINT_MASS_2D\"?)");
  EXPECT_THROW_MSG(create_sensor_from_json(0, json{{"type", "GPS"}}), std::runtime_error,
                   "Unknown sensor type: GPS");
  EXPECT_THROW_MSG(create_field_from_json(0, json{{"type", "Euler_Angles"}}), std::runtime_error,
                   "Unknown field type: Euler_Angles (did you mean \"EULER_ANGLES\"?)");
  // Nothing near enough: no suggestion.
  EXPECT_THROW_MSG(create_model_from_json(json{{"type", "KALMAN"}}), std::runtime_error,
                   "Unknown model type: KALMAN");
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
  EXPECT_TRUE(
    config::unknown_keys(json{{"initial_state", 3}, {"measurement", {{"sensors", 1}}}}).empty());
}

// Every reader of the configuration raises the JSON library's type error for a value of the wrong
// JSON type: its id, the key and place first, the library's own phrase with the type name last.
TEST(Factories, EveryWrongJsonTypeIsTheLibrarysTypeErrorNamingTheKey)
{
  const json clean = ukf::test::load_json("every_type.json");
  // Every reader passes on the clean file; only the model's fit, checked after them, fails.
  EXPECT_THROW_HAS(Filter{clean}, std::runtime_error, "has a process noise of 12 x 12");
  struct Case
  {
    std::string pointer;
    json value;
    std::string place;   // the start of the message after the id
    std::string phrase;  // the end of the message
  };
  const std::string must_number = "type must be number, but is ";
  const std::string must_string = "type must be string, but is ";
  const std::string no_index = "cannot use operator[] with a numeric argument with ";
  std::vector<Case> cases = {
    {"/model/type", 3, "\"type\" of \"model\"", must_string + "number"},
    {"/model/name", true, "\"name\" of \"model\"", must_string + "boolean"},
    {"/model/integrator_step", "0.05", "\"integrator_step\" of model \"body\"",
     must_number + "string"},
    {"/filter/alpha", "1", "\"alpha\" of \"filter\"", must_number + "string"},
    {"/filter/beta", nullptr, "\"beta\" of \"filter\"", must_number + "null"},
    {"/filter/kappa", json::array(), "\"kappa\" of \"filter\"", must_number + "array"},
    {"/initial_covariance", 1.0, "\"initial_covariance\"", no_index + "number"},
    {"/initial_covariance/2", "row", "\"initial_covariance\", row 2", no_index + "string"},
    {"/initial_covariance/2/1", "0", "\"initial_covariance\", row 2, entry 1",
     must_number + "string"},
  };
  const json& fields = clean["initial_state"]["fields"];
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string at = "/initial_state/fields/" + std::to_string(i);
    const std::string field = "field \"" + fields[i]["name"].get<std::string>() + "\"";
    const std::string values = "\"initial_values\" of " + field;
    cases.push_back({at + "/type", 1, "\"type\" of " + field, must_string + "number"});
    cases.push_back({at + "/name", 2, "\"name\" of field at state index " + std::to_string(3 * i),
                     must_string + "number"});
    cases.push_back({at + "/size", "3", "\"size\" of " + field, must_number + "string"});
    cases.push_back({at + "/initial_values", 0.5, values, no_index + "number"});
    cases.push_back({at + "/initial_values", "abc", values, no_index + "string"});
    cases.push_back({at + "/initial_values", false, values, no_index + "boolean"});
    cases.push_back({at + "/initial_values", {{"x", 1}}, values, no_index + "object"});
    cases.push_back(
      {at + "/initial_values/1", nullptr, values + ", entry 1", must_number + "null"});
  }
  const json& sensors = clean["measurement"]["sensors"];
  std::size_t offset = 0;
  for (std::size_t i = 0; i < sensors.size(); ++i) {
    const std::string at = "/measurement/sensors/" + std::to_string(i);
    const std::string sensor = "sensor \"" + sensors[i]["name"].get<std::string>() + "\"";
    const std::string noise = "\"noise\" of " + sensor;
    cases.push_back({at + "/type", 1, "\"type\" of " + sensor, must_string + "number"});
    cases.push_back({at + "/name", json::array({"gps"}),
                     "\"name\" of sensor at measurement index " + std::to_string(offset),
                     must_string + "array"});
    cases.push_back({at + "/size", nullptr, "\"size\" of " + sensor, must_number + "null"});
    cases.push_back({at + "/noise", json::object(), noise, no_index + "object"});
    cases.push_back({at + "/noise/0", 0.1, noise + ", row 0", no_index + "number"});
    cases.push_back({at + "/noise/0/0", "0.1", noise + ", row 0, entry 0", must_number + "string"});
    for (const auto& [key, value] : sensors[i].items()) {
      if (key.rfind("state_", 0) == 0) {
        cases.push_back(
          {at + "/" + key, 4, "\"" + key + "\" of " + sensor, must_string + "number"});
      }
    }
    offset += sensors[i]["size"].get<std::size_t>();
  }
  for (const Case& c : cases) {
    json cfg = clean;
    cfg[json::json_pointer(c.pointer)] = c.value;
    const int id = c.phrase.rfind("cannot", 0) == 0 ? 305 : 302;
    SCOPED_TRACE(c.pointer + " = " + c.value.dump());
    EXPECT_THROW_MSG(
      Filter{cfg}, json::type_error,
      "[json.exception.type_error." + std::to_string(id) + "] " + c.place + ": " + c.phrase);
  }

  // A vector given as null or as an empty object reads as an empty vector; the size check follows.
  for (const json& empty : {json(nullptr), json::object()}) {
    json cfg = clean;
    cfg["initial_state"]["fields"][0]["initial_values"] = empty;
    EXPECT_THROW_HAS(Filter{cfg}, std::runtime_error, "\"initial_values\" has 0 entries");
  }
}
