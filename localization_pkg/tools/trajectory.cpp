#include "trajectory.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

#include "ukf/helpers.hpp"

namespace localisation_replay
{

namespace
{

std::vector<std::string> cells_of(const std::string& line)
{
  std::vector<std::string> cells;
  std::stringstream in(line);
  for (std::string cell; std::getline(in, cell, ',');) {
    const auto b = cell.find_first_not_of(" \t\r");
    const auto e = cell.find_last_not_of(" \t\r");
    cells.push_back(b == std::string::npos ? std::string() : cell.substr(b, e - b + 1));
  }
  return cells;
}

double yaw_of(const nav_msgs::msg::Odometry& o)
{
  const auto& q = o.pose.pose.orientation;
  return std::atan2(2.0 * (q.w * q.z + q.x * q.y), 1.0 - 2.0 * (q.y * q.y + q.z * q.z));
}

double stamp_seconds(const nav_msgs::msg::Odometry& o)
{
  return o.header.stamp.sec + o.header.stamp.nanosec * 1e-9;
}

}  // namespace

std::vector<TruthPoint> read_truth(std::istream& in, const std::string& name)
{
  std::string line;
  if (!std::getline(in, line)) {
    throw TruthError(name + ": the file is empty; it needs a header row sec,nanosec,x,y[,yaw]");
  }
  std::map<std::string, std::size_t> col;
  const std::vector<std::string> header = cells_of(line);
  for (std::size_t i = 0; i < header.size(); ++i) {
    col[header[i]] = i;
  }
  for (const char* needed : {"sec", "nanosec", "x", "y"}) {
    if (!col.count(needed)) {
      throw TruthError(name + ": the header has no column \"" + needed +
                       "\"; truth is sec,nanosec,x,y[,yaw]");
    }
  }
  const bool has_yaw = col.count("yaw") > 0;
  std::vector<TruthPoint> points;
  std::size_t line_number = 1;
  while (std::getline(in, line)) {
    ++line_number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) {
      continue;
    }
    const std::string where = name + ": line " + std::to_string(line_number) + ": ";
    const std::vector<std::string> cells = cells_of(line);
    const auto value = [&](const char* column) {
      const std::size_t i = col.at(column);
      const std::string text = i < cells.size() ? cells[i] : std::string();
      char* end = nullptr;
      const double v = std::strtod(text.c_str(), &end);
      if (text.empty() || end != text.c_str() + text.size()) {
        throw TruthError(where + "column \"" + column + "\" is not a number: \"" + text + "\"");
      }
      if (!std::isfinite(v)) {
        throw TruthError(where + "column \"" + column + "\" is not finite: " + text);
      }
      return v;
    };
    TruthPoint p;
    const double sec = value("sec"), nanosec = value("nanosec");
    if (sec != std::floor(sec) || sec < std::numeric_limits<int32_t>::min() ||
        sec > std::numeric_limits<int32_t>::max() || nanosec != std::floor(nanosec) ||
        nanosec < 0 || nanosec >= 1e9) {
      throw TruthError(where + "the stamp is not a ROS time (sec a 32-bit whole number, nanosec "
                               "a whole number in [0, 1e9))");
    }
    p.sec = static_cast<int32_t>(sec);
    p.nanosec = static_cast<uint32_t>(nanosec);
    p.x = value("x");
    p.y = value("y");
    if (has_yaw && col.at("yaw") < cells.size() && !cells[col.at("yaw")].empty()) {
      p.has_yaw = true;
      p.yaw = value("yaw");
    }
    if (!points.empty() && (p.sec < points.back().sec ||
                            (p.sec == points.back().sec && p.nanosec <= points.back().nanosec))) {
      char stamp[64];
      std::snprintf(stamp, sizeof(stamp), "%d.%09u", points.back().sec, points.back().nanosec);
      throw TruthError(where + "the stamp is not after the previous row's (" + stamp +
                       " s): truth rows must be in stamp order");
    }
    points.push_back(p);
  }
  if (points.empty()) {
    throw TruthError(name + ": no truth rows after the header");
  }
  return points;
}

