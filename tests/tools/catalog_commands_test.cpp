// `paktool catalog build` and `catalog show`: what is built is what the
// description says, read back both through paktool and through the
// program's own catalogue code; every unusable description field is named.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/files.h"
#include "base/settings.h"
#include "store/archive_texts.h"
#include "store/catalogue.h"
#include "tests/support/testing.h"
#include "tests/tools/paktool_testing.h"
#include "tools/paktool/description.h"

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// Every field, in the form `catalog show --json` prints, with values at the
// edges of their ranges, unnamed enumeration values and reserved bytes.
const char kFullDescription[] = R"({
  "transform": "061D5A2603530000",
  "header": {
    "syncIntervalDays": 4294967295,
    "lastSync": {"raw": 133537680000000000, "local": "2024-03-01 12:00:00"},
    "syncExtra1": 1, "syncExtra2": 2, "catalogVersion": 9,
    "syncUrl": "http://content.example/kinetrope.syn",
    "syncFileName": "kinetrope.syn",
    "reserved1": "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000007F",
    "specialsOn": true,
    "lastSpecialId": -2147483648,
    "specialsPlayed": 3, "specialsPerRun": 2, "specialsLeft": 1, "specialInterval": 5, "specialCountdown": 4,
    "lastSkitId": 2147483647,
    "count": 3
  },
  "records": [
    {"category": "skit", "id": 1, "flags": 4294967295, "revision": 7, "title": "Lanterns", "info": "",
     "selection": "on", "state": "installed", "filesDone": 2, "playCount": 12, "playsLeft": -1,
     "showFrom": {"raw": 0, "local": "1601-01-01 00:00:00"},
     "showUntil": {"raw": 18446744073709551615, "local": "never"},
     "hotKey": {"keyCode": 113, "action": "link", "link": "http://example/lanterns"},
     "files": [{"name": "lanterns.skit", "url": "http://content.example/lanterns.skit", "extra": 0},
               {"name": "lanterns.bmp", "url": null, "extra": 4294967295}],
     "updateMask": 5},
    {"category": "special", "id": -7, "flags": 0, "revision": 0, "title": null, "info": "Midsummer",
     "selection": "auto", "state": "scheduled", "filesDone": 9, "playCount": 0, "playsLeft": 3,
     "showFrom": {"raw": 133633152000000000, "local": "2024-06-20 00:00:00"},
     "showUntil": {"raw": 133637471990000001, "local": "2024-06-24 23:59:59"},
     "hotKey": {"keyCode": -1, "action": "movie", "link": null},
     "files": [{"name": "a", "url": "u", "extra": 1}, {"name": "b", "url": "v", "extra": 2},
               {"name": "c", "url": "w", "extra": 3}, {"name": null, "url": null, "extra": 4}],
     "updateMask": 0,
     "reserved": "0100000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000FF"},
    {"category": 200, "id": 0, "flags": 0, "revision": 0, "title": "odd", "info": null,
     "selection": 7, "state": 9, "filesDone": 0, "playCount": -5, "playsLeft": 0,
     "showFrom": {"raw": 18446744073709551614, "local": null},
     "showUntil": {"raw": 0, "local": "1601-01-01 00:00:00"},
     "hotKey": {"keyCode": 0, "action": 200, "link": null},
     "files": [], "updateMask": 4294967295}
  ]
})";

// The form the README shows: names, local date-times and defaults.
const char kHandWritten[] = R"({
  // comments are allowed
  "transform": "061D5A2603530000",
  "header": {"syncIntervalDays": 7, "lastSync": "2024-03-01 12:00:00",
             "syncUrl": "http://content.example/kinetrope.syn", "syncFileName": "kinetrope.syn",
             "specialsOn": true, "specialsPerRun": 2, "specialInterval": 5},
  "records": [
    {"category": "skit", "id": 1, "title": "Lanterns", "info": "Paper lanterns at dusk",
     "state": "installed", "selection": "on",
     "hotKey": {"keyCode": "F2", "action": "link", "link": "http://content.example/about/lanterns"},
     "files": [{"name": "lanterns.skit", "url": "http://content.example/skits/lanterns.skit"},
               {"name": "lanterns.txt"},
               {"name": "lanterns.bmp", "url": "http://content.example/skits/lanterns.bmp"}]},
    {"category": "special", "id": 1, "title": "Midsummer", "state": "available", "playsLeft": 3,
     "showFrom": "2024-06-20 00:00:00", "showUntil": "2024-06-24 23:59:59",
     "files": [{"name": "midsummer.skit", "url": "http://content.example/skits/midsummer.skit"}]}
  ]
})";

