// ukf_replay CONFIG.json MEASUREMENTS.jsonl [-o OUT.jsonl] [--max-interval SECONDS] [--strict]
//
// Runs a filter configuration over recorded measurements, one update per input line, and writes
// the estimate after each update as one JSON line (standard output without -o). A bad line stops
// the run with its line number and the problem, after every earlier line has been written. Keys
// of the configuration that no reader knows are warned about on standard error (an error with
// --strict); a configuration that cannot be used stops the run before any output file is made.
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "replay.hpp"

namespace
{

int usage()
{
  std::cerr << "usage: ukf_replay CONFIG.json MEASUREMENTS.jsonl [-o OUT.jsonl] "
               "[--max-interval SECONDS] [--strict]\n"
               "  Input lines:  {\"t\": 12.5, \"sensors\": {\"encoders\": [0.5, -0.1]}}\n"
               "  Output lines: {\"t\": 12.5, \"state\": [...], \"covariance\": [[...]], "
               "\"fields\": {...}}\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv)
{
  std::string config_path, input_path, output_path;
  double max_interval = std::numeric_limits<double>::infinity();
  bool strict = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-o" && i + 1 < argc) {
      output_path = argv[++i];
    } else if (arg == "--max-interval" && i + 1 < argc) {
      char* end = nullptr;
      max_interval = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(max_interval > 0)) {
        std::cerr << "ukf_replay: --max-interval takes a positive number of seconds\n";
        return 2;
      }
    } else if (arg == "--strict") {
      strict = true;
    } else if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      return usage();
    } else if (config_path.empty()) {
      config_path = arg;
    } else if (input_path.empty()) {
      input_path = arg;
    } else {
      return usage();
    }
  }
  if (config_path.empty() || input_path.empty()) {
    return usage();
  }

  // The configuration first: a bad one must not leave an empty output file behind.
  std::unique_ptr<ukf::tools::Replay> replay;
  try {
    const ukf::json config = ukf::config::load_file(config_path);
    const std::vector<std::string> unknown = ukf::config::unknown_keys(config);
    for (const std::string& message : unknown) {
      std::cerr << "ukf_replay: " << config_path << ": " << (strict ? "error: " : "warning: ")
                << message << '\n';
    }
    if (strict && !unknown.empty()) {
      std::cerr << "ukf_replay: " << config_path << ": --strict refuses unknown keys\n";
      return 1;
    }
    replay = std::make_unique<ukf::tools::Replay>(ukf::Filter(config), max_interval);
  } catch (const std::exception& e) {
    std::cerr << "ukf_replay: " << config_path << ": " << e.what() << '\n';
    return 1;
  }

  std::ifstream input(input_path);
  if (!input.is_open()) {
    std::cerr << "ukf_replay: cannot open measurements file: " << input_path << '\n';
    return 1;
  }
  std::ofstream file;
  if (!output_path.empty()) {
    file.open(output_path);
    if (!file.is_open()) {
      std::cerr << "ukf_replay: cannot write output file: " << output_path << '\n';
      return 1;
    }
  }
  std::ostream& out = output_path.empty() ? std::cout : file;

  try {
    std::string line;
    std::size_t number = 0;
    while (std::getline(input, line)) {
      ++number;
      const std::string result = replay->process(line, number);
      if (!result.empty()) {
        out << result << '\n';
      }
    }
  } catch (const std::exception& e) {
    out.flush();
    std::cerr << "ukf_replay: " << input_path << ": " << e.what() << '\n';
    return 1;
  }
  out.flush();
  if (!out) {
    std::cerr << "ukf_replay: writing the output failed\n";
    return 1;
  }
  return 0;
}
