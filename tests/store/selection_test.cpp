#include "base/files.h"
#include "tests/store/catalog_builder.h"

namespace {

std::string Str(const char* text) { return text != nullptr ? text : "(null)"; }

class SelectionTest : public CatalogTest {
 protected:
  // Regular skits A, B, C, ticked and installed, with a notice in between.
  void AddRotation() {
    Builder.Add(CAT_SKIT, 10, SKIT_INSTALLED, SEL_ON, "A", {"a.mov"});
    Builder.Add(CAT_NOTICE, 11, SKIT_INSTALLED, SEL_ON, "Notice", {"n.mov"});
    Builder.Add(CAT_SKIT, 20, SKIT_INSTALLED, SEL_ON, "B", {"b.mov"});
    Builder.Add(CAT_SKIT, 30, SKIT_INSTALLED, SEL_ON, "C", {"c.mov"});
    Install({"a.mov", "n.mov", "b.mov", "c.mov"});
  }

  // Specials on, every `interval` picks, at most `perRun` per run.
  void ScheduleSpecials(int32_t interval, int32_t perRun) {
    CatalogHeader& header = Builder.Block->Header;
    header.SpecialsOn = 1;
    header.SpecialInterval = interval;
    header.SpecialsPerRun = perRun;
  }

  std::vector<std::string> Picks(cSkitManager& manager, int n) {
    std::vector<std::string> picks;
    for (int i = 0; i < n; ++i) picks.push_back(Str(manager.NextSkit()));
    return picks;
  }
};

using Names = std::vector<std::string>;

}  // namespace

// Regular rotation ---------------------------------------------------------

TEST_F(SelectionTest, RotationStartsAfterTheSkitPlayedLast) {
  AddRotation();
  struct Case {
    int32_t LastSkitId;
    Names Expected;
  };
  const Case cases[] = {
      {20, {"c.mov", "a.mov", "b.mov", "c.mov"}},
      {30, {"a.mov", "b.mov", "c.mov", "a.mov"}},
      {0, {"a.mov", "b.mov"}},   // matches nothing: from the front
      {11, {"a.mov", "b.mov"}},  // a notice's id is no place in the rotation
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.LastSkitId);
    Builder.Block->Header.LastSkitId = c.LastSkitId;
    auto manager = Open();
    EXPECT_EQ(Picks(*manager, static_cast<int>(c.Expected.size())), c.Expected);
  }
}

TEST_F(SelectionTest, ChosenSkitBecomesCurrentAndIsCounted) {
  AddRotation();
  Builder.Block->Header.LastSkitId = 10;
  Builder.Block->Records[2].PlayCount = 5;
  {
    auto manager = Open();
    EXPECT_EQ(Str(manager->NextSkit()), "b.mov");
    EXPECT_EQ(manager->Current, 2);
    EXPECT_EQ(manager->Catalog.Header.LastSkitId, 20);
    EXPECT_EQ(manager->Catalog.Records[2].PlayCount, 6);
    EXPECT_EQ(manager->Catalog.Records[2].PlaysLeft, -1);
  }
  // The rotation carries over to the next run.
  auto saved = ReadBlock(Settings.OpsFilePath);
  EXPECT_EQ(saved->Header.LastSkitId, 20);
  EXPECT_EQ(saved->Records[2].PlayCount, 6);
}

TEST_F(SelectionTest, PlaysLeftLimitsAndMinusOneDoesNot) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Once", {"once.mov"}).PlaysLeft = 1;
  Builder.Add(CAT_SKIT, 2, SKIT_INSTALLED, SEL_ON, "Always", {"always.mov"}).PlaysLeft = -1;
  Install({"once.mov", "always.mov"});
  auto manager = Open();
  EXPECT_EQ(Picks(*manager, 4), (Names{"once.mov", "always.mov", "always.mov", "always.mov"}));
  EXPECT_EQ(manager->Catalog.Records[0].PlaysLeft, 0);
  EXPECT_EQ(manager->Catalog.Records[0].PlayCount, 1);
  EXPECT_EQ(manager->Catalog.Records[1].PlaysLeft, -1);
  EXPECT_EQ(manager->Catalog.Records[1].PlayCount, 3);
}

