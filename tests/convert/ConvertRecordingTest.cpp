// Names of a join's outputs and the recording time read from a file name.
#include <gtest/gtest.h>

#include <cstdlib>

#include "convert/ConvertEngine.h"
#include "convert/RecordingTime.h"

namespace {

TEST(ConvertRecordingTest, ASecondOutputIsNamedAfterTheFirst) {
    EXPECT_EQ(convert::PieceOutputName("/out/day.mp4", 0), "/out/day.mp4");
    EXPECT_EQ(convert::PieceOutputName("/out/day.mp4", 1), "/out/day-2.mp4");
    EXPECT_EQ(convert::PieceOutputName("/out/day.x.avi", 2), "/out/day.x-3.avi");
    EXPECT_EQ(convert::PieceOutputName("/out.d/day", 1), "/out.d/day-2");  // a dot in the directory is no extension
    EXPECT_EQ(convert::PieceOutputName("/out/.mp4", 1), "/out/.mp4-2");
}

TEST(ConvertRecordingTest, TheRecordingTimeFromAFileName) {
    ::setenv("TZ", "UTC", 1);
    const int64_t kAt = int64_t{1714577730} * 1000000;  // 2024-05-01T15:35:30Z
    int64_t n = 0;
    EXPECT_TRUE(convert::TimeFromName("cam3_20240501_153530.ps", "%Y%m%d_%H%M%S", n));
    EXPECT_EQ(n, kAt);
    EXPECT_TRUE(convert::TimeFromName("2024-05-01 15.35.30 front door.h264", "%Y-%m-%d %H.%M.%S", n));
    EXPECT_EQ(n, kAt);
    EXPECT_FALSE(convert::TimeFromName("cam3_latest.ps", "%Y%m%d_%H%M%S", n));
    EXPECT_FALSE(convert::TimeFromName("cam3_2024.ps", "%Y%m%d_%H%M%S", n));
    // Local time unless told UTC.
    ::setenv("TZ", "EST5", 1);
    EXPECT_TRUE(convert::ParseRecordingTime("2024-05-01T15:35:30", n));
    EXPECT_EQ(n, kAt + int64_t{5} * 3600 * 1000000);
    EXPECT_TRUE(convert::ParseRecordingTime("2024-05-01T15:35:30Z", n));
    EXPECT_EQ(n, kAt);
    EXPECT_FALSE(convert::ParseRecordingTime("2024-05-01T15:35:30+02", n));
    ::setenv("TZ", "UTC", 1);

    convert::SConvertOptions options;
    EXPECT_FALSE(convert::RecordingTimeFor(options, "/rec/cam3_20240501_153530.ps", n));
    options.strTimePattern = "%Y%m%d_%H%M%S";
    EXPECT_TRUE(convert::RecordingTimeFor(options, "/rec/20240101_000000/cam3_20240501_153530.ps", n));
    EXPECT_EQ(n, kAt);  // the file's name, not its directory's
}

}  // namespace
