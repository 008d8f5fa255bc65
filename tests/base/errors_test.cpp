#include "base/errors.h"

#include <gtest/gtest.h>

TEST(ErrorText, OwnCodes) {
  EXPECT_EQ(ErrorText(ERR_END_OF_FILE), "End of file.");
}
