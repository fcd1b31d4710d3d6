#include <utility>
#include <vector>

#include "test_helpers.hpp"
#include "ukf/State.hpp"

using namespace ukf;
using ukf::test::MatrixNear;
using ukf::test::vec;

namespace
{

json generic(const std::string& name, std::initializer_list<double> values)
{
  return {{"type", "GENERIC_FIELD"},
          {"name", name},
          {"size", values.size()},
          {"initial_values", std::vector<double>(values)}};
}

class StateTest : public ::testing::Test
{
protected:
  // Fields of sizes 3, 3, 2 and 3.
  State s{json{{"fields",
                {generic("A", {1, 2, 3}), generic("B", {4, 5, 6}), generic("C", {7, 8}),
                 generic("D", {9, 10, 11})}}}};
};

}  // namespace

TEST_F(StateTest, FieldsLieBackToBack)
{
  EXPECT_EQ(s.size(), 11u);
  EXPECT_EQ(s.number_of_fields(), 4u);
  EXPECT_EQ(s.field(0).get_index(), 0u);
  EXPECT_EQ(s.field(1).get_index(), 3u);
  EXPECT_EQ(s.field(2).get_index(), 6u);
  EXPECT_EQ(s.field(3).get_index(), 8u);
  const VectorX v = s.get_vector();
  EXPECT_EQ(v(6), 7.0);
  EXPECT_EQ(v(7), 8.0);
  EXPECT_EQ(s["C"], vec({7, 8}));
  EXPECT_EQ(s[3], vec({9, 10, 11}));
}

TEST_F(StateTest, LookupErrorsAreExact)
{
  EXPECT_THROW_MSG(s.field("Nope"), std::runtime_error, "Field not found: Nope");
  EXPECT_THROW_MSG(s["a"], std::runtime_error, "Field not found: a");
  EXPECT_THROW_HAS(s.field(4), std::out_of_range, "position 4", "4 fields");
  EXPECT_THROW_HAS(s[9], std::out_of_range, "position 9");
}

TEST_F(StateTest, CopiesAreDeepBothWays)
{
  State copy(s);
  copy.set_vector(VectorX::Zero(11));
  EXPECT_EQ(s["A"], vec({1, 2, 3}));
  State assigned;
  assigned = s;
  s += VectorX::Ones(11);
  EXPECT_EQ(assigned["D"], vec({9, 10, 11}));
  EXPECT_EQ(copy.get_vector(), VectorX::Zero(11));
  assigned = assigned;
  EXPECT_EQ(assigned.size(), 11u);
}

TEST_F(StateTest, MoveLeavesSourceEmpty)
{
  State moved(std::move(s));
  EXPECT_EQ(moved.size(), 11u);
  EXPECT_EQ(s.size(), 0u);
  EXPECT_EQ(s.number_of_fields(), 0u);
  State target;
  target = std::move(moved);
  EXPECT_EQ(target["B"], vec({4, 5, 6}));
  EXPECT_EQ(moved.number_of_fields(), 0u);
}

TEST_F(StateTest, SetVectorIgnoresTrailingEntriesAndRejectsShortOnes)
{
  VectorX longer = VectorX::LinSpaced(13, 0, 12);
  s.set_vector(longer);
  EXPECT_EQ(s.get_vector(), longer.head(11));
  EXPECT_THROW_HAS(s.set_vector(VectorX::Zero(10)), std::invalid_argument, "\"D\"", "10");
  EXPECT_EQ(s.get_vector(), longer.head(11));  // nothing written
  EXPECT_THROW_HAS(s += VectorX::Zero(7), std::invalid_argument, "\"C\"");
}

TEST_F(StateTest, FreeDifferenceAndSum)
{
  const VectorX v = VectorX::LinSpaced(11, -1, 1);
  State plus = v + s;
  EXPECT_TRUE(MatrixNear(plus.get_vector(), s.get_vector() + v, 0));
  EXPECT_TRUE(MatrixNear((s.get_vector() - s).get_vector(), VectorX::Zero(11), 0));
  State shifted = s + v;
  EXPECT_TRUE(MatrixNear((shifted - s).get_vector(), v, 1e-15));
  State empty;
  EXPECT_THROW_HAS(s += empty, std::invalid_argument, "0 fields");
}

TEST(State, EmptyAndDuplicateNames)
{
  State none(json{{"fields", json::array()}});
  EXPECT_EQ(none.size(), 0u);
  EXPECT_EQ(none.get_vector().size(), 0);
  State dup(json{{"fields", {generic("X", {1}), generic("X", {2})}}});
  EXPECT_EQ(dup["X"], vec({1}));
  EXPECT_EQ(dup.field("X").get_index(), 0u);
}

TEST(State, ConfigurationErrors)
{
  EXPECT_THROW_MSG(State(json::object()), std::runtime_error,
                   "Invalid config: missing key \"fields\" in \"initial_state\"");
  EXPECT_THROW_MSG(State(json{{"fields", 3}}), std::runtime_error,
                   "Invalid config: \"fields\" of \"initial_state\" must be an array (got a number)");
  EXPECT_THROW_MSG(State(json{{"fields", {{{"type", "generic_field"}, {"name", "P"}}}}}),
                   std::runtime_error,
                   "Unknown field type: generic_field (did you mean \"GENERIC_FIELD\"?)");
  EXPECT_THROW_MSG(State(json{{"fields", {{{"type", 3}}}}}), json::type_error,
                   "[json.exception.type_error.302] \"type\" of field at state index 0: type must "
                   "be string, but is number");
  EXPECT_THROW_MSG(State(json{{"fields", {7}}}), std::runtime_error,
                   "Invalid config: field at state index 0 must be an object (got a number)");
  EXPECT_THROW_MSG(State(json::array()), std::runtime_error,
                   "Invalid config: \"initial_state\" must be an object (got an array)");
}
