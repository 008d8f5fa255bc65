// `paktool key new`, `sync build --files --sign`, `sync verify` and the
// catalogue's makerKey: what a content maker does to sign a list, checked
// with the product's own reader.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "base/files.h"
#include "store/list_trust.h"
#include "store/sync_file.h"
#include "tests/support/testing.h"
#include "tests/tools/paktool_testing.h"
#include "tools/paktool/key_tool.h"

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

const char kSync[] = R"({
  "header": {"version": 2, "address": "http://127.0.0.1/kinetrope.syn"},
  "records": [
    {"category": "skit", "id": 5, "revision": 1, "title": "Fireflies", "state": "available",
     "files": [{"name": "fireflies.skit", "url": "http://127.0.0.1/fireflies.skit"},
               {"name": "fireflies.bmp", "url": "http://127.0.0.1/fireflies.bmp"}]}
  ]
})";

class SigningCommands : public ::testing::Test {
 protected:
  SigningCommands() {
    WriteFileBytes(Dir.File("sync.json"), kSync);
    CreateDirectoryA(Dir.File("files").c_str(), nullptr);
    WriteFileBytes(Dir.File("files\\fireflies.skit"), "skit 1\r\nlength 5\r\n");
    WriteFileBytes(Dir.File("files\\fireflies.bmp"), std::string(3000, 'b'));
    const PaktoolRun made = RunTool({"key", "new", Key(), Pub()});
    EXPECT_EQ(made.Status, 0) << made.Err;
  }
  std::string Key() const { return Dir.File("maker.key"); }
  std::string Pub() const { return Dir.File("maker.pub"); }
  std::string Syn() const { return Dir.File("kinetrope.syn"); }
  PaktoolRun BuildSigned() {
    return RunTool({"sync", "build", Dir.File("sync.json"), Syn(), "--files", Dir.File("files"), "--sign", Key()});
  }

  TempDir Dir;
};

}  // namespace

TEST_F(SigningCommands, KeyNewWritesTwoHexLinesAndNeverReplacesAKey) {
  const std::string pub = ReadFileBytes(Pub());
  EXPECT_EQ(pub.size(), 128u + 2) << "one line of 128 hex digits";
  EXPECT_EQ(ReadFileBytes(Key()).size(), 192u + 2);
  EXPECT_EQ(ReadFileBytes(Key()).substr(0, 128), pub.substr(0, 128)) << "the private file starts with X and Y";
  const PaktoolRun again = RunTool({"key", "new", Key(), Dir.File("other.pub")});
  EXPECT_EQ(again.Status, 1);
  EXPECT_NE(again.Err.find("maker.key: exists already"), std::string::npos) << again.Err;
  EXPECT_EQ(ReadFileBytes(Dir.File("other.pub")), "") << "nothing written";
}

TEST_F(SigningCommands, ASignedListVerifiesAndTheProgramTakesItsSums) {
  const PaktoolRun built = BuildSigned();
  ASSERT_EQ(built.Status, 0) << built.Err;
  const PaktoolRun verified = RunTool({"sync", "verify", Syn(), Pub(), "--files", Dir.File("files")});
  EXPECT_EQ(verified.Status, 0) << verified.Out;
  EXPECT_NE(verified.Out.find("signed with the key, version 2"), std::string::npos) << verified.Out;
  EXPECT_NE(verified.Out.find("published at http://127.0.0.1/kinetrope.syn"), std::string::npos) << verified.Out;
  EXPECT_NE(verified.Out.find("SKIT 1 file 1 fireflies.bmp: matches"), std::string::npos) << verified.Out;
  const PaktoolRun shown = RunTool({"sync", "show", Syn()});
  EXPECT_NE(shown.Out.find("Signature         SIGN 1"), std::string::npos) << shown.Out;
  EXPECT_NE(shown.Out.find("Address           \"http://127.0.0.1/kinetrope.syn\" (ADDR 1)"), std::string::npos)
      << shown.Out;
  EXPECT_NE(shown.Out.find("  Sum 1             3000 bytes, SHA-256 "), std::string::npos) << shown.Out;

  uint8_t key[MAKER_PUBLIC_KEY_SIZE];
  ReadPublicKeyFile(Pub(), key);
  std::string reason;
  cSyncFile sync(Syn());
  ListSignature signature;
  EXPECT_TRUE(CheckListSignature(sync, key, signature, reason)) << reason;
  const std::vector<FileSum> sums = ReadFileSums(sync.Pak(), 1);
  ASSERT_EQ(sums.size(), 2u);
  EXPECT_EQ(sums[1].Size, 3000u);
}

