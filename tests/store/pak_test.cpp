#include "store/pak.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/little_endian.h"
#include "tests/support/testing.h"

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

constexpr uint32_t kBlob = PakType("BLOB");
const uint8_t kXorSpec[8] = {PAK_OP_XOR, 0xA5, 13, 0, 13, 0, 13, 0};
const uint8_t kCycleSpec[8] = {PAK_OP_CYCLE, 0, PAK_OP_ROTATE_RIGHT, 3, PAK_OP_XOR, 0x5C, PAK_OP_REVERSE_BITS, 0};

std::string Body(cPakFile& pak, uint32_t type, int32_t id) {
  uint32_t length = 0;
  char* data = nullptr;
  pak.ReadEntry(type, id, &length, &data);
  std::string body(data, length);
  pak.ReleaseEntry(type, id, data);
  return body;
}

std::string CorruptText(const std::string& path) { return ErrorText(ERR_FILE_CORRUPT) + " " + path; }

void ExpectCorrupt(const std::string& path, const std::string& why) {
  try {
    cPakFile pak(path, true, nullptr, GENERIC_READ);
    ADD_FAILURE() << "opened: " << why;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), CorruptText(path)) << why;
  }
}

std::string Bytes(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

// A few entries written, one superseded and one rewritten in place; returns
// the file as it stood before the destructor compacted it.
std::string WriteSample(const std::string& path, const uint8_t* spec) {
  cPakFile pak(path, false, spec);
  pak.WriteEntry(kBlob, 1, 0, true, 0, "first");
  pak.WriteEntry(kBlob, 2, 7, false, 3, "xyz");
  pak.WriteEntry(kBlob, 1, 0, true, 0, "first, and longer");
  pak.WriteEntry(kBlob, 2, 7, false, 2, "ab");
  pak.WriteEntry(PAK_TYPE_STRING, PAK_NEW_ID, 0, true, 0, "a string");
  return ReadFileBytes(path);
}

// The outcome every damaged file must have: a clean open whose numbers stay
// inside the file and whose every live entry reads, or the corrupt-file text.
void ExpectOpensOrCorrupt(const std::string& path, DWORD access) {
  const uint64_t size = ReadFileBytes(path).size();
  try {
    cPakFile pak(path, true, nullptr, access);
    ASSERT_LE(pak.DirectorySize(), size);
    for (uint32_t i = 0; i < pak.Count(); ++i) {
      const PakSlot slot = pak.Slot(i);
      ASSERT_LE(uint64_t{slot.Offset} + slot.Length, pak.DataEnd());
      // The look-up may pick an earlier slot with the same type and id.
      if (!slot.Deleted) {
        const int32_t found = pak.FindEntry(slot.Type, slot.Id);
        EXPECT_EQ(Body(pak, slot.Type, slot.Id).size(), pak.Slot(found).Length);
      }
    }
  } catch (const std::runtime_error& e) {
    ASSERT_EQ(e.what(), CorruptText(path));
  }
}

}  // namespace

TEST(PakLayout, NewArchiveGrowsByWholeSteps) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  cPakFile pak(path, false);
  EXPECT_EQ(ReadFileBytes(path).size(), 160u);
  EXPECT_EQ(pak.DirectorySize(), 16u);
  EXPECT_EQ(pak.Capacity(), 0u);

  pak.WriteEntry(kBlob, 1, 0, false, 10, Bytes(10, 'a').data());
  EXPECT_EQ(pak.DirectorySize(), 4816u);
  EXPECT_EQ(pak.Capacity(), 200u);
  EXPECT_EQ(ReadFileBytes(path).size(), 10u + 4816 + 144);
  for (int id = 2; id <= 201; ++id) pak.WriteEntry(kBlob, id, 0, false, 1, "x");
  EXPECT_EQ(pak.Capacity(), 400u);
  EXPECT_EQ(pak.Count(), 201u);
  const std::string file = ReadFileBytes(path);
  EXPECT_EQ(GetLe32(file.data() + file.size() - 144 + 60), 16u + 24 * 400);
  EXPECT_EQ(file.size(), 210u + 9616 + 144);
}

