// A catalogue that carries the maker's key: which lists it takes, which it
// refuses whole, and which downloaded files it installs. Without a key
// nothing of this applies.
#include <algorithm>
#include <functional>

#include "base/crypto.h"
#include "base/files.h"
#include "download/comm.h"
#include "store/list_trust.h"
#include "tests/download/download_testing.h"
#include "tests/support/http_server.h"
#include "tests/sync/sync_testing.h"

using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {

using Names = std::vector<std::string>;

FileSum SumOf(const std::string& bytes) {
  FileSum sum;
  sum.Size = bytes.size();
  cSha256 hash;
  hash.Add(bytes.data(), bytes.size());
  hash.Finish(sum.Sha256);
  return sum;
}

class SignedListTest : public SyncTest {
 protected:
  SignedListTest() {
    NewMakerKey(Private, Public);
    Builder.MakerKey.assign(Public, Public + sizeof Public);
  }

  // Sums of "bytes of NAME" for every file of every record, as the maker's
  // files hold them.
  static void AddSums(SyncBuilder& sync) {
    for (size_t i = 0; i < sync.Records.size(); ++i) {
      std::vector<FileSum>& sums = sync.Sums[static_cast<int32_t>(i + 1)];
      for (uint32_t f = 0; f < sync.Records[i].FileCount; ++f) {
        sums.push_back(SumOf("bytes of " + sync.Texts.at(sync.Records[i].Files[f].Name.Id)));
      }
    }
  }
  void WriteSigned(SyncBuilder& sync, const std::string& path, const uint8_t (&key)[MAKER_PRIVATE_KEY_SIZE]) {
    AddSums(sync);
    sync.Write(path);
    SignListFile(path, key);
  }
  bool MergeSigned(SyncBuilder sync) {
    WriteSigned(sync, SyncPath(), Private);
    return Manager->ApplySyncFile(SyncPath());
  }
  // The list goes through the whole merge step; the catalogue file must be
  // the same bytes afterwards, whatever a refusal did in memory.
  void ExpectRefused(const std::string& reason) {
    const std::string before = ReadFileBytes(Settings.OpsFilePath);
    Manager->ApplySyncFileAndSave(SyncPath(), false);
    EXPECT_TRUE(Manager->ListRefused) << reason;
    EXPECT_EQ(Manager->Catalog.Header.Count, 1u) << reason << ": nothing merged";
    EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_AVAILABLE) << reason << ": nothing scheduled";
    EXPECT_FALSE(Manager->Changed);
    EXPECT_EQ(ReadFileBytes(Settings.OpsFilePath), before) << reason << ": catalogue untouched";
    EXPECT_FALSE(FileExists(SyncPath())) << reason << ": a refused list is not tried again";
    EXPECT_TRUE(Logged("Synchronisation file refused: " + reason)) << LogTexts().back();
  }

  uint8_t Private[MAKER_PRIVATE_KEY_SIZE];
  uint8_t Public[MAKER_PUBLIC_KEY_SIZE];
};

}  // namespace

TEST_F(SignedListTest, ASignedListMergesAndTheCatalogueKeepsItsVersionAndSums) {
  OpenManager();
  ASSERT_TRUE(Manager->Trust.HasKey());
  SyncBuilder sync;
  sync.Header.Version = 3;
  sync.Add(CAT_SKIT, 5, 1, "Kites", {"kites.skit", "kites.bmp"});
  ASSERT_TRUE(MergeSigned(sync));
  EXPECT_FALSE(Manager->ListRefused);
  ASSERT_NE(Find(CAT_SKIT, 5), nullptr);
  EXPECT_EQ(Manager->Trust.SignedVersion(), 3u);
  ASSERT_EQ(Manager->Trust.Sums().count("http://127.0.0.1/skits/kites.bmp"), 1u);
  EXPECT_TRUE(Manager->Trust.Sums().at("http://127.0.0.1/skits/kites.bmp") == SumOf("bytes of kites.bmp"));

  // Closed and opened again as it is on disk (OpenManager would write the
  // built catalogue afresh).
  Manager.reset();
  Manager = std::make_unique<cSkitManager>(false);
  EXPECT_EQ(Manager->Trust.SignedVersion(), 3u) << "kept in the catalogue file";
  EXPECT_EQ(Manager->Trust.Sums().size(), 2u);
  EXPECT_EQ(Manager->Catalog.Header.CatalogVersion, 0u) << "CatalogVersion itself is never written";
}