TEST_F(SigningCommands, VerifyNamesAWrongKeyAChangedFileAndAMissingOne) {
  ASSERT_EQ(BuildSigned().Status, 0);
  ASSERT_EQ(RunTool({"key", "new", Dir.File("other.key"), Dir.File("other.pub")}).Status, 0);
  const PaktoolRun wrongKey = RunTool({"sync", "verify", Syn(), Dir.File("other.pub")});
  EXPECT_EQ(wrongKey.Status, 1);
  EXPECT_NE(wrongKey.Out.find("refused, its signature is not the maker's"), std::string::npos) << wrongKey.Out;

  WriteFileBytes(Dir.File("files\\fireflies.bmp"), std::string(2999, 'b'));
  const PaktoolRun changed = RunTool({"sync", "verify", Syn(), Pub(), "--files", Dir.File("files")});
  EXPECT_EQ(changed.Status, 1);
  EXPECT_NE(changed.Out.find("fireflies.bmp: differs from the list (2999 bytes, the list says 3000)"),
            std::string::npos)
      << changed.Out;

  DeleteFileA(Dir.File("files\\fireflies.skit").c_str());
  DeleteFileA(Syn().c_str());
  const PaktoolRun missing = BuildSigned();
  EXPECT_EQ(missing.Status, 1);
  EXPECT_NE(missing.Err.find("fireflies.skit"), std::string::npos) << missing.Err;
  EXPECT_FALSE(FileExists(Syn())) << "no half-made list is left";

  const PaktoolRun unsignedSums = RunTool({"sync", "build", Dir.File("sync.json"), Syn(), "--sign", Key()});
  EXPECT_EQ(unsignedSums.Status, 2) << "--sign needs --files";
}

// What every catalogue with a key would refuse is not signed at all: a list
// without a version above 0, or without the address it is published at.
TEST_F(SigningCommands, SigningRefusesAListWithoutAVersionOrAnAddress) {
  const struct {
    const char* Header;
    const char* Error;
  } cases[] = {
      {R"({"address": "http://127.0.0.1/kinetrope.syn"})",
       "sync.json: header.version: a signed list needs a version of 1 or more"},
      {R"({"version": 0, "address": "http://127.0.0.1/kinetrope.syn"})",
       "sync.json: header.version: a signed list needs a version of 1 or more"},
      {R"({"version": 3})", "sync.json: header.address: a signed list names the http:// or https:// address"},
      {R"({"version": 3, "address": "ftp://127.0.0.1/kinetrope.syn"})",
       "sync.json: header.address: a signed list names the http:// or https:// address"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Header);
    WriteFileBytes(Dir.File("sync.json"), std::string(R"({"header": )") + c.Header + "}");
    const PaktoolRun built = BuildSigned();
    EXPECT_EQ(built.Status, 1);
    EXPECT_NE(built.Err.find(c.Error), std::string::npos) << built.Err;
    EXPECT_FALSE(FileExists(Syn())) << "nothing written";
  }
  WriteFileBytes(Dir.File("sync.json"), R"({"header": {"version": 0}})");
  EXPECT_EQ(RunTool({"sync", "build", Dir.File("sync.json"), Syn()}).Status, 0) << "an unsigned list may have none";
}

