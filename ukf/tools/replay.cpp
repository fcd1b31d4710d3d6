#include "replay.hpp"

#include <cmath>
#include <exception>

namespace ukf::tools
{

namespace
{

using ordered_json = nlohmann::ordered_json;

bool blank(const std::string& line)
{
  return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

VectorX read_vector(const json& value, const std::string& what)
{
  if (!value.is_array()) {
    throw std::invalid_argument(what + " must be an array of numbers");
  }
  VectorX v(static_cast<Eigen::Index>(value.size()));
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (!value[i].is_number()) {
      throw std::invalid_argument(what + ": entry " + std::to_string(i) + " is not a number");
    }
    v(static_cast<Eigen::Index>(i)) = value[i].get<double>();
  }
  return v;
}

MatrixX read_matrix(const json& value, const std::string& what)
{
  if (!value.is_array() || value.empty() || !value[0].is_array()) {
    throw std::invalid_argument(what + " must be an array of rows");
  }
  const std::size_t cols = value[0].size();
  MatrixX m(static_cast<Eigen::Index>(value.size()), static_cast<Eigen::Index>(cols));
  for (std::size_t r = 0; r < value.size(); ++r) {
    const VectorX row = read_vector(value[r], what + ", row " + std::to_string(r));
    if (static_cast<std::size_t>(row.size()) != cols) {
      throw std::invalid_argument(what + ": row " + std::to_string(r) + " has " +
                                  std::to_string(row.size()) + " entries, the first row has " +
                                  std::to_string(cols));
    }
    m.row(static_cast<Eigen::Index>(r)) = row.transpose();
  }
  return m;
}

ordered_json to_json(const VectorX& v)
{
  ordered_json a = ordered_json::array();
  for (Eigen::Index i = 0; i < v.size(); ++i) {
    a.push_back(v(i));
  }
  return a;
}

Measurement read_measurement(const Filter& filter, const json& input)
{
  Measurement z = filter.get_empty_measurement();
  const auto sensors = input.find("sensors");
  const auto noise = input.find("noise");
  if (sensors != input.end() && !sensors->is_object()) {
    throw std::invalid_argument("\"sensors\" must be an object of sensor name to reading");
  }
  if (noise != input.end() && !noise->is_object()) {
    throw std::invalid_argument("\"noise\" must be an object of sensor name to matrix");
  }
  if (noise != input.end()) {
    for (const auto& item : noise->items()) {
      if (sensors == input.end() || !sensors->contains(item.key())) {
        throw std::invalid_argument("\"noise\" names sensor \"" + item.key() +
                                    "\", which has no reading on this line");
      }
    }
  }
  if (sensors == input.end()) {
    return z;
  }
  for (const auto& item : sensors->items()) {
    const std::string& name = item.key();
    z.get_sensor(name);  // "Sensor not found: <name>" before anything else
    const VectorX v = read_vector(item.value(), "the reading of sensor \"" + name + "\"");
    if (noise != input.end() && noise->contains(name)) {
      z.sensor_populate(name, v,
                        read_matrix((*noise)[name], "the noise of sensor \"" + name + "\""));
    } else {
      z.sensor_populate(name, v);
    }
  }
  return z;
}

}  // namespace

std::string Replay::process(const std::string& line, std::size_t line_number)
{
  if (blank(line)) {
    return std::string();
  }
  try {
    const json input = json::parse(line);
    if (!input.is_object()) {
      throw std::invalid_argument("a line must be a JSON object");
    }
    for (const auto& item : input.items()) {
      if (item.key() != "t" && item.key() != "sensors" && item.key() != "noise") {
        throw std::invalid_argument("unknown key \"" + item.key() +
                                    "\" (a line has \"t\", \"sensors\" and \"noise\")");
      }
    }
    const auto t = input.find("t");
    if (t == input.end() || !t->is_number()) {
      throw std::invalid_argument("\"t\" must be a number of seconds");
    }
    const double time = t->get<double>();
    if (_has_previous && time - _previous > _max_interval) {
      throw std::invalid_argument("the time " + config::format_number(time) + " s is " +
                                  config::format_number(time - _previous) +
                                  " s after the previous line's, more than the limit of " +
                                  config::format_number(_max_interval) + " s");
    }
    _filter.update(read_measurement(_filter, input), time);
    _has_previous = true;
    _previous = time;

    const State state = _filter.get_state();
    const MatrixX covariance = _filter.get_covar();
    ordered_json out;
    out["t"] = time;
    out["state"] = to_json(state.get_vector());
    ordered_json rows = ordered_json::array();
    for (Eigen::Index r = 0; r < covariance.rows(); ++r) {
      rows.push_back(to_json(covariance.row(r).transpose()));
    }
    out["covariance"] = std::move(rows);
    ordered_json fields = ordered_json::object();
    for (std::size_t i = 0; i < state.number_of_fields(); ++i) {
      fields[state.field(i).get_name()] = to_json(state[i]);
    }
    out["fields"] = std::move(fields);
    // Normalised innovation squared; null for a pure prediction, which has no innovation.
    const Step step = _filter.get_last_step();
    if (step.residual.size() > 0) {
      out["nis"] = normalised_innovation_squared(step);
    } else {
      out["nis"] = nullptr;
    }
    return out.dump();
  } catch (const json::exception& e) {
    throw LineError(line_number, std::string("malformed JSON: ") + e.what());
  } catch (const std::exception& e) {
    throw LineError(line_number, e.what());
  }
}

}  // namespace ukf::tools
