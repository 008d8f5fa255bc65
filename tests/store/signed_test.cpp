// A catalogue that carries the maker's key: which lists it takes, which it
// refuses whole, and which downloaded files it installs. Without a key
// nothing of this applies.
#include <algorithm>
#include <cstring>
#include <functional>

#include "base/crypto.h"
#include "base/files.h"
#include "download/comm.h"
#include "store/file_install.h"
#include "store/list_trust.h"
#include "tests/download/download_testing.h"
#include "tests/store/sync_testing.h"
#include "tests/support/http_server.h"

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
  // Signed as the maker publishes it, at the catalogue's address unless
  // the list names another.
  void WriteSigned(SyncBuilder& sync, const std::string& path, const uint8_t (&key)[MAKER_PRIVATE_KEY_SIZE]) {
    AddSums(sync);
    if (!sync.Address) sync.Address = CatalogueAddress();
    sync.Write(path);
    SignListFile(path, key);
  }
  std::string CatalogueAddress() const { return Builder.Texts.at(Builder.Block->Header.SyncUrl.Id); }
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

  // The catalogue's own version took no list: an equal one is no newer.
  SyncBuilder same = list();
  WriteSigned(same, SyncPath(), Private);
  ExpectRefused("its version 4 is the catalogue's newest, but it is not the list the catalogue took at that version");

  SyncBuilder good = list();
  good.Header.Version = 5;
  WriteSigned(good, SyncPath(), Private);
  Manager->ApplySyncFileAndSave(SyncPath(), false);
  EXPECT_FALSE(Manager->ListRefused);
  EXPECT_NE(Find(CAT_SKIT, 2), nullptr) << "the same list, signed with the key and newer, merges";
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

  // The same list again (fetched whole once more) is taken, and changes
  // nothing; another list of that version is a replay, kept apart only by
  // its digest, and is refused, also after the catalogue was closed.
  EXPECT_FALSE(MergeSigned(newer));
  EXPECT_FALSE(Manager->ListRefused) << "the list taken last, again";
  SyncBuilder rolledBack = newer;
  rolledBack.Records[0].Revision = 3;
  rolledBack.Add(CAT_SKIT, 9, 1, "Withdrawn", {"withdrawn.mov"});
  const std::string replay =
      "Synchronisation file refused: its version 7 is the catalogue's newest, but it is not the list the catalogue "
      "took at that version";
  EXPECT_FALSE(MergeSigned(rolledBack));
  EXPECT_TRUE(Manager->ListRefused);
  EXPECT_TRUE(Logged(replay));
  EXPECT_EQ(Find(CAT_SKIT, 1)->Revision, 2u);

  Manager.reset();
  Manager = std::make_unique<cSkitManager>(false);
  EXPECT_FALSE(MergeSigned(rolledBack));
  EXPECT_TRUE(Manager->ListRefused) << "the digest is kept with the version in the catalogue file";
  EXPECT_FALSE(MergeSigned(newer));
  EXPECT_FALSE(Manager->ListRefused);
  newer.Header.Version = 8;
  newer.Records[0].Revision = 3;
  EXPECT_TRUE(MergeSigned(newer)) << "a newer version is taken whatever it holds";
}

// A signed list names the address it is published at; a catalogue with a
// key takes it from there only, and a list that names none not at all.
TEST_F(SignedListTest, AListIsTakenOnlyFromTheAddressItNames) {
  Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Waiting", {"waiting.mov"});
  OpenManager();
  SyncBuilder elsewhere;
  elsewhere.Header.Version = 2;
  elsewhere.Add(CAT_SKIT, 2, 1, "Elsewhere", {"elsewhere.mov"});
  elsewhere.Address = "http://mirror.example/kinetrope.syn";
  WriteSigned(elsewhere, SyncPath(), Private);
  ExpectRefused("it is published at http://mirror.example/kinetrope.syn, not at " + CatalogueAddress());

  // Written and signed as before addresses were named.
  SyncBuilder nameless;
  nameless.Header.Version = 2;
  nameless.Add(CAT_SKIT, 2, 1, "Nameless", {"nameless.mov"});
  AddSums(nameless);
  nameless.Write(SyncPath());
  SignListFile(SyncPath(), Private);
  ExpectRefused("it does not name the address it is published at");

  SyncBuilder here;
  here.Header.Version = 2;
  here.Add(CAT_SKIT, 2, 1, "Here", {"here.mov"});
  EXPECT_TRUE(MergeSigned(here));
}