TEST_F(SelectionTest, OnlyTickedInstalledSkitsWithPlaysTakePart) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_NONE, "Unticked", {"1.mov"});
  Builder.Add(CAT_SKIT, 2, SKIT_INSTALLED, SEL_AUTO, "Auto", {"2.mov"});
  Builder.Add(CAT_SKIT, 3, SKIT_SCHEDULED, SEL_ON, "Scheduled", {"3.mov"});
  Builder.Add(CAT_SKIT, 4, SKIT_INSTALLED, SEL_ON, "Played out", {"4.mov"}).PlaysLeft = 0;
  Builder.Add(CAT_NOTICE, 5, SKIT_INSTALLED, SEL_ON, "Notice", {"5.mov"});
  Install({"1.mov", "2.mov", "3.mov", "4.mov", "5.mov"});
  Builder.Block->Header.LastSkitId = 3;
  auto manager = Open();
  manager->Current = 2;
  EXPECT_EQ(manager->NextSkit(), nullptr);
  // Nothing chosen, nothing changed.
  EXPECT_EQ(manager->Current, 2);
  EXPECT_EQ(manager->Catalog.Header.LastSkitId, 3);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(manager->Catalog.Records[i].PlayCount, 0) << i;

  manager->Catalog.Records[1].Selection = SEL_ON;
  EXPECT_EQ(Picks(*manager, 2), (Names{"2.mov", "2.mov"}));
}

// A skit whose movie disappeared during the run is demoted when the walk
// reaches it, and the walk goes on to the next one.
TEST_F(SelectionTest, DeletedMovieDemotesTheSkitAndTheWalkGoesOn) {
  AddRotation();
  Builder.Block->Header.LastSkitId = 10;
  auto manager = Open();
  ASSERT_TRUE(DeleteFileA(SkitFile("b.mov").c_str()));
  EXPECT_EQ(Str(manager->NextSkit()), "c.mov");
  const SkitRecord& b = manager->Catalog.Records[2];
  EXPECT_EQ(b.State, SKIT_AVAILABLE);
  EXPECT_EQ(b.Selection, SEL_NONE);
  EXPECT_EQ(b.PlayCount, 0);
  EXPECT_EQ(Picks(*manager, 3), (Names{"a.mov", "c.mov", "a.mov"}));
}

// Specials -----------------------------------------------------------------

// Every third pick is a special, taking the specials in turn, until the
// run's allowance is used up.
TEST_F(SelectionTest, SpecialEveryIntervalUntilTheAllowanceIsUsed) {
  AddRotation();
  ScheduleSpecials(3, 2);
  Builder.Add(CAT_SPECIAL, 100, SKIT_INSTALLED, SEL_ON, "S1", {"s1.mov"});
  Builder.Add(CAT_SPECIAL, 200, SKIT_INSTALLED, SEL_ON, "S2", {"s2.mov"}).PlaysLeft = 5;
  Install({"s1.mov", "s2.mov"});
  auto manager = Open();
  EXPECT_EQ(Picks(*manager, 10), (Names{"a.mov", "b.mov", "s1.mov", "c.mov", "a.mov", "s2.mov", "b.mov", "c.mov",
                                        "a.mov", "b.mov"}));
  const CatalogHeader& header = manager->Catalog.Header;
  EXPECT_EQ(header.SpecialsLeft, 0);
  EXPECT_EQ(header.SpecialsPlayed, 2);
  EXPECT_EQ(header.LastSpecialId, 200);
  EXPECT_EQ(manager->Catalog.Records[5].PlaysLeft, 4);
  EXPECT_EQ(manager->Catalog.Records[5].PlayCount, 1);
}

TEST_F(SelectionTest, SpecialRotationContinuesAfterTheOnePlayedLast) {
  AddRotation();
  ScheduleSpecials(1, 3);
  Builder.Block->Header.LastSpecialId = 200;
  Builder.Add(CAT_SPECIAL, 100, SKIT_INSTALLED, SEL_ON, "S1", {"s1.mov"});
  Builder.Add(CAT_SPECIAL, 200, SKIT_INSTALLED, SEL_ON, "S2", {"s2.mov"});
  Builder.Add(CAT_SPECIAL, 300, SKIT_INSTALLED, SEL_ON, "S3", {"s3.mov"});
  Install({"s1.mov", "s2.mov", "s3.mov"});
  auto manager = Open();
  EXPECT_EQ(Picks(*manager, 4), (Names{"s3.mov", "s1.mov", "s2.mov", "a.mov"}));
  EXPECT_EQ(manager->Current, 0);
}

