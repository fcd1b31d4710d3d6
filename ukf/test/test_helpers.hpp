#pragma once

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ukf/helpers.hpp"

namespace ukf::test
{

/// Entry-wise comparison that prints both matrices on failure.
inline ::testing::AssertionResult MatrixNear(const MatrixX& actual, const MatrixX& expected,
                                             double tol)
{
  if (actual.rows() != expected.rows() || actual.cols() != expected.cols()) {
    return ::testing::AssertionFailure()
           << "sizes differ: " << actual.rows() << "x" << actual.cols() << " vs " << expected.rows()
           << "x" << expected.cols();
  }
  for (Eigen::Index r = 0; r < actual.rows(); ++r) {
    for (Eigen::Index c = 0; c < actual.cols(); ++c) {
      if (!(std::abs(actual(r, c) - expected(r, c)) <= tol)) {
        return ::testing::AssertionFailure()
               << "entry (" << r << ", " << c << ") differs by more than " << tol << "\nactual:\n"
               << actual << "\nexpected:\n"
               << expected;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

inline VectorX vec(std::initializer_list<double> values)
{
  VectorX v(static_cast<Eigen::Index>(values.size()));
  Eigen::Index i = 0;
  for (double x : values) {
    v(i++) = x;
  }
  return v;
}

inline std::string data_path(const std::string& name)
{
  return std::string(UKF_TEST_DATA_DIR) + "/" + name;
}

inline json load_json(const std::string& name)
{
  std::ifstream in(data_path(name));
  return json::parse(in);
}

}  // namespace ukf::test

/// Expects `statement` to throw `type` whose what() is exactly `message`.
#define EXPECT_THROW_MSG(statement, type, message)                       \
  do {                                                                   \
    try {                                                                \
      statement;                                                         \
      ADD_FAILURE() << "expected " #type " with message: " << (message); \
    } catch (const type& e) {                                            \
      EXPECT_EQ(std::string(e.what()), std::string(message));            \
    }                                                                    \
  } while (0)

/// Expects `statement` to throw `type` whose what() contains every one of the given texts.
#define EXPECT_THROW_HAS(statement, type, ...)                          \
  do {                                                                  \
    try {                                                               \
      statement;                                                        \
      ADD_FAILURE() << "expected " #type;                               \
    } catch (const type& e) {                                           \
      for (const char* part : {__VA_ARGS__}) {                          \
        EXPECT_NE(std::string(e.what()).find(part), std::string::npos)  \
          << "message \"" << e.what() << "\" lacks \"" << part << "\""; \
      }                                                                 \
    }                                                                   \
  } while (0)