// A lost key's successor: a list signed with a new key and carrying the
// change the old key signed (the new key and the version from which it
// counts) is taken, and the catalogue keeps the new key from then on.
TEST_F(SignedListTest, AKeyChangeSignedWithTheKeyHandsTheCatalogueOverToTheNewKey) {
  OpenManager();
  uint8_t newPrivate[MAKER_PRIVATE_KEY_SIZE], newPublic[MAKER_PUBLIC_KEY_SIZE];
  NewMakerKey(newPrivate, newPublic);
  uint8_t otherPrivate[MAKER_PRIVATE_KEY_SIZE], otherPublic[MAKER_PUBLIC_KEY_SIZE];
  NewMakerKey(otherPrivate, otherPublic);
  const auto list = [](uint32_t version, int32_t id) {
    SyncBuilder sync;
    sync.Header.Version = version;
    sync.Add(CAT_SKIT, id, 1, "Skit " + std::to_string(id), {"skit" + std::to_string(id) + ".mov"});
    return sync;
  };

  // Changes nobody may make: signed with another key, counting from a later
  // version than the list's, or naming another key than the list's.
  SyncBuilder forged = list(5, 1);
  forged.KeyChangeBody = MakeKeyChange(otherPrivate, newPublic, 5);
  WriteSigned(forged, SyncPath(), newPrivate);
  EXPECT_FALSE(Manager->ApplySyncFile(SyncPath()));
  EXPECT_TRUE(Logged("Synchronisation file refused: its signature is not the maker's, nor is its key change"));
  SyncBuilder early = list(5, 1);
  early.KeyChangeBody = MakeKeyChange(Private, newPublic, 6);
  WriteSigned(early, SyncPath(), newPrivate);
  EXPECT_FALSE(Manager->ApplySyncFile(SyncPath()));
  EXPECT_TRUE(Logged("Synchronisation file refused: its key change counts from version 6, and it is version 5"));
  SyncBuilder mismatched = list(5, 1);
  mismatched.KeyChangeBody = MakeKeyChange(Private, newPublic, 5);
  WriteSigned(mismatched, SyncPath(), otherPrivate);
  EXPECT_FALSE(Manager->ApplySyncFile(SyncPath()));
  EXPECT_TRUE(Logged("Synchronisation file refused: its signature is neither the maker's nor that of the new key its "
                     "key change names"));
  EXPECT_EQ(std::memcmp(Manager->Trust.Key(), Public, MAKER_PUBLIC_KEY_SIZE), 0) << "no key changed";

  SyncBuilder handover = list(5, 1);
  handover.KeyChangeBody = MakeKeyChange(Private, newPublic, 5);
  WriteSigned(handover, SyncPath(), newPrivate);
  Manager->ApplySyncFileAndSave(SyncPath(), false);
  EXPECT_FALSE(Manager->ListRefused);
  EXPECT_NE(Find(CAT_SKIT, 1), nullptr);
  EXPECT_EQ(std::memcmp(Manager->Trust.Key(), newPublic, MAKER_PUBLIC_KEY_SIZE), 0);
  EXPECT_TRUE(Logged("The maker's key changed: list version 5 is signed with a new key that the old key handed over "
                     "to; the catalogue keeps it"));

  // Kept in the catalogue file: the old key signs nothing any more.
  Manager.reset();
  Manager = std::make_unique<cSkitManager>(false);
  EXPECT_EQ(std::memcmp(Manager->Trust.Key(), newPublic, MAKER_PUBLIC_KEY_SIZE), 0);
  EXPECT_FALSE(MergeSigned(list(6, 2)));
  EXPECT_TRUE(Logged("Synchronisation file refused: its signature is not the maker's"));
  SyncBuilder next = list(6, 2);
  WriteSigned(next, SyncPath(), newPrivate);
  EXPECT_TRUE(Manager->ApplySyncFile(SyncPath()));
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

// The signed bytes and then 4 GiB more: the low half of the size is the
// signed size and the first bytes hash right, so only the whole size tells.
// It is compared before a byte is hashed.
TEST_F(SignedListTest, AFileFourGigabytesLongerThanSignedIsRefusedByItsWholeSize) {
  OpenManager();
  SyncBuilder sync;
  sync.Add(CAT_SKIT, 1, 1, "Padded", {"padded.mov"});
  ASSERT_TRUE(MergeSigned(sync));
  const std::string body = "bytes of padded.mov";
  const std::string path = JoinPath(Settings.DownloadPath, "padded.mov");
  testing_support::WriteSparseFile(path, body, (uint64_t{4} << 30) + body.size());
  std::string reason;
  cFile file;
  file.Open(path, GENERIC_READ, FILE_SHARE_READ);
  EXPECT_FALSE(Manager->Trust.CheckFile("http://127.0.0.1/skits/padded.mov", file, reason));
  file.Close();
  EXPECT_EQ(reason, "4294967315 bytes, the signed list says 19");

  struct ClaimedFile {
    uint64_t Size;
    uint64_t Given = 0;
    uint64_t GetSize() const { return Size; }
    void Read(void*, DWORD count) { Given += count; }
  } claimed{(uint64_t{4} << 30) + body.size()};
  struct {
    void Add(const uint8_t*, uint32_t) {}
  } nowhere;
  EXPECT_FALSE(MatchesSum(claimed, SumOf(body), nowhere, reason));
  EXPECT_EQ(claimed.Given, 0u) << "nothing is read of a file of the wrong size";
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
  WriteFileBytes(SkitFile("one.mov"), "any bytes at all");
  cFile file;
  file.Open(SkitFile("one.mov"), GENERIC_READ, FILE_SHARE_READ);
  EXPECT_TRUE(Manager->Trust.CheckFile("http://127.0.0.1/skits/one.mov", file, reason));
  file.Close();
}

// The list is checked and merged through one opening, during which no one
// else can change, replace or delete it: what was checked is what is merged.
TEST_F(SyncTest, AListIsHeldSoThatNoOneChangesItBetweenCheckAndMerge) {
  SyncBuilder sync;
  sync.Add(CAT_SKIT, 1, 1, "One", {"one.mov"});
  sync.Write(SyncPath());
  {
    cSyncFile held(SyncPath());
    HANDLE writer = CreateFileA(SyncPath().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "opened for writing while it was held";
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(DeleteFileA(SyncPath().c_str()));
    EXPECT_FALSE(MoveFileA(SyncPath().c_str(), (SyncPath() + ".moved").c_str()));
  }
  EXPECT_TRUE(FileExists(SyncPath()));
}

// Whole jobs against the loopback server -------------------------------------

namespace {

class SignedJobTest : public SignedListTest {
 protected:
  SignedJobTest() { Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/kinetrope.syn"); }

  void RunJob() {
    while (Manager->Job().State() != JobState::Idle) {
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
  sync.Add(CAT_SKIT, 2, 1, "Shorter", {"shorter.mov"});
  sync.Add(CAT_SKIT, 3, 1, "Good", {"good.mov", "good.bmp"});
  sync.Add(CAT_SKIT, 4, 1, "Unlisted", {"unlisted.mov"});
  sync.Add(CAT_SKIT, 5, 1, "Longer", {"longer.mov"});
  AddSums(sync);
  sync.Sums[4].clear();
  sync.Address = CatalogueAddress();
  sync.Write(Served.File("kinetrope.syn"));
  SignListFile(Served.File("kinetrope.syn"), Private);
  for (const std::string name : {"good.mov", "good.bmp", "unlisted.mov"}) {
    WriteFileBytes(Served.File(name), "bytes of " + name);
  }
  WriteFileBytes(Served.File("changed.mov"), "bytes of changed.moV");
  WriteFileBytes(Served.File("shorter.mov"), "bytes of shorter.mo");
  WriteFileBytes(Served.File("longer.mov"), "bytes of longer.mov!");

  OpenManager();
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true));
  RunJob();

  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_FAILED);
  EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_FAILED);
  EXPECT_EQ(Find(CAT_SKIT, 3)->State, SKIT_INSTALLED) << "the other skits still come";
  EXPECT_EQ(Find(CAT_SKIT, 4)->State, SKIT_FAILED) << "a file the list gives no sums for";
  EXPECT_EQ(Find(CAT_SKIT, 5)->State, SKIT_FAILED) << "a file longer than signed is stopped as it comes";
  EXPECT_EQ(FolderNames(Settings.SkitsPath), (Names{"good.bmp", "good.mov"}));
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{}) << "the refused downloads are deleted";
  const std::string changed = "Cannot download Changed: changed.mov is not the file the signed list names: SHA-256 ";
  const std::vector<std::string> lines = LogTexts();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.rfind(changed, 0) == 0; }));
  EXPECT_TRUE(Logged("Cannot download Shorter: shorter.mov is not the file the signed list names: 19 bytes, the "
                     "signed list says 20"));
  EXPECT_TRUE(Logged("Cannot download Unlisted: unlisted.mov is not the file the signed list names: the signed "
                     "list gives no size and hash for it"));
  EXPECT_TRUE(Logged("Download failed: Longer 1 of 1. The server announced 20 bytes for a file that may have 19."));
  EXPECT_EQ(Manager->Tally.Failed, 4u);
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

