#pragma once

namespace rosidl_runtime_cpp
{
/// How a generated message constructor fills its fields.
enum class MessageInitialization {
  ALL,            // fields with a .msg default take it, everything else zero or empty
  SKIP,           // nothing is set
  ZERO,           // everything zero, defaults included
  DEFAULTS_ONLY,  // only the fields with a .msg default
};
}  // namespace rosidl_runtime_cpp

/// The pointer aliases every generated message type carries.
#define ROS2_STANDIN_MESSAGE_ALIASES(Type)                     \
  using RawPtr = Type*;                                        \
  using ConstRawPtr = const Type*;                             \
  using SharedPtr = std::shared_ptr<Type>;                     \
  using ConstSharedPtr = std::shared_ptr<const Type>;          \
  using UniquePtr = std::unique_ptr<Type>;                     \
  using ConstUniquePtr = std::unique_ptr<const Type>;          \
  template <typename Deleter = std::default_delete<Type>>      \
  using UniquePtrWithDeleter = std::unique_ptr<Type, Deleter>; \
  using WeakPtr = std::weak_ptr<Type>;                         \
  using ConstWeakPtr = std::weak_ptr<const Type>
