#include "saver/link_policy.h"

#include <gtest/gtest.h>

TEST(HotKeyLinks, OnlyHarmlessTargetsAreOpened) {
  const std::vector<std::string> content = {"C:\\Saver\\Skits", "C:\\Saver\\Download\\"};
  for (const char* allowed : {"http://example.com/page", "HTTPS://example.com/a?b=c", "mailto:someone@example.com",
                              "C:\\Program Files\\Viewer\\viewer.exe", "D:/tools/run.COM"}) {
    EXPECT_EQ(LinkRefusal(allowed, content), "") << allowed;
  }
  for (const char* refused :
       {"", "ftp://example.com/x", "file:///C:/x.exe", "javascript:alert(1)", "\\\\host\\share\\tool.exe",
        "//host/share/tool.exe", "viewer.exe", "..\\viewer.exe", "C:\\Tools\\script.bat", "C:\\Tools\\readme.txt",
        "C:\\Saver\\Skits\\payload.exe", "c:\\saver\\download\\sub\\payload.exe",
        "C:\\Other\\..\\Saver\\Skits\\payload.exe", "http://example.com/a b", "C:\\x\\a.exe\n"}) {
    std::string reason = LinkRefusal(refused, content);
    EXPECT_NE(reason, "") << refused;
    EXPECT_EQ(reason.rfind("Link refused: ", 0), 0u) << reason;
  }
  // A folder that merely starts like a content folder is not one.
  EXPECT_EQ(LinkRefusal("C:\\Saver\\Skits2\\tool.exe", content), "");
}