// A key the catalogue was handed over to by a key change outlives the seed
// key it replaced: loading with the same seed again must not bring the old
// key back (and with it forget the newest version, letting an old list in).
// A setup with a key not seen before replaces it.
TEST_F(SignedListTest, AKeyChangeStandsUntilASeedWithANewKeyComes) {
  testing_support::TempDir seed;
  Settings.SeedPath = seed.Path();
  std::string name;
  SplitPath(Settings.OpsFilePath, nullptr, &name);
  const auto writeSeed = [&](const uint8_t (&key)[MAKER_PUBLIC_KEY_SIZE]) {
    CatalogBuilder seedCatalogue;
    seedCatalogue.MakerKey.assign(key, key + MAKER_PUBLIC_KEY_SIZE);
    seedCatalogue.Write(JoinPath(seed.Path(), name));
  };
  const auto list = [](uint32_t version) {
    SyncBuilder sync;
    sync.Header.Version = version;
    sync.Add(CAT_SKIT, 5, 1, "Kites", {"kites.skit"});
    return sync;
  };
  writeSeed(Public);
  OpenManager();
  uint8_t newPrivate[MAKER_PRIVATE_KEY_SIZE], newPublic[MAKER_PUBLIC_KEY_SIZE];
  NewMakerKey(newPrivate, newPublic);
  SyncBuilder handover = list(5);
  handover.KeyChangeBody = MakeKeyChange(Private, newPublic, 5);
  WriteSigned(handover, SyncPath(), newPrivate);
  Manager->ApplySyncFileAndSave(SyncPath(), false);
  ASSERT_FALSE(Manager->ListRefused);
  ASSERT_EQ(std::memcmp(Manager->Trust.Key(), newPublic, MAKER_PUBLIC_KEY_SIZE), 0);

  for (int load = 0; load < 2; ++load) {
    SCOPED_TRACE("load " + std::to_string(load + 1) + " with the same seed");
    Manager.reset();
    Manager = std::make_unique<cSkitManager>(false);
    EXPECT_EQ(std::memcmp(Manager->Trust.Key(), newPublic, MAKER_PUBLIC_KEY_SIZE), 0);
    EXPECT_EQ(Manager->Trust.SignedVersion(), 5u);
  }
  SyncBuilder replayed = list(4);
  WriteSigned(replayed, SyncPath(), Private);
  EXPECT_FALSE(Manager->ApplySyncFile(SyncPath()));
  EXPECT_TRUE(Manager->ListRefused) << "the old key signs nothing any more";

  uint8_t setupPrivate[MAKER_PRIVATE_KEY_SIZE], setupPublic[MAKER_PUBLIC_KEY_SIZE];
  NewMakerKey(setupPrivate, setupPublic);
  writeSeed(setupPublic);
  Manager.reset();
  Manager = std::make_unique<cSkitManager>(false);
  EXPECT_EQ(std::memcmp(Manager->Trust.Key(), setupPublic, MAKER_PUBLIC_KEY_SIZE), 0);
  EXPECT_EQ(Manager->Trust.SignedVersion(), 0u);
}