constexpr uint64_t kDay = 864000000000ull;
// 2024-01-01 00:00 as a local FILETIME.
constexpr uint64_t k2024 = 133485408000000000ull;

std::unique_ptr<CatalogBlock> ReadBlock(cPakFile& pak) {
  uint32_t length = 0;
  uint8_t* bytes = nullptr;
  pak.ReadEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, &length, &bytes);
  auto block = std::make_unique<CatalogBlock>();
  EXPECT_EQ(length, CATALOG_BLOCK_SIZE);
  if (length == CATALOG_BLOCK_SIZE) DecodeCatalogBlock(bytes, *block);
  pak.ReleaseEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, bytes);
  return block;
}

std::string Text(cPakFile& pak, const StringRef& ref) {
  if (ref.Id < 0) return "(none)";
  StringRef copy;
  copy.Id = ref.Id;
  pak.ReadString(copy);
  std::string text = copy.Text;
  pak.ReleaseEntry(PAK_TYPE_STRING, copy.Id, copy.Text);
  return text;
}

// Compared as unordered JSON: field order is not part of the value.
nlohmann::json Value(const std::string& text) { return nlohmann::json::parse(text, nullptr, true, true); }

class PaktoolCatalog : public ::testing::Test {
 protected:
  std::string Description(const std::string& text) const {
    WriteFileBytes(Dir.File("description.json"), text);
    return Dir.File("description.json");
  }
  std::string Catalog() const { return Dir.File("ops.pak"); }
  PaktoolRun Build(const std::string& text) { return RunTool({"catalog", "build", Description(text), Catalog()}); }

  TempDir Dir;
};

TEST_F(PaktoolCatalog, BuiltCatalogueShowsTheDescribedValues) {
  ASSERT_EQ(Build(kFullDescription).Status, PAKTOOL_OK);
  const PaktoolRun shown = RunTool({"catalog", "show", Catalog(), "--json"});
  ASSERT_EQ(shown.Status, PAKTOOL_OK) << shown.Err;
  EXPECT_EQ(Value(shown.Out), Value(kFullDescription));

  // The same values through the program's own reading of the block.
  {
    cPakFile pak(Catalog(), true, nullptr, GENERIC_READ);
    const uint8_t spec[8] = {0x06, 0x1D, 0x5A, 0x26, 0x03, 0x53, 0x00, 0x00};
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pak.TransformSpec()), 8),
              std::string(reinterpret_cast<const char*>(spec), 8));
    for (uint32_t i = 0; i < pak.Count(); ++i) EXPECT_EQ(pak.Slot(i).Transformed, 1) << i;
    const auto block = ReadBlock(pak);
    const CatalogHeader& header = block->Header;
    EXPECT_EQ(header.Count, 3u);
    EXPECT_EQ(header.SyncIntervalDays, UINT32_MAX);
    EXPECT_EQ(header.LastSync, k2024 + 60 * kDay + kDay / 2);
    EXPECT_EQ(header.LastSpecialId, INT32_MIN);
    EXPECT_EQ(header.SpecialCountdown, 4);
    EXPECT_EQ(header.Reserved1[63], 0x7F);
    EXPECT_EQ(Text(pak, header.SyncFileName), "kinetrope.syn");
    const SkitRecord& lanterns = block->Records[0];
    EXPECT_EQ(lanterns.Category, CAT_SKIT);
    EXPECT_EQ(lanterns.Flags, UINT32_MAX);
    EXPECT_EQ(lanterns.State, SKIT_INSTALLED);
    EXPECT_EQ(lanterns.Selection, SEL_ON);
    EXPECT_EQ(lanterns.ShowUntil, UINT64_MAX);
    EXPECT_EQ(lanterns.HotKey.KeyCode, VK_F2);
    EXPECT_EQ(lanterns.HotKey.Action, 2);
    EXPECT_EQ(Text(pak, lanterns.HotKey.Link), "http://example/lanterns");
    EXPECT_EQ(lanterns.FileCount, 2u);
    EXPECT_EQ(Text(pak, lanterns.Files[1].Name), "lanterns.bmp");
    EXPECT_LT(lanterns.Files[1].Url.Id, 0);
    EXPECT_EQ(lanterns.Files[1].Extra, UINT32_MAX);
    EXPECT_EQ(Text(pak, lanterns.Info), "");
    const SkitRecord& special = block->Records[1];
    EXPECT_EQ(special.SkitId, -7);
    EXPECT_LT(special.Title.Id, 0);
    EXPECT_EQ(special.HotKey.Link.Id, 0);
    EXPECT_EQ(special.ShowUntil, k2024 + 175 * kDay + kDay - 10000000 + 1);
    EXPECT_EQ(special.FileCount, 4u);
    EXPECT_EQ(special.Reserved[0], 1);
    EXPECT_EQ(special.Reserved[59], 0xFF);
    EXPECT_EQ(block->Records[2].Category, 200);
    EXPECT_EQ(block->Records[2].HotKey.Action, 200);
    EXPECT_EQ(block->Records[2].UpdateMask, UINT32_MAX);
  }

  // What show prints builds the same file again, byte for byte.
  const std::string first = ReadFileBytes(Catalog());
  ASSERT_EQ(Build(shown.Out).Status, PAKTOOL_OK);
  EXPECT_EQ(ReadFileBytes(Catalog()), first);
}

