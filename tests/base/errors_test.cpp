#include "base/errors.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tests/support/testing.h"

namespace {

// The system's own text for a code, asked as the product asks; empty when
// the message table has none.
std::string SystemText(DWORD code) {
  char buffer[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, buffer, sizeof buffer, nullptr);
  return std::string(buffer, n);
}

}  // namespace

TEST(ErrorText, OwnSystemAndUnknownCodes) {
  EXPECT_EQ(ErrorText(0x08000001), "Attempt to create the file failed.");
  EXPECT_EQ(ErrorText(0x08000008), "End of file.");
  EXPECT_EQ(ErrorText(0x0800001D), "The software cannot access this file version.");

  // Outside the table, including its two gaps, and -1, which carries bit 27
  // and so never reaches the system table.
  EXPECT_EQ(ErrorText(0x08000000), "<unknown error: 134217728>");
  EXPECT_EQ(ErrorText(0x0800000C), "<unknown error: 134217740>");
  EXPECT_EQ(ErrorText(0x0800001E), "<unknown error: 134217758>");
  EXPECT_EQ(ErrorText(-1), "<unknown error: -1>");

  // System texts are passed on exactly as written, trailing blank and all.
  ASSERT_FALSE(SystemText(ERROR_FILE_NOT_FOUND).empty());
  EXPECT_EQ(ErrorText(ERROR_FILE_NOT_FOUND), SystemText(ERROR_FILE_NOT_FOUND));
  // A text with an insert ("%1", the program that is no Windows program)
  // comes out with the insert as it stands.
  ASSERT_NE(SystemText(ERROR_BAD_EXE_FORMAT).find("%1"), std::string::npos);
  EXPECT_EQ(ErrorText(ERROR_BAD_EXE_FORMAT), SystemText(ERROR_BAD_EXE_FORMAT));
  const int32_t noText = 0x00FFFFF1;
  ASSERT_TRUE(SystemText(noText).empty());
  EXPECT_EQ(ErrorText(noText), "<unknown error: 16777201>");
}

TEST(ErrorTextToBuffer, CutsAtSizeMinusOneAndNeverWritesPastSize) {
  struct Case {
    size_t size;
    const char* text;
  } cases[] = {{1, ""}, {5, "End "}, {13, "End of file."}, {40, "End of file."}};
  for (const Case& c : cases) {
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(ErrorTextToBuffer(ERR_END_OF_FILE, buffer, c.size), buffer);
    EXPECT_STREQ(buffer, c.text) << "size " << c.size;
    for (size_t i = std::strlen(c.text); i < c.size; ++i) EXPECT_EQ(buffer[i], '\0') << "size " << c.size << " at " << i;
    EXPECT_EQ(buffer[c.size], 'x') << "wrote past size " << c.size;
  }
}

TEST(LastErrorCode, ZeroLastErrorBecomesNoErrorInfo) {
  SetLastError(0);
  EXPECT_EQ(LastErrorCode(), ERR_NO_ERROR_INFO);
  SetLastError(0);
  EXPECT_EQ(LastErrorText(), "A Windows API function failed but no error information was returned.");
  SetLastError(ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(LastErrorCode(), static_cast<int32_t>(ERROR_PATH_NOT_FOUND));
  SetLastError(ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(LastErrorText(), SystemText(ERROR_PATH_NOT_FOUND));
}

TEST(ShowErrorMessage, PrefixAndSuffixEachGetOneBlank) {
  EXPECT_EQ(ComposeErrorMessage(ERR_FILE_NOT_FOUND, "", nullptr), "File not found.");
  EXPECT_EQ(ComposeErrorMessage(ERR_FILE_NOT_FOUND, nullptr, ""), "File not found.");
  EXPECT_EQ(ComposeErrorMessage(ERR_FILE_NOT_FOUND, "Loading", nullptr), "Loading File not found.");
  EXPECT_EQ(ComposeErrorMessage(ERR_FILE_NOT_FOUND, nullptr, "a.pak"), "File not found. a.pak");

  testing_support::MessageBoxCatcher catcher(IDOK);
  EXPECT_EQ(ShowErrorMessage(nullptr, ERR_FILE_NOT_FOUND, "P", "S"), IDOK);
  cError error;
  error.SetError(ERR_CANCELLED);
  EXPECT_EQ(error.ShowError(nullptr, std::string(), std::string()), IDOK);
  ASSERT_EQ(catcher.Boxes.size(), 2u);
  EXPECT_EQ(catcher.Boxes[0].Caption, "Error");
  EXPECT_EQ(catcher.Boxes[0].Text, "P File not found. S");
  EXPECT_EQ(catcher.Boxes[1].Text, "Operation cancelled.");
}

TEST(cError, OwnAndSystemCodes) {
  cError error;
  EXPECT_EQ(error.GetError(), 0);
  EXPECT_TRUE(error.IsSystemError()) << "0 counts as a system code";
  EXPECT_FALSE(error.IsOwnError());

  EXPECT_EQ(error.SetError(ERR_BAD_FORMAT), ERR_BAD_FORMAT);
  EXPECT_TRUE(error.IsOwnError());
  EXPECT_FALSE(error.IsSystemError());
  char small[9];
  EXPECT_STREQ(error.GetErrorText(small, sizeof small), "The file");

  SetLastError(0);
  EXPECT_EQ(error.SetFromLastError(), ERR_NO_ERROR_INFO);
  SetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(error.SetFromLastError(), static_cast<int32_t>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(error.GetErrorText(), SystemText(ERROR_SHARING_VIOLATION));

  cError other;
  other.SetError(ERR_FILE_CORRUPT);
  EXPECT_EQ(error.Assign(other), ERR_FILE_CORRUPT);
  EXPECT_EQ(error.GetError(), ERR_FILE_CORRUPT);
}

TEST(ErrorConvention, RuntimeErrorCarriesTextBlankAndSubject) {
  try {
    ThrowCode(ERR_FILE_CORRUPT, "skits.pak");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The file is missing or corrupt. skits.pak");
  }
  try {
    ThrowCode(ERR_FILE_CORRUPT);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The file is missing or corrupt.") << "no trailing blank without a subject";
  }
}

TEST(AllocZeroed, ZeroFilledOrNullNeverThrows) {
  auto* block = static_cast<unsigned char*>(AllocZeroed(10000));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(block[i], 0) << "at " << i;
  FreeZeroed(block);

  void* huge = nullptr;
  EXPECT_NO_THROW(huge = AllocZeroed(SIZE_MAX / 2));
  EXPECT_EQ(huge, nullptr);
}