TEST(PakLayout, RewriteInPlaceOrSupersede) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  cPakFile pak(path, false);
  pak.WriteEntry(kBlob, 7, 0, false, 0, "abcdef");
  pak.WriteEntry(kBlob, 8, 0, false, 0, "ghijkl");
  pak.WriteEntry(kBlob, 8, 0, false, 0, "GH");  // the last body, shorter
  EXPECT_EQ(pak.Slot(1).Offset, 7u);
  EXPECT_EQ(pak.DataEnd(), 14u);
  EXPECT_EQ(Body(pak, kBlob, 8), std::string("GH", 3));

  pak.WriteEntry(kBlob, 7, 0, false, 0, "abcdefgh");
  EXPECT_EQ(pak.Count(), 3u);
  EXPECT_TRUE(pak.Slot(0).Deleted);
  EXPECT_EQ(pak.FindEntry(kBlob, 7), 2);
  EXPECT_EQ(pak.NextId(kBlob), 9);
  EXPECT_EQ(pak.NextId(PakType("NONE")), 1);
  pak.WriteEntry(PakType("NEG "), -5, 0, false, 1, "x");
  EXPECT_EQ(pak.NextId(PakType("NEG ")), 1);
  EXPECT_EQ(pak.WriteEntry(kBlob, PAK_NEW_ID, 0, false, 1, "x"), 9);
}

// A rewrite that leaves its slot as it was writes only the body; one that
// changes the slot (here only its transformed flag) writes the directory.
TEST(PakLayout, RewriteUnderAnUnchangedSlotWritesOnlyTheBody) {
  for (const uint8_t* spec : {static_cast<const uint8_t*>(nullptr), kCycleSpec}) {
    TempDir dir;
    const std::string path = dir.File("a.pak");
    {
      cPakFile pak(path, false, spec);
      pak.WriteEntry(kBlob, 1, 0, true, 0, "abcdef");
      pak.WriteEntry(kBlob, 2, 0, true, 0, "ghijkl");
      const std::string before = ReadFileBytes(path);
      pak.WriteEntry(kBlob, 1, 0, true, 0, "ABCDEF");
      const std::string after = ReadFileBytes(path);
      EXPECT_EQ(after.size(), before.size());
      EXPECT_NE(after.substr(0, 7), before.substr(0, 7));
      EXPECT_EQ(after.substr(7), before.substr(7));
      pak.WriteEntry(kBlob, 2, 0, false, 0, "GHIJKL");
    }
    cPakFile pak(path, true, nullptr, GENERIC_READ);
    EXPECT_EQ(Body(pak, kBlob, 1), std::string("ABCDEF", 7));
    EXPECT_EQ(Body(pak, kBlob, 2), std::string("GHIJKL", 7));
    EXPECT_EQ(pak.Slot(0).Transformed, spec != nullptr ? 1 : 0);
    EXPECT_EQ(pak.Slot(1).Transformed, 0);
    EXPECT_EQ(pak.Slot(1).Offset, 7u);
  }
}

TEST(PakLayout, StringsAndLookUps) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  cPakFile pak(path, false);
  StringRef ref;
  ref.Id = pak.WriteEntry(PAK_TYPE_STRING, PAK_NEW_ID, 0, true, 0, "abc");
  EXPECT_EQ(pak.Slot(0).Length, 4u);
  pak.ReadString(ref);
  EXPECT_STREQ(ref.Text, "abc");
  pak.ReleaseEntry(PAK_TYPE_STRING, ref.Id, ref.Text);
  StringRef none;
  none.Text = reinterpret_cast<char*>(&none);
  pak.ReadString(none);
  EXPECT_EQ(none.Text, nullptr);

  try {
    Body(pak, kBlob, 1);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Pak not found.");
  }
}