TEST_F(PaktoolCatalog, HandWrittenDescriptionTakesDefaultsAndOpensInTheProgram) {
  const PaktoolRun built = Build(kHandWritten);
  ASSERT_EQ(built.Status, PAKTOOL_OK) << built.Err;
  EXPECT_EQ(built.Out, "");

  const PaktoolRun shown = RunTool({"catalog", "show", Catalog(), "--json"});
  ASSERT_EQ(shown.Status, PAKTOOL_OK) << shown.Err;
  nlohmann::json catalog = Value(shown.Out);
  nlohmann::json& lanterns = catalog["records"][0];
  EXPECT_EQ(catalog["header"]["count"], 2);
  EXPECT_EQ(catalog["header"]["lastSync"]["raw"], k2024 + 60 * kDay + kDay / 2);
  EXPECT_EQ(catalog["header"]["specialsLeft"], 0);
  EXPECT_EQ(lanterns["filesDone"], 3);
  EXPECT_EQ(lanterns["playsLeft"], -1);
  EXPECT_EQ(lanterns["showFrom"]["raw"], 0);
  EXPECT_EQ(lanterns["showUntil"]["local"], "never");
  EXPECT_EQ(lanterns["hotKey"]["keyCode"], VK_F2);
  EXPECT_EQ(lanterns["files"][1], Value(R"({"name": "lanterns.txt", "url": null, "extra": 0})"));
  nlohmann::json& special = catalog["records"][1];
  EXPECT_EQ(special["filesDone"], 0);
  EXPECT_EQ(special["selection"], "none");
  EXPECT_EQ(special["showFrom"]["raw"], k2024 + 171 * kDay);
  EXPECT_EQ(special["hotKey"], Value(R"({"keyCode": 0, "action": "none", "link": null})"));

  // The text report gives each date both ways.
  const PaktoolRun text = RunTool({"catalog", "show", Catalog()});
  ASSERT_EQ(text.Status, PAKTOOL_OK);
  EXPECT_NE(text.Out.find("\nLastSync          2024-03-01 12:00:00 (133537680000000000)\n"), std::string::npos);
  EXPECT_NE(text.Out.find("\n  HotKey            key 113 F2, action 2 link, link "
                          "\"http://content.example/about/lanterns\" (PSTR 5)\n"),
            std::string::npos);
  EXPECT_NE(text.Out.find("\nRecord 1\n  Category          2 special\n"), std::string::npos);

  // The program opens it and finds its records and texts.
  cSettings settings;
  settings.OpsFilePath = Catalog();
  settings.SkitsPath = Dir.Path();
  settings.LogPath = Dir.File("download.log");
  cSkitManager manager(false);
  const int32_t index = manager.FindSkit(CAT_SKIT, 1);
  ASSERT_GE(index, 0);
  EXPECT_STREQ(manager.Catalog.Records[index].Files[2].Name.Text, "lanterns.bmp");
  EXPECT_STREQ(manager.Catalog.Records[index].HotKey.Link.Text, "http://content.example/about/lanterns");
}