std::vector<TruthPoint> read_truth_file(const std::string& path)
{
  std::ifstream in(path);
  if (!in.is_open()) {
    throw TruthError("cannot open truth file: " + path);
  }
  return read_truth(in, path);
}

std::vector<Pair> associate(const std::vector<TruthPoint>& truth,
                            const std::vector<nav_msgs::msg::Odometry>& odometry,
                            double tolerance)
{
  std::vector<Pair> pairs;
  std::size_t next = 0;  // the first estimate not before the truth point
  for (const TruthPoint& t : truth) {
    const double at = t.seconds();
    while (next < odometry.size() && stamp_seconds(odometry[next]) < at) {
      ++next;
    }
    std::size_t best = odometry.size();
    double gap = tolerance;
    for (std::size_t k : {next - 1, next}) {  // next - 1 wraps round at 0 and is skipped
      if (k < odometry.size() && std::abs(stamp_seconds(odometry[k]) - at) <= gap) {
        gap = std::abs(stamp_seconds(odometry[k]) - at);
        best = k;
      }
    }
    if (best == odometry.size()) {
      continue;
    }
    const auto& o = odometry[best];
    pairs.push_back({t, o.pose.pose.position.x, o.pose.pose.position.y, yaw_of(o),
                     stamp_seconds(o)});
  }
  return pairs;
}

void Alignment::apply(double x, double y, double& ax, double& ay) const
{
  const double c = std::cos(angle), s = std::sin(angle);
  ax = c * x - s * y + tx;
  ay = s * x + c * y + ty;
}

Alignment align(const std::vector<Pair>& pairs)
{
  Alignment a;
  if (pairs.empty()) {
    return a;
  }
  double ex = 0, ey = 0, gx = 0, gy = 0;
  for (const Pair& p : pairs) {
    ex += p.x;
    ey += p.y;
    gx += p.truth.x;
    gy += p.truth.y;
  }
  const double n = static_cast<double>(pairs.size());
  ex /= n;
  ey /= n;
  gx /= n;
  gy /= n;
  // In the plane the rotation of Kabsch's problem has a closed form: the angle of the summed
  // cross and dot products of the centred points.
  double dot = 0, cross = 0;
  for (const Pair& p : pairs) {
    const double x = p.x - ex, y = p.y - ey, u = p.truth.x - gx, v = p.truth.y - gy;
    dot += x * u + y * v;
    cross += x * v - y * u;
  }
  a.angle = std::atan2(cross, dot);
  double rx = 0, ry = 0;
  Alignment rotation_only;
  rotation_only.angle = a.angle;
  rotation_only.apply(ex, ey, rx, ry);
  a.tx = gx - rx;
  a.ty = gy - ry;
  return a;
}