TEST(PakLayout, CompactionPacksLiveBodiesInSlotOrder) {
  for (const uint8_t* spec : {static_cast<const uint8_t*>(nullptr), kCycleSpec}) {
    TempDir dir;
    const std::string path = dir.File("a.pak");
    // Give the archive a prefix, which compaction must carry along.
    { cPakFile created(path, false, spec); }
    std::string file = ReadFileBytes(path);
    PutLe32(file.data() + file.size() - 144 + 132, 5);
    WriteFileBytes(path, "HEAD!" + file);
    const uint64_t before = [&] {
      cPakFile pak(path);
      pak.WriteEntry(kBlob, 1, 0, true, 300, Bytes(300, 1).data());
      pak.WriteEntry(kBlob, 2, 0, true, 20, Bytes(20, 2).data());
      pak.WriteEntry(kBlob, 1, 0, true, 400, Bytes(400, 3).data());
      pak.WriteEntry(kBlob, 3, 0, false, 9000, Bytes(9000, 4).data());
      pak.WriteEntry(kBlob, 2, 0, true, 50, Bytes(50, 5).data());
      return ReadFileBytes(path).size();
    }();
    cPakFile pak(path);
    EXPECT_LT(ReadFileBytes(path).size(), before);
    EXPECT_EQ(ReadFileBytes(path).substr(0, 5), "HEAD!");
    ASSERT_EQ(pak.Count(), 3u);
    uint32_t at = 0;
    for (uint32_t i = 0; i < 3; ++i) {
      EXPECT_FALSE(pak.Slot(i).Deleted);
      EXPECT_EQ(pak.Slot(i).Offset, at);
      at += pak.Slot(i).Length;
    }
    EXPECT_EQ(pak.DataEnd(), at);
    EXPECT_EQ(Body(pak, kBlob, 1), Bytes(400, 3));
    EXPECT_EQ(Body(pak, kBlob, 2), Bytes(50, 5));
    EXPECT_EQ(Body(pak, kBlob, 3), Bytes(9000, 4));
  }
}

TEST(PakLayout, OnlyAWritableArchiveWithDeletedSlotsIsRewritten) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  std::string before;
  {
    cPakFile pak(path, false);
    pak.WriteEntry(kBlob, 1, 0, false, 0, "abcdef");
    pak.WriteEntry(kBlob, 1, 0, false, 0, "ab");  // leaves a tail that only compaction would remove
    before = ReadFileBytes(path);
  }
  EXPECT_EQ(ReadFileBytes(path), before);
  const std::string withDeleted = WriteSample(path, nullptr);
  WriteFileBytes(path, withDeleted);
  {
    cPakFile pak(path, true, nullptr, GENERIC_READ);
    EXPECT_THROW(pak.WriteEntry(kBlob, 9, 0, false, 0, "refused"), std::runtime_error);
  }
  EXPECT_EQ(ReadFileBytes(path), withDeleted);
  EXPECT_FALSE(FileExists(path + "1"));
}