// A server that sends the signed bytes and then more, with a Content-Length
// that says so or with none, is stopped at the signed size: nothing of the
// file is kept and the skit fails, while the others still come.
TEST_F(SignedJobTest, AFileLongerThanSignedIsStoppedAtTheSignedSize) {
  Settings.SyncMethod = 0;
  SyncBuilder sync;
  sync.UrlBase = Server.Url("/");
  sync.Add(CAT_SKIT, 1, 1, "Good", {"good.mov"});
  sync.UrlBase = Server.Url("/padded/");
  sync.Add(CAT_SKIT, 2, 1, "Padded", {"padded.mov"});
  sync.UrlBase = Server.Url("/unbounded/");
  sync.Add(CAT_SKIT, 3, 1, "Unbounded", {"unbounded.mov"});
  WriteSigned(sync, Served.File("kinetrope.syn"), Private);
  for (const std::string name : {"padded.mov", "unbounded.mov", "good.mov"}) {
    WriteFileBytes(Served.File(name), "bytes of " + name);
  }
  OpenManager();
  // One job settles all three: a refusal fails its skit and the job goes on.
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true));
  RunJob();

  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_INSTALLED);
  EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_FAILED);
  EXPECT_EQ(Find(CAT_SKIT, 3)->State, SKIT_FAILED);
  EXPECT_EQ(FolderNames(Settings.SkitsPath), Names{"good.mov"});
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{}) << "nothing of the longer files is kept";
  EXPECT_TRUE(Logged("Download failed: Padded 1 of 1. The server announced 1048595 bytes for a file that may have "
                     "19."));
  EXPECT_TRUE(Logged("Download failed: Unbounded 1 of 1. The server sent more than the 22 bytes this file may "
                     "have."));
}

