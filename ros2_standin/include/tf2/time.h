#pragma once

#include <chrono>

namespace tf2
{

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::time_point<std::chrono::system_clock, Duration>;
using IDuration = std::chrono::duration<int, std::nano>;
/// The time that asks a lookup for the latest transform available.
static const TimePoint TimePointZero = TimePoint(IDuration::zero());

}  // namespace tf2