TEST(PakTransform, EachOperationBothWays) {
  struct Case {
    uint8_t op, operand, plain, encoded;
  } cases[] = {
      {PAK_OP_ROTATE_RIGHT, 3, 0x81, 0x30}, {PAK_OP_ROTATE_RIGHT, 11, 0x81, 0x30}, {PAK_OP_XOR, 0x5A, 0x0F, 0x55},
      {PAK_OP_ROTATE_LEFT, 3, 0x81, 0x0C},  {PAK_OP_REVERSE_BITS, 0, 0x12, 0x48},  {PAK_OP_SWAP_NIBBLES, 0, 0x12, 0x21},
      {PAK_OP_PLAIN, 0, 0x12, 0x12},        {99, 0xFF, 0x12, 0x12},
  };
  for (const Case& c : cases) {
    // The plain case has to stand in the second pair: a first byte of 13
    // switches the whole transform off.
    const uint8_t spec[8] = {PAK_OP_CYCLE, 0, c.op, c.operand, c.op, c.operand, c.op, c.operand};
    uint8_t b = c.plain;
    PakEncode(spec, &b, 1);
    EXPECT_EQ(b, c.encoded) << int(c.op);
    PakDecode(spec, &b, 1);
    EXPECT_EQ(b, c.plain) << int(c.op);
  }
  for (uint8_t op : {PAK_OP_ROTATE_RIGHT, PAK_OP_XOR, PAK_OP_ROTATE_LEFT, PAK_OP_REVERSE_BITS, PAK_OP_SWAP_NIBBLES}) {
    for (int operand = 0; operand < 256; ++operand) {
      const uint8_t spec[8] = {op, static_cast<uint8_t>(operand), 13, 0, 13, 0, 13, 0};
      uint8_t all[256];
      for (int b = 0; b < 256; ++b) all[b] = static_cast<uint8_t>(b);
      PakEncode(spec, all, 256);
      PakDecode(spec, all, 256);
      for (int b = 0; b < 256; ++b) ASSERT_EQ(all[b], b) << int(op) << " " << operand;
    }
  }
}

TEST(PakTransform, CyclingRestartsPerBufferAndAtPlain) {
  auto encode = [](std::vector<uint8_t> spec, size_t n) {
    std::vector<uint8_t> data(n, 0);
    PakEncode(spec.data(), data.data(), n);
    return data;
  };
  using V = std::vector<uint8_t>;
  EXPECT_EQ(encode({6, 0xFF, 29, 1, 29, 2, 29, 4}, 7), (V{1, 2, 4, 1, 2, 4, 1}));
  EXPECT_EQ(encode({6, 0xFF, 29, 1, 29, 2, 29, 4}, 2), (V{1, 2}));
  EXPECT_EQ(encode({6, 0, 29, 1, 13, 0, 29, 4}, 5), (V{1, 0, 1, 0, 1}));
  EXPECT_EQ(encode({6, 0, 29, 1, 0, 0, 29, 4}, 5), (V{1, 0, 4, 1, 0}));
  EXPECT_EQ(encode({13, 0, 29, 1, 29, 1, 29, 1}, 2), (V{0, 0}));
}

TEST(PakTransform, ArchiveStoresEncodedDirectoryAndFlaggedBodies) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  const uint8_t offSpec[8] = {13, 29, 29, 29, 29, 29, 29, 29};
  for (const uint8_t* spec : {kXorSpec, offSpec}) {
    const bool on = spec[0] != 13;
    {
      cPakFile pak(path, false, spec);
      pak.WriteEntry(kBlob, 1, 0, true, 4, "ABCD");
      pak.WriteEntry(kBlob, 2, 0, false, 4, "EFGH");
      EXPECT_EQ(pak.Slot(0).Transformed, on ? 1 : 0);
      EXPECT_EQ(pak.Slot(1).Transformed, 0);
    }
    const std::string file = ReadFileBytes(path);
    EXPECT_EQ(file.substr(0, 4) == "ABCD", !on);
    EXPECT_EQ(file.substr(4, 4), "EFGH");
    EXPECT_EQ(file.substr(8, 4) == "paki", !on);
    cPakFile pak(path, true, nullptr, GENERIC_READ);
    EXPECT_EQ(Body(pak, kBlob, 1), "ABCD");
    EXPECT_EQ(Body(pak, kBlob, 2), "EFGH");
  }
}