// A maker whose key is stolen makes a new one and a key change with the
// old key; lists signed with the new key carry the change, and a catalogue
// (or sync verify) with the old key follows it.
TEST_F(SigningCommands, AKeyChangeHandsTheOldKeyOverToTheNewOne) {
  ASSERT_EQ(RunTool({"key", "new", Dir.File("new.key"), Dir.File("new.pub")}).Status, 0);
  const std::string change = Dir.File("change.kc");
  const PaktoolRun made = RunTool({"key", "change", Key(), Dir.File("new.pub"), "2", change});
  ASSERT_EQ(made.Status, 0) << made.Err;
  EXPECT_EQ(ReadFileBytes(change).size(), 272u + 2) << "one line of hex digits";
  const PaktoolRun again = RunTool({"key", "change", Key(), Dir.File("new.pub"), "2", change});
  EXPECT_EQ(again.Status, 1);
  EXPECT_NE(again.Err.find("change.kc: exists already"), std::string::npos) << again.Err;
  EXPECT_EQ(RunTool({"key", "change", Key(), Dir.File("new.pub"), "two", Dir.File("x.kc")}).Status, 2);

  const auto build = [&](const std::string& key) {
    DeleteFileA(Syn().c_str());
    return RunTool({"sync", "build", Dir.File("sync.json"), Syn(), "--files", Dir.File("files"), "--sign", key,
                    "--key-change", change});
  };
  const PaktoolRun wrongKey = build(Key());
  EXPECT_EQ(wrongKey.Status, 1);
  EXPECT_NE(wrongKey.Err.find("hands over to another key than the one the list is signed with"), std::string::npos)
      << wrongKey.Err;

  const PaktoolRun built = build(Dir.File("new.key"));
  ASSERT_EQ(built.Status, 0) << built.Err;
  const PaktoolRun verified = RunTool({"sync", "verify", Syn(), Pub()});
  EXPECT_EQ(verified.Status, 0) << verified.Out;
  EXPECT_NE(verified.Out.find("signed with the new key of a key change the key signed, version 2"), std::string::npos)
      << verified.Out;
  const PaktoolRun shown = RunTool({"sync", "show", Syn()});
  EXPECT_NE(shown.Out.find("KeyChange         KEYC 1: from version 2 to the key " +
                           ReadFileBytes(Dir.File("new.pub")).substr(0, 128)),
            std::string::npos)
      << shown.Out;

  WriteFileBytes(Dir.File("sync.json"), std::string(kSync).replace(std::string(kSync).find("\"version\": 2"), 12,
                                                                 "\"version\": 1"));
  const PaktoolRun early = build(Dir.File("new.key"));
  EXPECT_EQ(early.Status, 1);
  EXPECT_NE(early.Err.find("counts from list version 2, and the list is version 1"), std::string::npos) << early.Err;
}

TEST_F(SigningCommands, TheCatalogueTakesItsKeyFromTheDescriptionAndShowsIt) {
  const std::string pub = ReadFileBytes(Pub()).substr(0, 128);
  for (const std::string& form : {"\"" + pub + "\"", std::string("{\"file\": \"") + [&] {
                                    std::string path = Pub();
                                    for (char& c : path)
                                      if (c == '\\') c = '/';
                                    return path;
                                  }() + "\"}"}) {
    WriteFileBytes(Dir.File("catalogue.json"), "{\"makerKey\": " + form + ", \"records\": []}");
    const PaktoolRun built = RunTool({"catalog", "build", Dir.File("catalogue.json"), Dir.File("ops.pak")});
    ASSERT_EQ(built.Status, 0) << built.Err;
    const PaktoolRun shown = RunTool({"catalog", "show", Dir.File("ops.pak"), "--json"});
    EXPECT_NE(shown.Out.find("\"makerKey\": \"" + pub + "\""), std::string::npos) << shown.Out;
    cPakFile pak(Dir.File("ops.pak"), true, nullptr, GENERIC_READ);
    cListTrust trust;
    trust.Load(pak);
    EXPECT_TRUE(trust.HasKey());
  }
  WriteFileBytes(Dir.File("catalogue.json"), R"({"makerKey": "12AB"})");
  const PaktoolRun bad = RunTool({"catalog", "build", Dir.File("catalogue.json"), Dir.File("ops.pak")});
  EXPECT_EQ(bad.Status, 1);
  EXPECT_NE(bad.Err.find("makerKey: expected the maker's public key as 128 hex digits"), std::string::npos)
      << bad.Err;
}
