// The stand-in's transform tree: the latest transform of each child frame, composed along the
// tree for a lookup, with tf2's checks on what is stored and its exceptions on lookup.
#include "tf2/buffer_core.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace tf2
{

namespace
{

using geometry_msgs::msg::Quaternion;
using geometry_msgs::msg::Transform;
using geometry_msgs::msg::Vector3;

Quaternion multiply(const Quaternion& a, const Quaternion& b)
{
  Quaternion q;
  q.w = a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z;
  q.x = a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y;
  q.y = a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x;
  q.z = a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w;
  return q;
}

Quaternion conjugate(const Quaternion& q)
{
  Quaternion c;
  c.w = q.w;
  c.x = -q.x;
  c.y = -q.y;
  c.z = -q.z;
  return c;
}

Vector3 rotate(const Quaternion& q, const Vector3& v)
{
  Quaternion p;
  p.w = 0.0;
  p.x = v.x;
  p.y = v.y;
  p.z = v.z;
  const Quaternion r = multiply(multiply(q, p), conjugate(q));
  Vector3 out;
  out.x = r.x;
  out.y = r.y;
  out.z = r.z;
  return out;
}

// a * b: b first, then a.
Transform compose(const Transform& a, const Transform& b)
{
  Transform t;
  const Vector3 moved = rotate(a.rotation, b.translation);
  t.translation.x = moved.x + a.translation.x;
  t.translation.y = moved.y + a.translation.y;
  t.translation.z = moved.z + a.translation.z;
  t.rotation = multiply(a.rotation, b.rotation);
  return t;
}

Transform inverse(const Transform& a)
{
  Transform t;
  t.rotation = conjugate(a.rotation);
  const Vector3 back = rotate(t.rotation, a.translation);
  t.translation.x = -back.x;
  t.translation.y = -back.y;
  t.translation.z = -back.z;
  return t;
}

std::string strip_slash(const std::string& frame)
{
  return !frame.empty() && frame.front() == '/' ? frame.substr(1) : frame;
}

void validate(const std::string& frame, const char* argument)
{
  if (frame.empty()) {
    throw InvalidArgumentException("Invalid argument \"\" passed to " + std::string(argument) +
                                   " - in tf2 frame_ids cannot be empty");
  }
  if (frame.front() == '/') {
    throw InvalidArgumentException("Invalid argument \"" + frame + "\" passed to " +
                                   std::string(argument) +
                                   " - in tf2 frame_ids cannot start with a '/'");
  }
}

}  // namespace

BufferCore::BufferCore(tf2::Duration cache_time_) { (void)cache_time_; }

BufferCore::~BufferCore(void) = default;

bool BufferCore::setTransform(const geometry_msgs::msg::TransformStamped& transform_in,
                              const std::string& authority, bool is_static)
{
  geometry_msgs::msg::TransformStamped stripped = transform_in;
  stripped.header.frame_id = strip_slash(stripped.header.frame_id);
  stripped.child_frame_id = strip_slash(stripped.child_frame_id);
  // Stored as a rotation matrix, as tf2 stores it: any finite quaternion but zero comes back
  // normalised, and one of zero length or with an infinite entry as NaN.
  auto& q = stripped.transform.rotation;
  const double length = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
  if (std::isfinite(length) && length > 0.0) {
    q.x /= length;
    q.y /= length;
    q.z /= length;
    q.w /= length;
  } else {
    q.x = q.y = q.z = q.w = std::nan("");
  }
  const auto& t = stripped.transform.translation;
  bool error = false;
  if (stripped.child_frame_id == stripped.header.frame_id) {
    std::fprintf(stderr,
                 "Error:   TF_SELF_TRANSFORM: Ignoring transform from authority \"%s\" with "
                 "frame_id and  child_frame_id \"%s\" because they are the same\n",
                 authority.c_str(), stripped.child_frame_id.c_str());
    error = true;
  }
  if (stripped.child_frame_id.empty()) {
    std::fprintf(stderr,
                 "Error:   TF_NO_CHILD_FRAME_ID: Ignoring transform from authority \"%s\" because "
                 "child_frame_id not set \n",
                 authority.c_str());
    error = true;
  }
  if (stripped.header.frame_id.empty()) {
    std::fprintf(stderr,
                 "Error:   TF_NO_FRAME_ID: Ignoring transform with child_frame_id \"%s\"  from "
                 "authority \"%s\" because frame_id not set\n",
                 stripped.child_frame_id.c_str(), authority.c_str());
    error = true;
  }
  if (std::isnan(t.x) || std::isnan(t.y) || std::isnan(t.z) || std::isnan(q.x) ||
      std::isnan(q.y) || std::isnan(q.z) || std::isnan(q.w)) {
    std::fprintf(stderr,
                 "Error:   TF_NAN_INPUT: Ignoring transform for child_frame_id \"%s\" from "
                 "authority \"%s\" because of a nan value in the transform (%f %f %f) (%f %f %f "
                 "%f)\n",
                 stripped.child_frame_id.c_str(), authority.c_str(), t.x, t.y, t.z, q.x, q.y, q.z,
                 q.w);
    error = true;
  }
  if (error) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Link& link = links_[stripped.child_frame_id];
  link.transform = stripped;
  link.is_static = link.is_static || is_static;
  return true;
}

// The transform from `frame` to the root of its tree, whose name goes to `root`.
geometry_msgs::msg::TransformStamped BufferCore::to_root(const std::string& frame,
                                                         const char* argument,
                                                         std::string& root) const
{
  bool found = links_.count(frame) > 0;
  for (auto it = links_.begin(); !found && it != links_.end(); ++it) {
    found = it->second.transform.header.frame_id == frame;
  }
  if (!found) {
    throw LookupException("\"" + frame + "\" passed to " + std::string(argument) +
                          " does not exist. ");
  }
  geometry_msgs::msg::TransformStamped total;
  total.transform.rotation.w = 1.0;
  root = frame;
  // A loop in the tree (each child has one parent) would never reach a root.
  for (std::size_t depth = 0; depth <= links_.size(); ++depth) {
    const auto link = links_.find(root);
    if (link == links_.end()) {
      return total;
    }
    total.transform = compose(link->second.transform.transform, total.transform);
    if (link->second.transform.header.stamp.sec > total.header.stamp.sec ||
        (link->second.transform.header.stamp.sec == total.header.stamp.sec &&
         link->second.transform.header.stamp.nanosec > total.header.stamp.nanosec)) {
      total.header.stamp = link->second.transform.header.stamp;
    }
    root = link->second.transform.header.frame_id;
  }
  throw LookupException("The tf tree is invalid because it contains a loop.");
}

geometry_msgs::msg::TransformStamped BufferCore::lookupTransform(const std::string& target_frame,
                                                                 const std::string& source_frame,
                                                                 const TimePoint& time) const
{
  (void)time;  // only the latest transforms are kept
  geometry_msgs::msg::TransformStamped out;
  out.header.frame_id = target_frame;
  out.child_frame_id = source_frame;
  out.transform.rotation.w = 1.0;
  if (target_frame == source_frame) {
    return out;
  }
  validate(target_frame, "lookupTransform argument target_frame");
  validate(source_frame, "lookupTransform argument source_frame");
  std::lock_guard<std::mutex> lock(mutex_);
  std::string target_root, source_root;
  const auto target = to_root(target_frame, "lookupTransform argument target_frame", target_root);
  const auto source = to_root(source_frame, "lookupTransform argument source_frame", source_root);
  if (target_root != source_root) {
    throw ConnectivityException("Could not find a connection between '" + target_frame +
                                "' and '" + source_frame +
                                "' because they are not part of the same tree."
                                "Tf has two or more unconnected trees.");
  }
  out.transform = compose(inverse(target.transform), source.transform);
  const auto& a = target.header.stamp;
  const auto& b = source.header.stamp;
  out.header.stamp = (a.sec > b.sec || (a.sec == b.sec && a.nanosec > b.nanosec)) ? a : b;
  return out;
}

bool BufferCore::canTransform(const std::string& target_frame, const std::string& source_frame,
                              const TimePoint& time, std::string* error_msg) const
{
  if (target_frame == source_frame) {
    return true;
  }
  // As tf2 words it: an invalid or unknown frame goes to `error_msg`, or to the console as a
  // warning when there is none.
  for (const auto& [frame, argument] :
       {std::pair{&target_frame, "canTransform argument target_frame"},
        std::pair{&source_frame, "canTransform argument source_frame"}}) {
    std::string why;
    if (frame->empty()) {
      why = "in tf2 frame_ids cannot be empty";
    } else if (frame->front() == '/') {
      why = "in tf2 frame_ids cannot start with a '/'";
    } else if (!known(*frame)) {
      why = "frame does not exist";
    }
    if (!why.empty()) {
      const std::string s =
        "Invalid frame ID \"" + *frame + "\" passed to " + argument + " - " + why;
      if (error_msg != nullptr) {
        *error_msg = s;
      } else {
        std::fprintf(stderr, "Warning: %s\n", s.c_str());
      }
      return false;
    }
  }
  try {
    lookupTransform(target_frame, source_frame, time);
    return true;
  } catch (const TransformException& e) {
    if (error_msg != nullptr) {
      *error_msg = e.what();
    }
    return false;
  }
}

bool BufferCore::known(const std::string& frame) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (links_.count(frame) > 0) {
    return true;
  }
  for (const auto& link : links_) {
    if (link.second.transform.header.frame_id == frame) {
      return true;
    }
  }
  return false;
}

void BufferCore::clear()
{
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = links_.begin(); it != links_.end();) {
    it = it->second.is_static ? std::next(it) : links_.erase(it);
  }
}

}  // namespace tf2