TEST(PakRobustness, ShortAndCraftedFilesAreCorrupt) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  WriteSample(path, nullptr);
  const std::string good = ReadFileBytes(path);
  const size_t t = good.size() - 144, d = t - GetLe32(good.data() + t + 60);
  struct Patch {
    size_t at;
    uint32_t value;
  } patches[] = {
      {t + 132, 0xFFFFFFF0}, {t + 56, 0xFFFFFFFF}, {t + 60, 0xFFFFFFFF}, {t + 60, 8}, {t + 60, 0},  // trailer
      {d + 8, 0x7FFFFFFF}, {d + 8, 2}, {d + 12, 201},                                           // header
      {d + 16 + 12, 0xFFFFFFFF}, {d + 16 + 16, 0x7FFFFFF0},                                     // first slot
  };
  for (const Patch& p : patches) {
    std::string bad = good;
    PutLe32(bad.data() + p.at, p.value);
    WriteFileBytes(path, bad);
    ExpectCorrupt(path, std::to_string(p.value) + " at " + std::to_string(p.at));
  }
  for (const std::string& bad : {std::string(), std::string(143, 'x'), std::string(140, '\0') + "pakh"}) {
    WriteFileBytes(path, bad);
    ExpectCorrupt(path, std::to_string(bad.size()) + " bytes");
  }
  const std::string missing = dir.File("missing.pak");
  try {
    cPakFile pak(missing);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), ErrorText(ERROR_FILE_NOT_FOUND) + " " + missing);
  }
}

TEST(PakRobustness, EveryTruncationAndRandomMutations) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  const std::string samples[] = {WriteSample(path, nullptr), WriteSample(path, kCycleSpec), ReadFileBytes(path)};
  for (size_t n = 0; n < samples[1].size(); ++n) {
    WriteFileBytes(path, samples[1].substr(0, n));
    ExpectOpensOrCorrupt(path, GENERIC_READ);
  }
  std::mt19937 random(20240611);
  for (int round = 0; round < 3000; ++round) {
    std::string bad = samples[round % 3];
    // Aim most changes at the trailer, the directory header and the slots in
    // use; a body byte changes nothing an open could notice.
    const size_t trailer = bad.size() - 144, directory = trailer - GetLe32(bad.data() + trailer + 60);
    for (int k = 0, n = 1 + random() % 4; k < n; ++k) {
      const unsigned where = random() % 3;
      const size_t at = where == 0   ? trailer + random() % 144
                        : where == 1 ? directory + random() % (16 + 24 * 4)
                                     : random() % bad.size();
      bad[at] = static_cast<char>(random() % 2 ? bad[at] ^ (1 << random() % 8) : random());
    }
    WriteFileBytes(path, bad);
    ExpectOpensOrCorrupt(path, round % 2 ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE);
    if (HasFatalFailure()) FAIL() << "round " << round;
  }
}

TEST(PakRobustness, FailedCompactionLeavesArchiveWhole) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  for (int fault = 0; fault < 2; ++fault) {
    WriteSample(path, kXorSpec);
    std::string before;
    {
      cPakFile pak(path);
      pak.WriteEntry(kBlob, 2, 0, true, 0, "now longer than before");
      before = ReadFileBytes(path);
      if (fault == 0) CreateDirectoryA((path + "1").c_str(), nullptr);
      if (fault == 1) {
        cPakFile::MoveStep = [](LPCSTR, LPCSTR, DWORD) WINAPI -> BOOL {
          SetLastError(ERROR_ACCESS_DENIED);
          return FALSE;
        };
      }
    }
    cPakFile::MoveStep = MoveFileExA;
    RemoveDirectoryA((path + "1").c_str());
    EXPECT_EQ(ReadFileBytes(path), before);
    EXPECT_FALSE(FileExists(path + "1"));
    cPakFile pak(path, true, nullptr, GENERIC_READ);
    EXPECT_EQ(Body(pak, kBlob, 1), std::string("first, and longer", 18));
    EXPECT_EQ(Body(pak, kBlob, 2), std::string("now longer than before", 23));
    EXPECT_EQ(Body(pak, PAK_TYPE_STRING, 1), std::string("a string", 9));
  }
}
