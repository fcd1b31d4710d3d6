#pragma once

#include <map>
#include <mutex>
#include <string>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "tf2/exceptions.h"
#include "tf2/time.h"

namespace tf2
{

static constexpr Duration BUFFER_CORE_DEFAULT_CACHE_TIME = std::chrono::seconds(10);

/// The transform tree. The stand-in keeps the latest transform of each child frame (static ones
/// for good), which is what lookups at TimePointZero ("the latest") read. Like tf2 it stores a
/// rotation normalised (tf2 keeps it as a matrix), and refuses a transform with a NaN (a
/// quaternion of zero length or an infinite one becomes NaN), an empty frame id or a frame that
/// is its own parent, and logs why; an infinite translation is stored.
class BufferCore
{
public:
  explicit BufferCore(tf2::Duration cache_time_ = BUFFER_CORE_DEFAULT_CACHE_TIME);
  virtual ~BufferCore(void);

  /// Stores `transform`; false (and an error on the console) when it is refused.
  bool setTransform(const geometry_msgs::msg::TransformStamped& transform,
                    const std::string& authority, bool is_static = false);

  /// The transform that takes data in `source_frame` into `target_frame` (header.frame_id is the
  /// target, child_frame_id the source). Throws tf2::LookupException for an unknown frame,
  /// tf2::ConnectivityException for frames of different trees and
  /// tf2::InvalidArgumentException for an empty frame id.
  geometry_msgs::msg::TransformStamped lookupTransform(const std::string& target_frame,
                                                       const std::string& source_frame,
                                                       const TimePoint& time) const;

  bool canTransform(const std::string& target_frame, const std::string& source_frame,
                    const TimePoint& time, std::string* error_msg = nullptr) const;

  /// Forgets every transform but the static ones.
  void clear();

private:
  struct Link
  {
    geometry_msgs::msg::TransformStamped transform;
    bool is_static = false;
  };
  bool known(const std::string& frame) const;
  geometry_msgs::msg::TransformStamped to_root(const std::string& frame, const char* argument,
                                               std::string& root) const;

  mutable std::mutex mutex_;
  std::map<std::string, Link> links_;  // by child frame
};

}  // namespace tf2