TEST_F(SelectionTest, IntervalZeroShowsNoSpecial) {
  AddRotation();
  ScheduleSpecials(0, 5);
  Builder.Add(CAT_SPECIAL, 100, SKIT_INSTALLED, SEL_ON, "S1", {"s1.mov"});
  Install({"s1.mov"});
  auto manager = Open();
  for (const std::string& pick : Picks(*manager, 30)) EXPECT_NE(pick, "s1.mov");
  EXPECT_EQ(manager->Catalog.Header.SpecialsLeft, 5);
}

// The show window includes both ends; a special outside it, or without its
// movie, is passed over and keeps its state.
TEST_F(SelectionTest, SpecialWindowIncludesBothEnds) {
  AddRotation();
  ScheduleSpecials(1, 10);
  Builder.Add(CAT_SPECIAL, 100, SKIT_INSTALLED, SEL_ON, "Not yet", {"early.mov"}).ShowFrom = Now + kSecond;
  Builder.Add(CAT_SPECIAL, 200, SKIT_INSTALLED, SEL_ON, "Ends now", {"ends.mov"}).ShowUntil = Now;
  Builder.Add(CAT_SPECIAL, 300, SKIT_INSTALLED, SEL_ON, "Starts now", {"starts.mov"}).ShowFrom = Now;
  Builder.Add(CAT_SPECIAL, 400, SKIT_INSTALLED, SEL_ON, "No movie", {"lost.mov"});
  Install({"early.mov", "ends.mov", "starts.mov", "lost.mov"});
  auto manager = Open();
  ASSERT_TRUE(DeleteFileA(SkitFile("lost.mov").c_str()));
  EXPECT_EQ(Picks(*manager, 3), (Names{"ends.mov", "starts.mov", "ends.mov"}));
  EXPECT_EQ(manager->Catalog.Records[4].State, SKIT_INSTALLED);
  EXPECT_EQ(manager->Catalog.Records[7].State, SKIT_INSTALLED);

  // A second later the first has ended and the other is still on.
  Now += kSecond;
  EXPECT_EQ(Picks(*manager, 2), (Names{"starts.mov", "early.mov"}));
}

// When no special can be taken the pick falls through to the rotation, and
// the countdown starts over.
TEST_F(SelectionTest, DueSpecialThatCannotPlayFallsThroughToTheRotation) {
  AddRotation();
  ScheduleSpecials(2, 3);
  Builder.Add(CAT_SPECIAL, 100, SKIT_AVAILABLE, SEL_NONE, "Offered", {"s1.mov"});
  auto manager = Open();
  EXPECT_EQ(Picks(*manager, 4), (Names{"a.mov", "b.mov", "c.mov", "a.mov"}));
  EXPECT_EQ(manager->Catalog.Header.SpecialCountdown, 2);
  EXPECT_EQ(manager->Catalog.Header.SpecialsLeft, 3);
}

// Pending files and the update rule -------------------------------------------

TEST_F(SelectionTest, PendingFilesCountsWhatIsLeftToFetch) {
  Builder.Add(CAT_SKIT, 1, SKIT_SCHEDULED, SEL_AUTO, "Half", {"1.a", "1.b", "1.c", "1.d"}).FilesDone = 2;
  Builder.Add(CAT_SPECIAL, 2, SKIT_SCHEDULED, SEL_AUTO, "Special", {"2.a", "2.b"});
  Builder.Add(CAT_NOTICE, 3, SKIT_SCHEDULED, SEL_AUTO, "Notice", {"3.a"});
  Builder.Add(CAT_SKIT, 4, SKIT_SCHEDULED, SEL_AUTO, "Overdone", {"4.a", "4.b", "4.c", "4.d"}).FilesDone = 5;
  Builder.Add(CAT_SKIT, 5, SKIT_AVAILABLE, SEL_NONE, "Offered", {"5.a", "5.b"});
  // A slot behind Count is not counted.
  SkitRecord& stale = Builder.Block->Records[5];
  stale.State = SKIT_SCHEDULED;
  stale.Category = CAT_SKIT;
  stale.FileCount = 4;
  auto manager = Open();
  EXPECT_EQ(manager->PendingFiles(CAT_SKIT, SKIT_SCHEDULED), 2u);
  EXPECT_EQ(manager->PendingFiles(CAT_SPECIAL, SKIT_SCHEDULED), 2u);
  EXPECT_EQ(manager->PendingFiles(CAT_ANY, SKIT_SCHEDULED), 5u);
  EXPECT_EQ(manager->PendingFiles(CAT_ANY, SKIT_AVAILABLE), 2u);
  EXPECT_EQ(manager->PendingFiles(CAT_ANY, SKIT_FAILED), 0u);
}

