#include "ukf/helpers.hpp"

#include <cmath>

#include "test_helpers.hpp"

using namespace ukf;
using ukf::test::vec;

TEST(WrapAngle, MapsIntoHalfOpenInterval)
{
  EXPECT_DOUBLE_EQ(wrap_angle(3 * kPi / 2), -kPi / 2);
  EXPECT_EQ(wrap_angle(kPi), -kPi);
  EXPECT_EQ(wrap_angle(-kPi), -kPi);
  EXPECT_EQ(wrap_angle(2 * kPi), 0.0);
  EXPECT_DOUBLE_EQ(wrap_angle(7.0), 7.0 - kTwoPi);
  EXPECT_EQ(wrap_angle(0.5), 0.5);
  EXPECT_DOUBLE_EQ(wrap_angle(7 * kPi / 2), -kPi / 2);
  EXPECT_DOUBLE_EQ(wrap_angle(-7 * kPi / 2), kPi / 2);
}

TEST(JsonConversion, VectorReadsNumbersAsDoubles)
{
  EXPECT_EQ(json::parse("[0.0, 1.5, -2]").get<VectorX>(), vec({0.0, 1.5, -2.0}));
  EXPECT_EQ(json::parse("[]").get<VectorX>().size(), 0);
  EXPECT_EQ(json::parse("null").get<VectorX>().size(), 0);
  EXPECT_EQ(json::parse("{}").get<VectorX>().size(), 0);
  EXPECT_THROW_MSG(json::parse("[1, \"a\"]").get<VectorX>(), json::type_error,
                   "[json.exception.type_error.302] type must be number, but is string");
  EXPECT_THROW_MSG(json::parse("3").get<VectorX>(), json::type_error,
                   "[json.exception.type_error.305] cannot use operator[] with a numeric "
                   "argument with number");
}

TEST(JsonConversion, MatrixIsRowByRow)
{
  const MatrixX m = json::parse("[[1, 0, 2], [0, 1, 3]]").get<MatrixX>();
  ASSERT_EQ(m.rows(), 2);
  ASSERT_EQ(m.cols(), 3);
  EXPECT_EQ(m(0, 2), 2.0);
  EXPECT_EQ(m(1, 2), 3.0);
  // Entries past the first row's length are not read.
  const MatrixX narrow = json::parse("[[1], [2, 3]]").get<MatrixX>();
  ASSERT_EQ(narrow.cols(), 1);
  EXPECT_EQ(narrow(1, 0), 2.0);
}

TEST(JsonConversion, MalformedMatricesAreRejected)
{
  EXPECT_THROW_MSG(config::to_matrix(json::parse("[]"), "\"noise\" of sensor \"gps\""),
                   std::runtime_error, "Invalid config: \"noise\" of sensor \"gps\" has no rows");
  EXPECT_THROW_MSG(config::to_matrix(json::parse("[[1, 2], [3]]"), "\"initial_covariance\""),
                   std::runtime_error,
                   "Invalid config: \"initial_covariance\": row 1 has 1 entry, the first row "
                   "has 2");
  EXPECT_THROW_MSG(json::parse("[[1, 2], 3]").get<MatrixX>(), json::type_error,
                   "[json.exception.type_error.305] cannot use operator[] with a numeric "
                   "argument with number");
  EXPECT_THROW_MSG(json::parse("7").get<MatrixX>(), json::type_error,
                   "[json.exception.type_error.305] cannot use operator[] with a numeric "
                   "argument with number");
}

TEST(ConfigHelpers, RequireNamesKeyAndPlace)
{
  const json obj = json::parse(R"({"a": 1})");
  EXPECT_EQ(config::require(obj, "a", "x").get<int>(), 1);
  EXPECT_THROW_MSG(config::require(obj, "size", "field \"P\""), std::runtime_error,
                   "Invalid config: missing key \"size\" in field \"P\"");
  EXPECT_THROW_MSG(config::require(json(3), "size", "x"), std::runtime_error,
                   "Invalid config: x must be an object (got a number)");
}
