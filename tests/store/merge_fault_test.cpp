// A merge that a full disk or a machine that stops cuts short, at any of
// its writes: the catalogue still opens, as it was before the list came or
// as the merge left it.
#include <algorithm>
#include <stdexcept>

#include "base/errors.h"
#include "tests/store/sync_testing.h"

using testing_support::FileFaults;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {

// The catalogue as the user sees it: every record with its texts.
std::vector<std::string> Describe(const cSkitManager& manager) {
  std::vector<std::string> lines;
  const CatalogHeader& header = manager.Catalog.Header;
  lines.push_back(Str(header.SyncUrl.Text) + " " + std::to_string(header.Count));
  for (uint32_t i = 0; i < header.Count; ++i) {
    const SkitRecord& record = manager.Catalog.Records[i];
    std::string line = std::to_string(record.Category) + "/" + std::to_string(record.SkitId) + " r" +
                       std::to_string(record.Revision) + " s" + std::to_string(record.State) + " " +
                       Str(record.Title.Text) + " | " + Str(record.Info.Text);
    for (uint32_t f = 0; f < record.FileCount; ++f) {
      line += " | " + Str(record.Files[f].Name.Text) + " " + Str(record.Files[f].Url.Text);
    }
    lines.push_back(line);
  }
  return lines;
}

class MergeFaults : public SyncTest {
 protected:
  MergeFaults() {
    Builder.Utf8Texts = true;
    Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Kites", {"kites.mov"}).Revision = 1;
    Builder.Add(CAT_SKIT, 2, SKIT_AVAILABLE, SEL_NONE, "Lanterns", {"lanterns.mov", "lanterns.bmp"});
    List.Add(CAT_SKIT, 1, 2, "Kites, the long cut", {"kites2.mov", "kites2.bmp"});
    List.Add(CAT_SKIT, 3, 1, "Marbles", {"marbles.mov"});
    List.Add(CAT_SKIT, 4, 1, "Ferries", {"ferries.mov", "ferries.bmp"});
    List.Add(CAT_SPECIAL, 5, 1, "Snow", {"snow.mov"});
  }

  // Opens the catalogue, merges the list and closes it again, with the file
  // layer's faults set by arm; what the catalogue was before is kept.
  void MergeWith(const std::function<void(FileFaults&)>& arm, FileFaults* keep = nullptr) {
    OpenManager();
    Before = Describe(*Manager);
    List.Write(SyncPath());
    FileFaults faults;
    arm(faults);
    try {
      Manager->ApplySyncFileAndSave(SyncPath(), false);
    } catch (const std::runtime_error&) {
    }
    Manager.reset();
    if (keep != nullptr) {
      keep->Writes = faults.Writes;
      keep->Cuts = faults.Cuts;
    }
  }

  // The catalogue file opens as a catalogue, as before or as after.
  void ExpectBeforeOrAfter(const std::string& why) {
    try {
      cSkitManager opened(false);
      const std::vector<std::string> found = Describe(opened);
      EXPECT_TRUE(found == Before || found == After) << why << ": " << ::testing::PrintToString(found);
    } catch (const std::runtime_error& error) {
      ADD_FAILURE() << why << ": " << error.what();
    }
  }

  SyncBuilder List;
  std::vector<std::string> Before, After;
};

}  // namespace

TEST_F(MergeFaults, AWriteThatFailsOrAMachineStoppedAtAnyWriteLeavesTheCatalogueBeforeOrAfter) {
  FileFaults clean;
  MergeWith([&](FileFaults& faults) { faults.CutsOf = Settings.OpsFilePath; }, &clean);
  {
    cSkitManager merged(false);
    After = Describe(merged);
  }
  ASSERT_NE(After, Before);
  ASSERT_EQ(After.size(), 6u);
  const std::string merged = ReadFileBytes(Settings.OpsFilePath);

  for (size_t k = 0; k < clean.Cuts.size(); ++k) {
    WriteFileBytes(Settings.OpsFilePath, clean.Cuts[k]);
    ExpectBeforeOrAfter("cut at " + std::to_string(k));
  }
  for (uint32_t k = 1; k <= clean.Writes; ++k) {
    MergeWith([&](FileFaults& faults) { faults.FailFrom = k; });
    ExpectBeforeOrAfter("failed from write " + std::to_string(k));
    EXPECT_FALSE(FileExists(Settings.OpsFilePath + "1"));
  }
  WriteFileBytes(Settings.OpsFilePath, merged);
  ExpectBeforeOrAfter("merged");
}

// The disk fills part-way through a real merge of many records; whatever
// got written, the catalogue opens, and a later merge with room goes through.
TEST_F(MergeFaults, AFullDiskDuringAMergeLeavesTheCatalogueBeforeOrAfter) {
  for (int32_t id = 10; id < 90; ++id) {
    List.Add(CAT_SKIT, id, 1, "Skit number " + std::to_string(id) + std::string(200, '.'),
             {"skit" + std::to_string(id) + ".mov", "skit" + std::to_string(id) + ".bmp"});
  }
  FileFaults room;
  MergeWith([](FileFaults&) {}, &room);
  {
    cSkitManager merged(false);
    After = Describe(merged);
  }
  const uint64_t written = GetFileSizeByName(Settings.OpsFilePath);
  for (uint64_t left : {uint64_t{0}, written / 4, written / 2, written, written * 2, written * 3}) {
    MergeWith([&](FileFaults& faults) { faults.BytesLeft = left; });
    ExpectBeforeOrAfter("full after " + std::to_string(left) + " bytes");
  }
  {
    MergeWith([](FileFaults& faults) { faults.BytesLeft = 0; });
    cSkitManager opened(false);
    EXPECT_EQ(Describe(opened), Before) << "a disk full from the start";
  }
  MergeWith([](FileFaults&) {});
  cSkitManager merged(false);
  EXPECT_EQ(Describe(merged), After);
}
