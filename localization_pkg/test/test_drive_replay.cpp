// The recorded-drive replay: its CSV reading and, on the sample drive, the accuracy of the node
// with the package's own configuration.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_replay.hpp"

using localisation_replay::DriveRow;
using localisation_replay::RowError;

namespace
{

std::string write_csv(const std::string& name, const std::string& text)
{
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

}  // namespace

TEST(DriveReplay, ReadsEitherTimeFormAndIgnoresOtherColumns)
{
  std::vector<DriveRow> rows;
  localisation_replay::read_drive(
    write_csv("drive_stamp.csv",
              "note,stamp,angular_z,linear_x\na,12.25,0.1,1.5\nb,12.27,0.2,1.6\n"),
    rows);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].sec, 12);
  EXPECT_EQ(rows[0].nanosec, 250000000u);
  EXPECT_EQ(rows[1].linear_x, 1.6);
  EXPECT_FALSE(rows[0].has_truth);
}

TEST(DriveReplay, AMalformedRowStopsWithItsNumberAfterTheRowsBeforeIt)
{
  std::vector<DriveRow> rows;
  const std::string path =
    write_csv("drive_bad.csv",
              "sec,nanosec,linear_x,angular_z\n1,0,1.0,0\n1,20000000,1.0,0\n1,40000000,fast,0\n");
  try {
    localisation_replay::read_drive(path, rows);
    ADD_FAILURE() << "expected a RowError";
  } catch (const RowError& e) {
    EXPECT_EQ(std::string(e.what()),
              "row 3 (line 4): column \"linear_x\" is not a number: \"fast\"");
  }
  EXPECT_EQ(rows.size(), 2u);
  EXPECT_THROW(localisation_replay::read_drive(write_csv("drive_nohead.csv", "a,b\n1,2\n"), rows),
               std::runtime_error);
  rows.clear();
  EXPECT_THROW(
    localisation_replay::read_drive(
      write_csv("drive_ns.csv", "sec,nanosec,linear_x,angular_z\n1,1000000000,1,0\n"), rows),
    RowError);
}

TEST(DriveReplay, SampleDriveIsTrackedWithinOnePercent)
{
  if (!std::ifstream(LOCALISATION_SAMPLE_DRIVE).good()) {
    GTEST_SKIP() << "the sample drive is not next to this package: " << LOCALISATION_SAMPLE_DRIVE;
  }
  std::vector<DriveRow> rows;
  localisation_replay::read_drive(LOCALISATION_SAMPLE_DRIVE, rows);
  ASSERT_GE(rows.size(), 6000u);  // at least two minutes at 50 Hz
  const auto result = localisation_replay::replay(rows, LOCALISATION_DEFAULT_CONFIG);
  ASSERT_EQ(result.odometry.size(), rows.size());
  ASSERT_TRUE(result.has_truth);
  EXPECT_GT(result.distance, 100.0);
  EXPECT_LE(result.final_error, 0.01 * result.distance) << localisation_replay::summary(result);
  EXPECT_LE(result.rms_error, 2.0 * result.dead_reckoning_rms_error)
    << localisation_replay::summary(result);
  EXPECT_EQ(result.dropped, 0u);
}