TrajectoryErrors trajectory_errors(const std::vector<Pair>& pairs, double rpe_distance)
{
  if (pairs.size() < 2) {
    throw std::invalid_argument("aligned errors need at least two truth points near estimates, "
                                "got " + std::to_string(pairs.size()));
  }
  TrajectoryErrors e;
  e.pairs = pairs.size();
  e.alignment = align(pairs);
  double sum = 0.0, sum_unaligned = 0.0;
  for (const Pair& p : pairs) {
    double ax = 0, ay = 0;
    e.alignment.apply(p.x, p.y, ax, ay);
    const double d = std::hypot(ax - p.truth.x, ay - p.truth.y);
    sum += d * d;
    e.ate_max = std::max(e.ate_max, d);
    const double u = std::hypot(p.x - p.truth.x, p.y - p.truth.y);
    sum_unaligned += u * u;
    e.unaligned_final = u;
  }
  e.ate_rms = std::sqrt(sum / static_cast<double>(pairs.size()));
  e.unaligned_rms = std::sqrt(sum_unaligned / static_cast<double>(pairs.size()));

  // Relative errors over segments of truth path.
  e.rpe_distance = rpe_distance;
  e.rpe_with_heading = std::all_of(pairs.begin(), pairs.end(),
                                   [](const Pair& p) { return p.truth.has_yaw; });
  std::vector<double> along(pairs.size(), 0.0);
  for (std::size_t k = 1; k < pairs.size(); ++k) {
    along[k] = along[k - 1] + std::hypot(pairs[k].truth.x - pairs[k - 1].truth.x,
                                         pairs[k].truth.y - pairs[k - 1].truth.y);
  }
  double rpe_sum = 0.0;
  std::size_t j = 0;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    j = std::max(j, i + 1);
    while (j < pairs.size() && along[j] - along[i] < rpe_distance) {
      ++j;
    }
    if (j >= pairs.size()) {
      break;
    }
    const Pair& a = pairs[i];
    const Pair& b = pairs[j];
    double error = 0.0;
    if (e.rpe_with_heading) {
      // The relative motion of each, in its own frame at i; the error is their difference.
      const auto relative = [](double x0, double y0, double h0, double x1, double y1,
                               double& rx, double& ry) {
        const double c = std::cos(h0), s = std::sin(h0);
        rx = c * (x1 - x0) + s * (y1 - y0);
        ry = -s * (x1 - x0) + c * (y1 - y0);
      };
      double ex = 0, ey = 0, gx = 0, gy = 0;
      relative(a.x, a.y, a.yaw, b.x, b.y, ex, ey);
      relative(a.truth.x, a.truth.y, a.truth.yaw, b.truth.x, b.truth.y, gx, gy);
      // (Delta_gt)^-1 Delta_est: its translation is R_gt^T (t_est - t_gt).
      const double h = ukf::wrap_angle(b.truth.yaw - a.truth.yaw);
      const double c = std::cos(h), s = std::sin(h);
      error = std::hypot(c * (ex - gx) + s * (ey - gy), -s * (ex - gx) + c * (ey - gy));
    } else {
      double ax = 0, ay = 0, bx = 0, by = 0;
      Alignment rotation_only;
      rotation_only.angle = e.alignment.angle;
      rotation_only.apply(a.x, a.y, ax, ay);
      rotation_only.apply(b.x, b.y, bx, by);
      error = std::hypot((bx - ax) - (b.truth.x - a.truth.x), (by - ay) - (b.truth.y - a.truth.y));
    }
    rpe_sum += error * error;
    e.rpe_max = std::max(e.rpe_max, error);
    ++e.rpe_segments;
  }
  if (e.rpe_segments > 0) {
    e.rpe_rms = std::sqrt(rpe_sum / static_cast<double>(e.rpe_segments));
  }
  return e;
}

namespace
{

void write_lines(const std::string& path, const std::vector<std::string>& lines)
{
  std::ofstream out(path);
  if (!out.is_open()) {
    throw std::runtime_error("cannot write " + path);
  }
  for (const std::string& line : lines) {
    out << line;
  }
  if (!out) {
    throw std::runtime_error("writing " + path + " failed");
  }
}

}  // namespace

void write_tum(const std::vector<nav_msgs::msg::Odometry>& odometry, const std::string& path)
{
  std::vector<std::string> lines;
  lines.reserve(odometry.size());
  char line[320];
  for (const auto& o : odometry) {
    const auto& p = o.pose.pose.position;
    const auto& q = o.pose.pose.orientation;
    std::snprintf(line, sizeof(line), "%d.%09u %.17g %.17g %.17g %.17g %.17g %.17g %.17g\n",
                  o.header.stamp.sec, o.header.stamp.nanosec, p.x, p.y, p.z, q.x, q.y, q.z, q.w);
    lines.emplace_back(line);
  }
  write_lines(path, lines);
}

void write_truth_tum(const std::vector<Pair>& pairs, const std::string& path)
{
  std::vector<std::string> lines;
  lines.reserve(pairs.size());
  char line[320];
  for (const Pair& p : pairs) {
    const double h = p.truth.has_yaw ? 0.5 * p.truth.yaw : 0.0;
    std::snprintf(line, sizeof(line), "%d.%09u %.17g %.17g 0 0 0 %.17g %.17g\n", p.truth.sec,
                  p.truth.nanosec, p.truth.x, p.truth.y, std::sin(h), std::cos(h));
    lines.emplace_back(line);
  }
  write_lines(path, lines);
}

}  // namespace localisation_replay