// A list that never ends is stopped at the most a list may hold; it is no
// synchronisation and nothing of it stays.
TEST_F(SignedJobTest, AnEndlessListStopsAtTheListLimit) {
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/endless");
  Builder.Block->Header.LastSync = 1234;
  OpenManager();
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true));
  RunJob();
  EXPECT_EQ(Manager->Catalog.Header.LastSync, 1234u);
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{});
  EXPECT_TRUE(Logged("Download failed: Kinetrope list 1 of 1. The server sent more than the 4194304 bytes this file "
                     "may have."));
}

// A downloaded file is copied under a name of its own into the skits
// folder, and that copy, held so that no one else can open it, is what is
// checked and then renamed into place; the download itself cannot be
// changed or deleted meanwhile. Nothing of the staging stays, whether the
// file was taken or refused.
TEST_F(SignedJobTest, AFileIsCheckedAsAHeldCopyInTheSkitsFolderAndRenamedIntoPlace) {
  Settings.SyncMethod = 0;
  SyncBuilder sync;
  sync.UrlBase = Server.Url("/");
  sync.Add(CAT_SKIT, 1, 1, "Good", {"good.mov"});
  sync.Add(CAT_SKIT, 2, 1, "Changed", {"changed.mov"});
  WriteSigned(sync, Served.File("kinetrope.syn"), Private);
  WriteFileBytes(Served.File("good.mov"), "bytes of good.mov");
  WriteFileBytes(Served.File("changed.mov"), "bytes of changeD.mov");

  static std::vector<std::string> seen;
  seen.clear();
  FileInstallHook = [](const std::string& download, const std::string& copy) {
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE writer = CreateFileA(download.c_str(), GENERIC_WRITE, all, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE reader = CreateFileA(copy.c_str(), GENERIC_READ, all, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string folder, name;
    SplitPath(copy, &folder, &name);
    seen.push_back(name.substr(0, 3) + (writer == INVALID_HANDLE_VALUE ? " download held" : " download open") +
                   (DeleteFileA(download.c_str()) ? " deleted" : "") +
                   (reader == INVALID_HANDLE_VALUE ? " copy held" : " copy open") + " in " + folder);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  };
  OpenManager();
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true));
  RunJob();
  FileInstallHook = nullptr;

  const std::string expected = "~dg download held copy held in " + Settings.SkitsPath;
  EXPECT_EQ(seen, (Names{expected, expected}));
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_INSTALLED);
  EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_FAILED);
  EXPECT_EQ(FolderNames(Settings.SkitsPath), Names{"good.mov"}) << "no staged copy is left";
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{});
}

// The signed list at its own address, fetched from another address of the
// same server: someone else's copy, refused.
TEST_F(SignedJobTest, AListFetchedFromAnotherAddressThanItNamesIsRefused) {
  SyncBuilder sync;
  sync.UrlBase = Server.Url("/");
  sync.Add(CAT_SKIT, 1, 1, "Copied", {"copied.mov"});
  WriteSigned(sync, Served.File("kinetrope.syn"), Private);
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/nolength/kinetrope.syn");
  OpenManager();
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, false));
  RunJob();
  EXPECT_TRUE(Manager->ListRefused);
  EXPECT_EQ(Manager->Catalog.Header.Count, 0u);
  EXPECT_TRUE(Logged("Synchronisation file refused: it is published at " + Server.Url("/kinetrope.syn") +
                     ", not at " + Server.Url("/nolength/kinetrope.syn")));
}