// Due strictly after LastSync plus the interval; the interval in days is
// widened before it is multiplied, so long intervals do not wrap in 32 bits.
TEST_F(SelectionTest, UpdateIsDueStrictlyAfterTheInterval) {
  struct Case {
    uint32_t Days;
    uint64_t Elapsed;
    bool Due;
  };
  const Case cases[] = {
      {7, 7 * DATETIME_DAY, false},
      {7, 7 * DATETIME_DAY + 1, true},
      {0, 0, false},
      {0, 1, true},
      {30000, 29999 * DATETIME_DAY, false},
      {30000, 30000 * DATETIME_DAY + 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Days) + " days, " + std::to_string(c.Elapsed) + " elapsed");
    Builder.Block->Header.SyncIntervalDays = c.Days;
    Builder.Block->Header.LastSync = Now - c.Elapsed;
    auto manager = Open();
    EXPECT_EQ(manager->IsUpdateDue(), c.Due);
  }

  // Scheduled files of regular skits make it due at once; those of other
  // categories do not.
  Builder.Block->Header.LastSync = Now;
  Builder.Add(CAT_SPECIAL, 1, SKIT_SCHEDULED, SEL_AUTO, "Special", {"1.a"});
  auto manager = Open();
  EXPECT_FALSE(manager->IsUpdateDue());
  manager->Catalog.Records[0].Category = CAT_SKIT;
  EXPECT_TRUE(manager->IsUpdateDue());
}

TEST_F(SelectionTest, ReadOnlyCatalogueIsNeverDue) {
  Builder.Block->Header.LastSync = 0;
  Builder.Add(CAT_SKIT, 1, SKIT_SCHEDULED, SEL_AUTO, "Pending", {"1.a"});
  Builder.Write(Settings.OpsFilePath);
  HANDLE held = CreateFileA(Settings.OpsFilePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  {
    cSkitManager manager(true);
    ASSERT_TRUE(manager.IsReadOnly());
    EXPECT_EQ(manager.PendingFiles(CAT_SKIT, SKIT_SCHEDULED), 1u);
    EXPECT_FALSE(manager.IsUpdateDue());
  }
  CloseHandle(held);
}

// A scheduled skit past its ShowUntil is never fetched: it is not pending,
// does not keep the catalogue due, and an available one is not scheduled.
TEST_F(SelectionTest, AnExpiredSkitIsNeitherPendingNorDueNorScheduled) {
  Builder.Block->Header.LastSync = Now;
  Builder.Block->Header.SyncIntervalDays = 7;
  Builder.Add(CAT_SKIT, 1, SKIT_SCHEDULED, SEL_AUTO, "Over", {"over.mov"}).ShowUntil = Now;
  Builder.Add(CAT_SKIT, 2, SKIT_AVAILABLE, SEL_NONE, "Also over", {"also.mov"}).ShowUntil = Now - kSecond;
  Builder.Add(CAT_SKIT, 3, SKIT_AVAILABLE, SEL_NONE, "Still on", {"on.mov"}).ShowUntil = Now + kSecond;
  auto manager = Open();
  EXPECT_EQ(manager->PendingFiles(CAT_SKIT, SKIT_SCHEDULED), 0u);
  EXPECT_FALSE(manager->IsUpdateDue());
  manager->ScheduleAvailable();
  EXPECT_EQ(manager->Catalog.Records[1].State, SKIT_AVAILABLE);
  EXPECT_EQ(manager->Catalog.Records[2].State, SKIT_SCHEDULED);
  EXPECT_EQ(manager->PendingFiles(CAT_SKIT, SKIT_SCHEDULED), 1u);
  EXPECT_TRUE(manager->IsUpdateDue());
}

// An interval so long that the due time would pass the largest time never
// comes due; computed naively it wraps to a time just after LastSync.
TEST_F(SelectionTest, AHugeIntervalNeverComesDue) {
  Builder.Block->Header.LastSync = Now - 2 * DATETIME_DAY;
  for (const uint32_t days : {21350399u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(days);
    Builder.Block->Header.SyncIntervalDays = days;
    auto manager = Open();
    EXPECT_FALSE(manager->IsUpdateDue());
  }
}