TEST_F(PaktoolCatalog, UnusableFieldsAreRefusedWithTheirPath) {
  struct Case {
    std::string Path;
    std::function<void(nlohmann::json&)> Change;
  };
  using J = nlohmann::json;
  const std::vector<Case> cases = {
      {"transform", [](J& d) { d["transform"] = "0D0D"; }},
      {"header.syncIntervalDays", [](J& d) { d["header"]["syncIntervalDays"] = -1; }},
      {"header.specialsPerRun", [](J& d) { d["header"]["specialsPerRun"] = 2147483648ll; }},
      {"header.lastSync", [](J& d) { d["header"]["lastSync"] = "2023-02-29 00:00:00"; }},
      {"header.lastSync", [](J& d) { d["header"]["lastSync"] = "2024-03-01T12:00:00"; }},
      {"header.specialsOn", [](J& d) { d["header"]["specialsOn"] = 256; }},
      {"header.count", [](J& d) { d["header"]["count"] = 3; }},
      {"header.reserved1", [](J& d) { d["header"]["reserved1"] = "00"; }},
      {"header.syncUrl", [](J& d) { d["header"]["syncUrl"] = 5; }},
      {"records",
       [](J& d) {
         d["records"] = J::array();
         for (int i = 0; i < 100; ++i)
           d["records"].push_back({{"category", "skit"}, {"id", i}, {"state", "available"}});
       }},
      {"records[0].category", [](J& d) { d["records"][0]["category"] = "sketch"; }},
      {"records[0].category", [](J& d) { d["records"][0]["category"] = 256; }},
      {"records[0].id", [](J& d) { d["records"][0].erase("id"); }},
      {"records[0].id", [](J& d) { d["records"][0]["id"] = 4294967295ull; }},
      {"records[0].tilte", [](J& d) { d["records"][0]["tilte"] = "Lanterns"; }},
      {"records[0].title", [](J& d) { d["records"][0]["title"] = std::string("a\0b", 3); }},
      {"records[1].state", [](J& d) { d["records"][1]["state"] = "installd"; }},
      {"records[1].state", [](J& d) { d["records"][1].erase("state"); }},
      {"records[1].selection", [](J& d) { d["records"][1]["selection"] = -1; }},
      {"records[1].playsLeft", [](J& d) { d["records"][1]["playsLeft"] = 1.5; }},
      {"records[1].showUntil",
       [](J& d) {
         d["records"][1]["showUntil"] = J{{"raw", 0}, {"local", "2024-06-24 23:59:59"}};
       }},
      {"records[1].showFrom", [](J& d) { d["records"][1]["showFrom"] = -1; }},
      {"records[0].hotKey.keyCode", [](J& d) { d["records"][0]["hotKey"]["keyCode"] = "F25"; }},
      {"records[0].hotKey.action", [](J& d) { d["records"][0]["hotKey"]["action"] = "open"; }},
      {"records[0].hotKey.links", [](J& d) { d["records"][0]["hotKey"]["links"] = "x"; }},
      {"records[0].files",
       [](J& d) {
         d["records"][0]["files"] = J::array({J::object(), J::object(), J::object(), J::object(), J::object()});
       }},
      {"records[0].files[1].name", [](J& d) { d["records"][0]["files"][1]["name"] = 42; }},
      {"records[0].files[2].extra", [](J& d) { d["records"][0]["files"][2]["extra"] = -1; }},
      {"records[1].files[0]", [](J& d) { d["records"][1]["files"][0] = "midsummer.skit"; }},
      {"headers", [](J& d) { d["headers"] = J::object(); }},
  };
  for (const Case& c : cases) {
    nlohmann::json description = Value(kHandWritten);
    c.Change(description);
    const PaktoolRun run = Build(description.dump());
    EXPECT_EQ(run.Status, PAKTOOL_FAILED) << c.Path;
    EXPECT_EQ(run.Err.rfind("paktool: " + Dir.File("description.json") + ": " + c.Path + ": ", 0), 0u) << run.Err;
    EXPECT_FALSE(FileExists(Catalog())) << c.Path;
  }

  const PaktoolRun syntax = Build("{\n  \"records\": [\n    {\"id\": 1,}\n  ]\n}");
  EXPECT_EQ(syntax.Status, PAKTOOL_FAILED);
  EXPECT_NE(syntax.Err.find("line 3"), std::string::npos) << syntax.Err;
}