TEST_F(SignedListTest, AListTheKeyDoesNotVouchForIsRefusedWhole) {
  Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Waiting", {"waiting.mov"});
  Builder.Block->Header.CatalogVersion = 4;
  Settings.SyncMethod = 0;
  OpenManager();
  uint8_t otherPrivate[MAKER_PRIVATE_KEY_SIZE], otherPublic[MAKER_PUBLIC_KEY_SIZE];
  NewMakerKey(otherPrivate, otherPublic);
  const auto list = [] {
    SyncBuilder sync;
    sync.Header.Version = 4;
    sync.Add(CAT_SKIT, 2, 1, "Intruder", {"intruder.mov"});
    return sync;
  };

  SyncBuilder plain = list();
  plain.Write(SyncPath());
  ExpectRefused("it is not signed");

  SyncBuilder other = list();
  WriteSigned(other, SyncPath(), otherPrivate);
  ExpectRefused("its signature is not the maker's");

  // One byte anywhere: in a text, in the directory, in the trailer's
  // reserved bytes that no reader looks at.
  for (const size_t from : {size_t{1}, size_t{0}}) {
    SyncBuilder flipped = list();
    WriteSigned(flipped, SyncPath(), Private);
    std::string bytes = ReadFileBytes(SyncPath());
    const size_t at = from == 1 ? 2 : bytes.size() - 140;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
    WriteFileBytes(SyncPath(), bytes);
    ExpectRefused("its signature is not the maker's");
  }

  // The signature entry taken out again: the archive as the maker wrote it
  // before signing, but with no signature.
  SyncBuilder stripped = list();
  WriteSigned(stripped, SyncPath(), Private);
  {
    cPakFile pak(SyncPath(), true, nullptr, GENERIC_READ | GENERIC_WRITE);
    const uint8_t longer[LIST_SIGNATURE_SIZE + 1] = {};
    pak.WriteEntry(LIST_SIGNATURE_TYPE, LIST_SIGNATURE_ID, 0, false, sizeof longer, longer);
  }
  ExpectRefused("its signature entry is damaged");

  SyncBuilder older = list();
  older.Header.Version = 3;
  WriteSigned(older, SyncPath(), Private);
  ExpectRefused("its version 3 is older than the catalogue's 4");

  SyncBuilder good = list();
  WriteSigned(good, SyncPath(), Private);
  Manager->ApplySyncFileAndSave(SyncPath(), false);
  EXPECT_FALSE(Manager->ListRefused);
  EXPECT_NE(Find(CAT_SKIT, 2), nullptr) << "the same list, signed with the key, merges";
}

TEST_F(SignedListTest, AnOlderSignedListIsRefusedOnceANewerOneWasTaken) {
  OpenManager();
  SyncBuilder newer;
  newer.Header.Version = 7;
  newer.Add(CAT_SKIT, 1, 2, "Current", {"current.mov"});
  ASSERT_TRUE(MergeSigned(newer));

  SyncBuilder replayed;
  replayed.Header.Version = 6;
  replayed.Add(CAT_SKIT, 9, 1, "Withdrawn", {"withdrawn.mov"});
  EXPECT_FALSE(MergeSigned(replayed));
  EXPECT_TRUE(Manager->ListRefused);
  EXPECT_EQ(Find(CAT_SKIT, 9), nullptr);
  EXPECT_TRUE(Logged("Synchronisation file refused: its version 6 is older than the catalogue's 7"));

  newer.Records[0].Revision = 3;
  EXPECT_TRUE(MergeSigned(newer)) << "the same version again is no replay of an older one";
}

// A damaged key entry takes no list at all, rather than every list.
TEST_F(SignedListTest, ACatalogueWithADamagedKeyTakesNoList) {
  Builder.MakerKey.resize(10);
  OpenManager();
  SyncBuilder sync;
  sync.Add(CAT_SKIT, 1, 1, "One", {"one.mov"});
  EXPECT_FALSE(MergeSigned(sync));
  EXPECT_TRUE(Logged("Synchronisation file refused: the catalogue's maker key is damaged"));
}

TEST_F(SyncTest, WithoutAKeyListsAreNotCheckedAndTheirSumsAreIgnored) {
  OpenManager();
  EXPECT_FALSE(Manager->Trust.HasKey());
  SyncBuilder sync;
  sync.Add(CAT_SKIT, 1, 1, "One", {"one.mov"});
  sync.Sums[1] = {SumOf("something else")};
  EXPECT_TRUE(Merge(sync));
  EXPECT_FALSE(Manager->ListRefused);
  EXPECT_TRUE(Manager->Trust.Sums().empty());
  std::string reason;
  EXPECT_TRUE(Manager->Trust.CheckFile("http://127.0.0.1/skits/one.mov", SkitFile("missing"), reason));
}

