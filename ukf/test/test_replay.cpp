#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "replay.hpp"
#include "test_helpers.hpp"

using namespace ukf;
using ukf::test::data_path;
using ukf::tools::LineError;
using ukf::tools::Replay;

namespace
{

const char* kLines[] = {
  R"({"t": 12.5, "sensors": {"position_fix": [0.5, -0.1]}})",
  R"({"t": 12.6, "sensors": {}})",
  "",
  R"({"t": 12.7, "sensors": {"position_fix": [0.61, -0.12]}, "noise": {"position_fix": [[0.1, 0], [0, 0.1]]}})",
  R"({"t": 12.7, "sensors": {"position_fix": [0.3333333333333333, 1e-300]}})",
};

}  // namespace

TEST(Replay, OutputMatchesTheLibraryToTheLastBit)
{
  Replay replay{Filter(data_path("point_mass_2d.json"))};
  Filter reference(data_path("point_mass_2d.json"));
  for (std::size_t i = 0; i < std::size(kLines); ++i) {
    const std::string out = replay.process(kLines[i], i + 1);
    if (std::string(kLines[i]).empty()) {
      EXPECT_TRUE(out.empty());
      continue;
    }
    const json in = json::parse(kLines[i]);
    Measurement z = reference.get_empty_measurement();
    if (in["sensors"].contains("position_fix")) {
      const VectorX v = in["sensors"]["position_fix"].get<VectorX>();
      if (in.contains("noise")) {
        z.sensor_populate("position_fix", v, in["noise"]["position_fix"].get<MatrixX>());
      } else {
        z.sensor_populate("position_fix", v);
      }
    }
    reference.update(z, in["t"].get<double>());

    const json result = json::parse(out);
    EXPECT_EQ(out.substr(0, 5), "{\"t\":");
    EXPECT_EQ(result["t"].get<double>(), in["t"].get<double>());
    EXPECT_EQ(result["state"].get<VectorX>(), reference.get_state().get_vector());
    EXPECT_EQ(result["covariance"].get<MatrixX>(), reference.get_covar());
    EXPECT_EQ(result["fields"]["Velocity2D"].get<VectorX>(), reference.get_state()["Velocity2D"]);
    if (in["sensors"].empty()) {
      EXPECT_TRUE(result["nis"].is_null());
    } else {
      EXPECT_EQ(result["nis"].get<double>(),
                normalised_innovation_squared(reference.get_last_step()));
    }
  }
}

TEST(Replay, BadLinesNameTheirNumberAndChangeNothing)
{
  Replay replay{Filter(data_path("point_mass_2d.json"))};
  replay.process(R"({"t": 5, "sensors": {"position_fix": [1, 2]}})", 1);
  const VectorX before = replay.filter().get_state().get_vector();
  const std::vector<std::pair<std::string, std::string>> cases = {
    {R"({"t": 6, "sensors": {"position_fix": [1, 2]})", "line 7: malformed JSON"},
    {R"({"t": 6, "sensors": {"gps": [1, 2]}})", "line 7: Sensor not found: gps"},
    {R"({"t": 6, "sensors": {"position_fix": [1, 2, 3]}})", "expected 2"},
    {R"({"t": 6, "sensors": {"position_fix": [1, 1e999]}})", "number overflow"},
    {R"({"t": 6, "sensors": {"position_fix": [1, "2"]}})", "entry 1 is not a number"},
    {R"({"t": 4, "sensors": {}})", "earlier than the previous update"},
    {R"({"t": "now", "sensors": {}})", "\"t\" must be a number"},
    {R"({"t": 6, "sensor": {}})", "unknown key \"sensor\""},
    {R"({"t": 6, "sensors": {}, "noise": {"position_fix": [[1, 0], [0, 1]]}})", "no reading"},
    {R"({"t": 6, "sensors": {"position_fix": [1, 2]}, "noise": {"position_fix": [[1, 0]]}})",
     "1 x 2"},
    {R"([1, 2])", "must be a JSON object"},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_THROW_HAS(replay.process(line, 7), LineError, "line 7: ", expected.c_str());
    EXPECT_EQ(replay.filter().get_state().get_vector(), before) << line;
  }
}

TEST(Replay, ProgramWritesEverythingBeforeABadLine)
{
  const std::string dir = ::testing::TempDir();
  const std::string in = dir + "replay_in.jsonl";
  const std::string out = dir + "replay_out.jsonl";
  const std::string err = dir + "replay_err.txt";
  std::ofstream(in) << kLines[0] << '\n' << kLines[1] << '\n' << "{oops}\n" << kLines[3] << '\n';
  const std::string cmd = std::string(UKF_REPLAY_EXE) + " " + data_path("point_mass_2d.json") +
                          " " + in + " -o " + out + " 2> " + err;
  EXPECT_NE(std::system(cmd.c_str()), 0);
  std::ifstream result(out);
  std::vector<std::string> lines;
  for (std::string l; std::getline(result, l);) {
    lines.push_back(l);
  }
  EXPECT_EQ(lines.size(), 2u);
  std::stringstream message;
  message << std::ifstream(err).rdbuf();
  EXPECT_NE(message.str().find("line 3: malformed JSON"), std::string::npos) << message.str();
}

