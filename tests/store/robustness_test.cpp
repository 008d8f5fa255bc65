// Damaged catalogue files: whatever the bytes, opening either works or
// reports the file as missing or corrupt; it never crashes or hangs.
#include <random>

#include "base/files.h"
#include "tests/store/catalog_builder.h"

namespace {

class CatalogueDamage : public CatalogTest {
 protected:
  CatalogueDamage() {
    // The skits folder sits deep in the scratch folder, so that a damaged
    // file name that climbs out of it still lands inside the scratch folder.
    std::string folder = Dir.Path();
    for (const char* part : {"a", "b", "c", "d", "skits"}) {
      folder = JoinPath(folder, part);
      CreateDirectoryA(folder.c_str(), nullptr);
    }
    Settings.SkitsPath = folder;

    CatalogHeader& header = Builder.Block->Header;
    header.SpecialsOn = 1;
    header.SpecialInterval = 2;
    header.SpecialsPerRun = 3;
    Builder.Add(CAT_NOTICE, 1, SKIT_INSTALLED, SEL_ON, "Notice", {"n1.mov"});
    Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "One", {"1.mov", "1.txt", "1.bmp"});
    SkitRecord& two = Builder.Add(CAT_SKIT, 2, SKIT_INSTALLED, SEL_ON, "Two", {"2.mov"});
    two.HotKey.KeyCode = 'K';
    two.HotKey.Link.Id = Builder.Text("http://127.0.0.1/two");
    Builder.Add(CAT_SKIT, 3, SKIT_SCHEDULED, SEL_AUTO, "Three", {"3.mov", "3.bmp"}).FilesDone = 1;
    Builder.Add(CAT_SPECIAL, 4, SKIT_INSTALLED, SEL_ON, "Four", {"4.mov"}).PlaysLeft = 3;
    Builder.Add(CAT_SKIT, 5, SKIT_NOT_AVAILABLE, SEL_NONE, "Five", {"5.mov"});
  }

  // Opens the catalogue in file and uses it a little; returns the failure
  // text, or an empty text when it opened.
  std::string OpenAndUse(const std::string& file) {
    testing_support::WriteFileBytes(Settings.OpsFilePath, file);
    try {
      cSkitManager manager(false);
      for (int i = 0; i < 4; ++i) manager.NextSkit();
      SkitListItem items[CATALOG_MAX_SKITS];
      manager.ExportList(items, CAT_SKIT);
      manager.ImportList(items, manager.ExportList(items, CAT_SKIT), CAT_SKIT);
      manager.FindHotKey('K');
      manager.PendingFiles(CAT_ANY, SKIT_SCHEDULED);
      manager.IsUpdateDue();
      return {};
    } catch (const std::runtime_error& error) {
      return error.what();
    }
  }

  void Mutate(const uint8_t* transform, uint32_t seed, int rounds) {
    Builder.Write(Settings.OpsFilePath, transform);
    const std::string valid = testing_support::ReadFileBytes(Settings.OpsFilePath);
    ASSERT_EQ(OpenAndUse(valid), "");

    // Most of the file is zero filler (unused slots of the block and of the
    // directory); half the changes go to the parts that are read: the block's
    // header and records in use, the directory slots in use, the trailer.
    struct Range {
      size_t At;
      size_t Size;
    };
    std::vector<Range> dense;
    {
      cPakFile pak(Settings.OpsFilePath, true, nullptr, GENERIC_READ);
      const PakSlot block = pak.Slot(static_cast<uint32_t>(pak.FindEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID)));
      dense.push_back({pak.DataBase() + block.Offset, CATALOG_HEADER_SIZE + Builder.Block->Header.Count * SKIT_RECORD_SIZE});
      dense.push_back({pak.DataBase() + pak.DataEnd(), PAK_DIRECTORY_HEADER_SIZE + pak.Count() * PAK_SLOT_SIZE});
      dense.push_back({valid.size() - PAK_TRAILER_SIZE, PAK_TRAILER_SIZE});
    }

    std::mt19937 random(seed);
    int opened = 0;
    for (int round = 0; round < rounds; ++round) {
      std::string file = valid;
      const int changes = 1 + static_cast<int>(random() % 4);
      for (int n = 0; n < changes; ++n) {
        size_t at = random() % file.size();
        if (random() % 2 == 0) {
          const Range& range = dense[random() % dense.size()];
          at = range.At + random() % range.Size;
        }
        // Small numbers and all-ones bytes reach the limits more often than
        // uniform noise would.
        switch (random() % 4) {
          case 0: file[at] = static_cast<char>(random() % 8); break;
          case 1: file[at] = static_cast<char>(0xFF); break;
          default: file[at] = static_cast<char>(random()); break;
        }
      }
      const std::string failure = OpenAndUse(file);
      if (failure.empty()) {
        ++opened;
      } else if (failure != CorruptText() && failure != "Pak not found.") {
        ADD_FAILURE() << "round " << round << ": " << failure;
      }
    }
    // Plenty of changes land in texts, counters and filler, and still open.
    EXPECT_GT(opened, rounds / 4);
    EXPECT_LT(opened, rounds);
  }
};

}  // namespace

TEST_F(CatalogueDamage, RandomChangesToAPlainCatalogue) { Mutate(nullptr, 20240101, 1500); }

TEST_F(CatalogueDamage, RandomChangesToATransformedCatalogue) { Mutate(kCyclingTransform, 20240102, 1500); }

// Every length from empty to one byte short of the whole.
TEST_F(CatalogueDamage, TruncatedCatalogue) {
  Builder.Write(Settings.OpsFilePath);
  const std::string valid = testing_support::ReadFileBytes(Settings.OpsFilePath);
  for (size_t length = 0; length < valid.size(); length += 97) {
    const std::string failure = OpenAndUse(valid.substr(0, length));
    EXPECT_EQ(failure, CorruptText()) << length;
  }
}