// Whole jobs against the loopback server -------------------------------------

namespace {

class SignedJobTest : public SignedListTest {
 protected:
  SignedJobTest() { Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/kinetrope.syn"); }

  void RunJob() {
    while (Manager->Phase != JOB_IDLE) {
      MSG msg;
      ASSERT_TRUE(Receiver.Wait(WM_DOWNLOAD_DONE, msg)) << "no end of transfer";
      Manager->OnDownloadDone(static_cast<int32_t>(msg.lParam));
    }
  }

  testing_support::TempDir Served;
  testing_support::LoopbackServer Server{Served.Path()};
  download_testing::Receiver Receiver;
};

}  // namespace

TEST_F(SignedJobTest, AFileThatIsNotTheOneTheListNamesIsDeletedAndItsSkitFails) {
  Settings.SyncMethod = 0;
  SyncBuilder sync;
  sync.UrlBase = Server.Url("/");
  sync.Add(CAT_SKIT, 1, 1, "Changed", {"changed.mov"});
  sync.Add(CAT_SKIT, 2, 1, "Longer", {"longer.mov"});
  sync.Add(CAT_SKIT, 3, 1, "Good", {"good.mov", "good.bmp"});
  sync.Add(CAT_SKIT, 4, 1, "Unlisted", {"unlisted.mov"});
  AddSums(sync);
  sync.Sums[4].clear();
  sync.Write(Served.File("kinetrope.syn"));
  SignListFile(Served.File("kinetrope.syn"), Private);
  for (const std::string name : {"good.mov", "good.bmp", "unlisted.mov"}) {
    WriteFileBytes(Served.File(name), "bytes of " + name);
  }
  WriteFileBytes(Served.File("changed.mov"), "bytes of changed.moV");
  WriteFileBytes(Served.File("longer.mov"), "bytes of longer.mov!");

  OpenManager();
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true));
  RunJob();

  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_FAILED);
  EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_FAILED);
  EXPECT_EQ(Find(CAT_SKIT, 3)->State, SKIT_INSTALLED) << "the other skits still come";
  EXPECT_EQ(Find(CAT_SKIT, 4)->State, SKIT_FAILED) << "a file the list gives no sums for";
  EXPECT_EQ(FolderNames(Settings.SkitsPath), (Names{"good.bmp", "good.mov"}));
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{}) << "the refused downloads are deleted";
  const std::string changed = "Cannot download Changed: changed.mov is not the file the signed list names: SHA-256 ";
  const std::vector<std::string> lines = LogTexts();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.rfind(changed, 0) == 0; }));
  EXPECT_TRUE(Logged("Cannot download Longer: longer.mov is not the file the signed list names: 20 bytes, the "
                     "signed list says 19"));
  EXPECT_TRUE(Logged("Cannot download Unlisted: unlisted.mov is not the file the signed list names: the signed "
                     "list gives no size and hash for it"));
  EXPECT_EQ(Manager->Tally.Failed, 3u);
}

TEST_F(SignedJobTest, AnUnsignedListEndsTheJobWithoutASync) {
  Settings.SyncMethod = 0;
  SyncBuilder sync;
  sync.UrlBase = Server.Url("/");
  sync.Add(CAT_SKIT, 1, 1, "Unsigned", {"unsigned.mov"});
  sync.Write(Served.File("kinetrope.syn"));
  WriteFileBytes(Served.File("unsigned.mov"), "bytes of unsigned.mov");
  Builder.Block->Header.LastSync = 1234;
  OpenManager();
  Manager->StartListDownload(Receiver.Window, true);
  RunJob();
  EXPECT_EQ(Manager->Catalog.Header.Count, 0u);
  EXPECT_EQ(Manager->Catalog.Header.LastSync, 1234u) << "a refused list is no synchronisation";
  EXPECT_EQ(Server.RequestCount(), 1u);
  EXPECT_TRUE(Logged("Synchronisation file refused: it is not signed"));
}

// The refusal must hold at the next synchronisation too: no validators are
// kept for a refused list, so it is fetched whole again and checked again,
// never waved through as "not modified".
TEST_F(SignedJobTest, ARefusedListIsAskedForWholeAgain) {
  SyncBuilder sync;
  sync.UrlBase = Server.Url("/");
  sync.Add(CAT_SKIT, 1, 1, "Unsigned", {"unsigned.mov"});
  sync.Write(Served.File("kinetrope.syn"));
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/ranged/kinetrope.syn");
  OpenManager();
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, false));
    RunJob();
    EXPECT_TRUE(Manager->ListRefused) << round;
    EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{}) << round << ": neither the list nor its validators";
  }
  const std::vector<testing_support::ServedRequest> requests = Server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Headers.find("If-None-Match"), std::string::npos) << requests[1].Headers;
  EXPECT_EQ(Manager->Catalog.Header.Count, 0u);
}