// Texts are stored as the description gives them, in UTF-8, whatever the
// code page of the maker's machine, and the catalogue says so. A text that
// is not valid UTF-8 (one written before, not written again yet) is shown
// as Windows-1252, as the screensaver reads it.
TEST_F(PaktoolCatalog, TextsTravelInUtf8AndTheCatalogueSaysSo) {
  nlohmann::json description = Value(kHandWritten);
  description["records"][0]["title"] = "日本の夏";
  description["records"][0]["info"] = "Żółw, Привет, Café au lait";
  ASSERT_EQ(Build(description.dump()).Status, PAKTOOL_OK);
  int32_t infoId = -1;
  {
    cPakFile pak(Catalog(), true, nullptr, GENERIC_READ);
    EXPECT_TRUE(HasUtf8Texts(pak));
    const auto block = ReadBlock(pak);
    EXPECT_EQ(Text(pak, block->Records[0].Title), "日本の夏");
    infoId = block->Records[0].Info.Id;
  }
  EXPECT_EQ(Value(RunTool({"catalog", "show", Catalog(), "--json"}).Out)["records"][0]["title"], "日本の夏");
  {
    cPakFile pak(Catalog(), true, nullptr, GENERIC_READ | GENERIC_WRITE);
    pak.WriteEntry(PAK_TYPE_STRING, infoId, 0, true, 0, "Caf\xE9 \x80");
  }
  EXPECT_EQ(Value(RunTool({"catalog", "show", Catalog(), "--json"}).Out)["records"][0]["info"], "Café €");
}

// A catalogue the program would refuse is refused by show too, saying why.
TEST_F(PaktoolCatalog, ShowRefusesDamagedCataloguesNamingTheFault) {
  struct Case {
    std::string Fault;
    std::function<void(CatalogBlock&)> Change;
    uint32_t BlockSize;
  };
  const std::vector<Case> cases = {
      {"the block is 22272 bytes, not 22273", [](CatalogBlock&) {}, CATALOG_BLOCK_SIZE - 1},
      {"Count 100 is above 99", [](CatalogBlock& b) { b.Header.Count = 100; }, CATALOG_BLOCK_SIZE},
      {"records[1].FileCount 5 is above 4", [](CatalogBlock& b) { b.Records[1].FileCount = 5; }, CATALOG_BLOCK_SIZE},
      {"records[0].files[1].name: no \"PSTR\" entry 99", [](CatalogBlock& b) { b.Records[0].Files[1].Name.Id = 99; },
       CATALOG_BLOCK_SIZE},
      {"header.syncUrl: no \"PSTR\" entry 0", [](CatalogBlock& b) { b.Header.SyncUrl.Id = 0; }, CATALOG_BLOCK_SIZE},
  };
  ASSERT_EQ(Build(kHandWritten).Status, PAKTOOL_OK);
  std::unique_ptr<CatalogBlock> good;
  {
    cPakFile pak(Catalog(), true, nullptr, GENERIC_READ);
    good = ReadBlock(pak);
  }
  for (const Case& c : cases) {
    auto block = std::make_unique<CatalogBlock>(*good);
    c.Change(*block);
    std::vector<uint8_t> bytes(CATALOG_BLOCK_SIZE);
    EncodeCatalogBlock(*block, bytes.data());
    {
      cPakFile pak(Catalog(), true, nullptr, GENERIC_READ | GENERIC_WRITE);
      pak.WriteEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, 0, true, c.BlockSize, bytes.data());
    }
    for (const char* form : {"--json", ""}) {
      std::vector<std::string> args = {"catalog", "show", Catalog()};
      if (*form != '\0') args.push_back(form);
      const PaktoolRun run = RunTool(args);
      EXPECT_EQ(run.Status, PAKTOOL_FAILED) << c.Fault;
      EXPECT_EQ(run.Out, "") << c.Fault;
      EXPECT_EQ(run.Err, "paktool: " + ErrorText(ERR_FILE_CORRUPT) + " " + Catalog() + " (" + c.Fault + ")\n");
    }
  }
}

}  // namespace
