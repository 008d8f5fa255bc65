// The argument file as the screensaver writes it, read back by the player.
#include "tools/skitplay/playerargs.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/support/testing.h"

TEST(PlayerArguments, DecodingUndoesTheScreensaversEncoding) {
  struct Case {
    std::string sent;
    std::string meant;
  };
  const Case cases[] = {
      {"%2520", "%20"},  // an encoded "%" is decoded once only
      {"a%20b%2Bc", "a b+c"},
      {"%3D%26%25", "=&%"},
      {"%2b%3d", "+="},  // either case of hexadecimal digit
      {"C:\\My%20Skits\\A%26B", "C:\\My Skits\\A&B"},
      {"100%", "100%"},  // a "%" without two hexadecimal digits stays
      {"%4", "%4"},
      {"%zz%4G", "%zz%4G"},
      {"%%41", "%A"},
      {"%41%42", "AB"},
      {"\xE9t\xE9", "\xE9t\xE9"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    EXPECT_EQ(skit::DecodeValue(c.sent), c.meant);
  }
}

TEST(PlayerArguments, PairsAreSplitAtAmpersandsAndTheFirstEquals) {
  skit::Arguments arguments = skit::ParseArguments(
      "SS_RunCount=0&SS_Sound=0&SS_Month=03&SS_Day=07&SS_PW=lantern57&SS_Swf=C:\\My%20Skits\\A%26B");
  EXPECT_EQ(arguments.size(), 6u);
  EXPECT_EQ(arguments["SS_RunCount"], "0");
  EXPECT_EQ(arguments["SS_Month"], "03");
  EXPECT_EQ(arguments["SS_Day"], "07");
  EXPECT_EQ(arguments["SS_PW"], "lantern57");
  EXPECT_EQ(arguments["SS_Swf"], "C:\\My Skits\\A&B");

  skit::Arguments odd = skit::ParseArguments("novalue&=nameless&a=b=c&&a2=&x=1&x=2\r\n");
  EXPECT_EQ(odd.size(), 3u);
  EXPECT_EQ(odd["a"], "b=c");
  EXPECT_EQ(odd["a2"], "");
  EXPECT_EQ(odd["x"], "2");  // the later pair wins; the line break at the end is gone

  EXPECT_TRUE(skit::ParseArguments("").empty());
  EXPECT_TRUE(skit::ParseArguments("&&&").empty());
}

TEST(PlayerArguments, TheFileIsNamedLikeTheProgram) {
  EXPECT_EQ(skit::ArgumentFileFor("C:\\X\\skitplay.exe"), "C:\\X\\skitplay.arg");
  EXPECT_EQ(skit::ArgumentFileFor("C:\\Tools\\play.exe"), "C:\\Tools\\play.arg");
  EXPECT_EQ(skit::ArgumentFileFor("C:\\Tools.old\\play"), "C:\\Tools.arg");  // as the screensaver names it
  EXPECT_EQ(skit::ArgumentFileFor(".profile"), ".profile.arg");
  EXPECT_EQ(skit::ArgumentFileFor("play"), "play.arg");
}

TEST(PlayerArguments, ReadingTheFile) {
  testing_support::TempDir dir;
  std::string path = dir.File("skitplay.arg");
  testing_support::WriteFileBytes(path, "SS_RunCount=2&SS_Swf=a%20b.skit");
  skit::Arguments arguments = skit::ReadArgumentFile(path);
  EXPECT_EQ(arguments["SS_RunCount"], "2");
  EXPECT_EQ(arguments["SS_Swf"], "a b.skit");

  testing_support::WriteFileBytes(path, "");
  EXPECT_TRUE(skit::ReadArgumentFile(path).empty());

  testing_support::WriteFileBytes(path, "SS_Swf=" + std::string(skit::kMaxArgumentFileBytes, 'x'));
  EXPECT_THROW(skit::ReadArgumentFile(path), std::runtime_error);

  std::string missing = dir.File("absent.arg");
  try {
    skit::ReadArgumentFile(missing);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(missing), std::string::npos) << error.what();
  }
}

TEST(PlayerArguments, CornerTextShowsWhatThePlayerWasGiven) {
  skit::Arguments arguments = {{"SS_RunCount", "3"}, {"SS_Sound", "0"}, {"SS_Month", "03"}, {"SS_Day", "07"}};
  EXPECT_EQ(skit::CornerText(arguments), "Run 3 | 7 Mar | Sound on");
  arguments["SS_Sound"] = "1";
  arguments["SS_Month"] = "12";
  arguments["SS_Day"] = "31";
  EXPECT_EQ(skit::CornerText(arguments), "Run 3 | 31 Dec | Sound off");

  EXPECT_EQ(skit::CornerText({}), "Run ? | ? | Sound ?");
  struct Case {
    const char* name;
    const char* value;
  };
  for (const Case& c : {Case{"SS_Month", "13"}, Case{"SS_Month", "00"}, Case{"SS_Day", "32"}, Case{"SS_Day", "7x"},
                        Case{"SS_Day", "-1"}, Case{"SS_Month", "003"}}) {
    skit::Arguments bad = {{"SS_RunCount", "1"}, {"SS_Sound", "0"}, {"SS_Month", "01"}, {"SS_Day", "01"}};
    bad[c.name] = c.value;
    EXPECT_EQ(skit::CornerText(bad), "Run 1 | ? | Sound on") << c.name << "=" << c.value;
  }
  EXPECT_EQ(skit::CornerText({{"SS_RunCount", "abc"}}), "Run ? | ? | Sound ?");
  EXPECT_EQ(skit::CornerText({{"SS_RunCount", std::string(40, '9')}}), "Run ? | ? | Sound ?");
  EXPECT_EQ(skit::CornerText({{"SS_Sound", "2"}}), "Run ? | ? | Sound ?");
}