// The key comes from the setup's seed catalogue: a user's catalogue that
// carries another key, or none, takes the seed's when it is loaded, keeps it
// when it is saved, and from then on takes only lists signed with it. What
// the old key vouched for goes with it. A seed without a key takes nothing
// away.
TEST_F(SignedListTest, TheSeedCataloguesKeyReplacesTheUsersAtLoad) {
  uint8_t seedPrivate[MAKER_PRIVATE_KEY_SIZE], seedPublic[MAKER_PUBLIC_KEY_SIZE];
  NewMakerKey(seedPrivate, seedPublic);
  testing_support::TempDir seed;
  Settings.SeedPath = seed.Path();
  // The seed's catalogue has the name of the user's.
  std::string name;
  SplitPath(Settings.OpsFilePath, nullptr, &name);
  const std::string seedPath = JoinPath(seed.Path(), name);
  CatalogBuilder seedCatalogue;
  seedCatalogue.MakerKey.assign(seedPublic, seedPublic + sizeof seedPublic);
  seedCatalogue.Write(seedPath);

  const auto list = [](uint32_t version) {
    SyncBuilder sync;
    sync.Header.Version = version;
    sync.Add(CAT_SKIT, 5, 1, "Kites", {"kites.skit"});
    return sync;
  };
  for (bool userHasKey : {true, false}) {
    SCOPED_TRACE(userHasKey ? "the user's catalogue had the old key" : "the user's catalogue had no key");
    Builder = CatalogBuilder();
    if (userHasKey) Builder.MakerKey.assign(Public, Public + sizeof Public);
    DeleteFileA(Settings.LogPath.c_str());
    OpenManager();
    EXPECT_TRUE(Manager->Trust.HasKey());
    EXPECT_TRUE(Logged("The maker's key was taken from " + seedPath));

    SyncBuilder old = list(2);
    WriteSigned(old, SyncPath(), Private);
    EXPECT_FALSE(Manager->ApplySyncFile(SyncPath()));
    EXPECT_TRUE(Manager->ListRefused) << "signed with the old key";

    // Saved with the seed's key, which then holds without the seed.
    Manager.reset();
    Settings.SeedPath.clear();
    Manager = std::make_unique<cSkitManager>(false);
    SyncBuilder fresh = list(1);
    WriteSigned(fresh, SyncPath(), seedPrivate);
    Manager->ApplySyncFile(SyncPath());
    EXPECT_FALSE(Manager->ListRefused);
    EXPECT_NE(Find(CAT_SKIT, 5), nullptr);
    Manager.reset();
    Settings.SeedPath = seed.Path();
  }

  // The newest version a stolen key signed does not bar the new key's lists.
  Builder = CatalogBuilder();
  Builder.MakerKey.assign(Public, Public + sizeof Public);
  Settings.SeedPath.clear();
  OpenManager();
  SyncBuilder stolen = list(4000000000u);
  ASSERT_TRUE(MergeSigned(stolen));
  ASSERT_EQ(Manager->Trust.SignedVersion(), 4000000000u);
  Manager.reset();
  Settings.SeedPath = seed.Path();
  Manager = std::make_unique<cSkitManager>(false);
  EXPECT_EQ(Manager->Trust.SignedVersion(), 0u);
  EXPECT_TRUE(Manager->Trust.Sums().empty());
  SyncBuilder next = list(7);
  WriteSigned(next, SyncPath(), seedPrivate);
  Manager->ApplySyncFile(SyncPath());
  EXPECT_FALSE(Manager->ListRefused);
  Manager.reset();

  // A seed without a key leaves the user's as it is.
  CatalogBuilder keyless;
  keyless.Write(seedPath);
  Manager = std::make_unique<cSkitManager>(false);
  SyncBuilder byNew = list(8);
  WriteSigned(byNew, SyncPath(), seedPrivate);
  Manager->ApplySyncFile(SyncPath());
  EXPECT_FALSE(Manager->ListRefused);
  SyncBuilder plain = list(9);
  plain.Write(SyncPath());
  EXPECT_FALSE(Manager->ApplySyncFile(SyncPath()));
  EXPECT_TRUE(Manager->ListRefused);
}
