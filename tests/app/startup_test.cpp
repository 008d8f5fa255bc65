#include "app/startup.h"

#include <gtest/gtest.h>

TEST(ParseCommandLine, Run) { EXPECT_EQ(ParseCommandLine("/s"), SAVER_RUN); }