TEST(Replay, IntervalLimitRejectsFarLines)
{
  Replay replay{Filter(data_path("point_mass_2d.json")), 60.0};
  replay.process(R"({"t": 0, "sensors": {}})", 1);
  replay.process(R"({"t": 60, "sensors": {}})", 2);
  EXPECT_THROW_HAS(replay.process(R"({"t": 121, "sensors": {}})", 3), LineError,
                   "line 3: ", "61 s after the previous line's", "limit of 60 s");
}

TEST(Replay, NoiseOverrideAppliesToItsLineOnly)
{
  Replay plain{Filter(data_path("point_mass_2d.json"))};
  Replay noisy{Filter(data_path("point_mass_2d.json"))};
  const std::string a = plain.process(R"({"t": 1, "sensors": {"position_fix": [1, 1]}})", 1);
  const std::string b = noisy.process(
    R"({"t": 1, "sensors": {"position_fix": [1, 1]}, "noise": {"position_fix": [[100, 0], [0, 100]]}})",
    1);
  // A larger noise moves the estimate less.
  EXPECT_LT(json::parse(b)["state"][0].get<double>(), json::parse(a)["state"][0].get<double>());
  const std::string c = plain.process(R"({"t": 2, "sensors": {"position_fix": [1, 1]}})", 2);
  const std::string d = noisy.process(R"({"t": 2, "sensors": {"position_fix": [1, 1]}})", 2);
  EXPECT_NE(c, d);  // the histories differ,
  EXPECT_EQ(noisy.filter().get_empty_measurement().get_sensor("position_fix").get_noise()(0, 0),
            0.25);  // but the configured noise is untouched
}

TEST(Replay, ProgramWarnsOfUnknownKeysRefusesThemWhenStrictAndChecksTheConfigFirst)
{
  const std::string dir = ::testing::TempDir();
  const std::string in = dir + "replay_keys_in.jsonl";
  const std::string out = dir + "replay_keys_out.jsonl";
  const std::string err = dir + "replay_keys_err.txt";
  const std::string cfg_path = dir + "replay_keys_config.json";
  std::ofstream(in) << kLines[0] << '\n';
  json cfg = ukf::test::load_json("point_mass_2d.json");
  cfg["model"]["proces_noise"] = {1, 1, 1, 1};
  std::ofstream(cfg_path) << cfg.dump();
  const auto run = [&](const std::string& options) {
    std::remove(out.c_str());
    const std::string cmd = std::string(UKF_REPLAY_EXE) + " " + cfg_path + " " + in + " -o " +
                            out + options + " 2> " + err;
    const int status = std::system(cmd.c_str());
    std::stringstream message;
    message << std::ifstream(err).rdbuf();
    return std::make_pair(status, message.str());
  };
  const std::string warning = "unknown key \"proces_noise\" in model \"planar\": did you mean "
                              "\"process_noise\"?";

  auto [status, message] = run("");
  EXPECT_EQ(status, 0);
  EXPECT_NE(message.find(cfg_path + ": warning: " + warning), std::string::npos) << message;
  EXPECT_TRUE(std::ifstream(out).good());

  std::tie(status, message) = run(" --strict");
  EXPECT_NE(status, 0);
  EXPECT_NE(message.find(cfg_path + ": error: " + warning), std::string::npos) << message;
  EXPECT_FALSE(std::ifstream(out).good()) << "no output file for a refused configuration";

  cfg["model"].erase("proces_noise");
  cfg["filter"]["alpha"] = "1";
  std::ofstream(cfg_path) << cfg.dump();
  std::tie(status, message) = run("");
  EXPECT_NE(status, 0);
  EXPECT_NE(message.find("[json.exception.type_error.302] \"alpha\" of \"filter\": type must be "
                         "number, but is string"),
            std::string::npos)
    << message;
  EXPECT_FALSE(std::ifstream(out).good()) << "no output file for a configuration that fails";
}

TEST(Replay, TheReadmeSampleRunsCleanly)
{
  const std::string config = std::string(UKF_SAMPLE_DATA_DIR) + "/planar.json";
  const std::string lines = std::string(UKF_SAMPLE_DATA_DIR) + "/planar_fixes.jsonl";
  if (!std::ifstream(config).good()) {
    GTEST_SKIP() << "the repository's data/ is not next to this package: " << config;
  }
  // The README's example configuration, unknown keys refused.
  EXPECT_NO_THROW(config::reject_unknown_keys(config::load_file(config)));
  const std::string out = ::testing::TempDir() + "planar_out.jsonl";
  const std::string cmd =
    std::string(UKF_REPLAY_EXE) + " --strict " + config + " " + lines + " -o " + out;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream result(out);
  std::size_t count = 0, predictions = 0;
  for (std::string l; std::getline(result, l); ++count) {
    predictions += json::parse(l)["nis"].is_null() ? 1 : 0;
  }
  EXPECT_EQ(count, 31u);
  EXPECT_EQ(predictions, 3u);
}
