#include "log/time_utils.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

TEST(TimeUtils, StampFormat) {
    EXPECT_EQ(time_stamp_str(0), "1970-01-01 00-00-00 (UTC)");
    EXPECT_EQ(time_stamp_str(1235927109), "2009-03-01 17-05-09 (UTC)");
    EXPECT_EQ(time_stamp_str(253402300800), "10000-01-01 00-00-00 (UTC)")
        << "a wide year is kept whole";
    std::string now = system_time_str();
    EXPECT_EQ(now.size(), 25u);
    EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(UTC\))")))
        << now;
}

}  // namespace
