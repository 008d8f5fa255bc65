#include "store/pak.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/little_endian.h"
#include "tests/support/testing.h"

using testing_support::FileFaults;
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

using Entries = std::map<std::pair<uint32_t, int32_t>, std::string>;

Entries LiveEntries(cPakFile& pak) {
  Entries entries;
  for (uint32_t i = 0; i < pak.Count(); ++i) {
    const PakSlot slot = pak.Slot(i);
    if (!slot.Deleted) entries.emplace(std::make_pair(slot.Type, slot.Id), Body(pak, slot.Type, slot.Id));
  }
  return entries;
}

// The live entries of a file as a reader with no notion of unfinished
// changes sees them, or nothing when such a reader would refuse the file:
// the trailer in the last 144 bytes, the directory right before it, a
// directory of exactly its capacity, every body inside the data area.
std::optional<Entries> OldReaderEntries(const std::string& file) {
  if (file.size() < 144 || file.compare(file.size() - 4, 4, "pakh") != 0) return std::nullopt;
  const char* trailer = file.data() + file.size() - 144;
  const uint8_t* spec = reinterpret_cast<const uint8_t*>(trailer + 16);
  const uint64_t base = GetLe32(trailer + 132), dataEnd = GetLe32(trailer + 56), size = GetLe32(trailer + 60);
  if (base + dataEnd + size + 144 != file.size() || size < 16) return std::nullopt;
  std::string directory = file.substr(base + dataEnd, size);
  PakDecode(spec, reinterpret_cast<uint8_t*>(directory.data()), directory.size());
  const uint32_t capacity = GetLe32(directory.data() + 8), count = GetLe32(directory.data() + 12);
  if (16 + 24ull * capacity != size || count > capacity) return std::nullopt;
  Entries entries;
  for (uint32_t i = 0; i < count; ++i) {
    const char* slot = directory.data() + 16 + 24 * i;
    const uint32_t offset = GetLe32(slot + 12), length = GetLe32(slot + 16);
    if (uint64_t{offset} + length > dataEnd) return std::nullopt;
    if (slot[22] != 0) continue;
    std::string body = file.substr(base + offset, length);
    if (slot[23] != 0) PakDecode(spec, reinterpret_cast<uint8_t*>(body.data()), body.size());
    entries.emplace(std::make_pair(GetLe32(slot), static_cast<int32_t>(GetLe32(slot + 4))), body);
  }
  return entries;
}

}  // namespace

// Each change goes past the end, and the file opens at every step: the
// archive before stays whole at the front until compaction.
TEST(PakLayout, ChangesGoPastTheEndAndTheDirectoryGrowsByWholeSteps) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  {
    cPakFile pak(path, false);
    const std::string empty = ReadFileBytes(path);
    EXPECT_EQ(empty.size(), 160u);
    EXPECT_EQ(pak.DirectorySize(), 16u);
    EXPECT_EQ(pak.Capacity(), 0u);

    pak.WriteEntry(kBlob, 1, 0, false, 10, Bytes(10, 'a').data());
    EXPECT_EQ(pak.DirectorySize(), 4816u);
    EXPECT_EQ(pak.Capacity(), 200u);
    EXPECT_EQ(pak.Slot(0).Offset, 160u);
    EXPECT_EQ(pak.DataEnd(), 170u);
    const std::string one = ReadFileBytes(path);
    EXPECT_EQ(one.size(), 170u + 4816 + 144);
    EXPECT_TRUE(one.substr(0, 160) == empty);

    cPakBatch batch(pak);
    for (int id = 2; id <= 201; ++id) pak.WriteEntry(kBlob, id, 0, false, 1, "x");
    {
      cPakFile reader(path, true, nullptr, GENERIC_READ);
      EXPECT_EQ(reader.Count(), 1u) << "nothing of a batch counts before its end";
    }
    batch.Commit();
    EXPECT_EQ(pak.Capacity(), 400u);
    EXPECT_EQ(pak.Count(), 201u);
    const std::string file = ReadFileBytes(path);
    EXPECT_EQ(GetLe32(file.data() + file.size() - 144 + 60), 16u + 24 * 400);
    EXPECT_EQ(file.size(), one.size() + 200 + 9616 + 144);
    EXPECT_TRUE(file.substr(0, one.size()) == one);
  }
  EXPECT_EQ(ReadFileBytes(path).size(), 210u + 9616 + 144) << "compacted on close";
}

// An entry given its own bytes again is left alone; any other change is a
// new slot, and only a body the change itself wrote is overwritten.
TEST(PakLayout, RewritesSupersedeAndTheSameBytesAreLeftAlone) {
  for (const uint8_t* spec : {static_cast<const uint8_t*>(nullptr), kCycleSpec}) {
    TempDir dir;
    const std::string path = dir.File("a.pak");
    cPakFile pak(path, false, spec);
    pak.WriteEntry(kBlob, 7, 0, true, 0, "abcdef");
    pak.WriteEntry(kBlob, 8, 0, true, 0, "ghijkl");
    const std::string before = ReadFileBytes(path);
    pak.WriteEntry(kBlob, 7, 0, true, 0, "abcdef");
    EXPECT_TRUE(ReadFileBytes(path) == before);

    pak.WriteEntry(kBlob, 8, 0, true, 0, "GH");  // shorter
    pak.WriteEntry(kBlob, 7, 0, false, 0, "abcdef");  // only the transformed flag differs
    EXPECT_EQ(pak.Count(), spec != nullptr ? 4u : 3u);
    EXPECT_TRUE(pak.Slot(1).Deleted);
    EXPECT_EQ(pak.FindEntry(kBlob, 8), 2);
    EXPECT_EQ(Body(pak, kBlob, 8), std::string("GH", 3));
    EXPECT_EQ(Body(pak, kBlob, 7), std::string("abcdef", 7));

    cPakBatch batch(pak);
    pak.WriteEntry(kBlob, 9, 0, true, 0, "first");
    pak.WriteEntry(kBlob, 9, 0, true, 0, "then");
    batch.Commit();
    EXPECT_EQ(pak.Count(), spec != nullptr ? 5u : 4u) << "overwritten within its own change";
    EXPECT_EQ(Body(pak, kBlob, 9), std::string("then", 5));

    EXPECT_EQ(pak.NextId(kBlob), 10);
    EXPECT_EQ(pak.NextId(PakType("NONE")), 1);
    pak.WriteEntry(PakType("NEG "), -5, 0, false, 1, "x");
    EXPECT_EQ(pak.NextId(PakType("NEG ")), 1);
    EXPECT_EQ(pak.WriteEntry(kBlob, PAK_NEW_ID, 0, false, 1, "x"), 10);
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

TEST(PakLayout, OnlyAWritableArchiveThatIsNotCompactIsRewritten) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  WriteSample(path, nullptr);
  const std::string compact = ReadFileBytes(path);
  { cPakFile pak(path); }
  EXPECT_EQ(ReadFileBytes(path), compact);
  const std::string withDeleted = WriteSample(path, nullptr);
  WriteFileBytes(path, withDeleted);
  {
    cPakFile pak(path, true, nullptr, GENERIC_READ);
    EXPECT_FALSE(pak.IsCompact());
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
  // The compacted archive at every length; the one with a trailer for each
  // of its changes at every ninth.
  for (const int sample : {1, 2}) {
    for (size_t n = 0; n < samples[sample].size(); n += sample == 1 ? 9 : 1) {
      WriteFileBytes(path, samples[sample].substr(0, n));
      ExpectOpensOrCorrupt(path, GENERIC_READ);
    }
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

// The changes of a session, and what the file holds after each: a batch
// (a longer body, a shorter one, a new entry), then one write on its own,
// then the compaction at close.
TEST(PakChanges, AFailedWriteOrAMachineStoppedAtAnyWriteLeavesTheArchiveBeforeOrAfter) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  for (const uint8_t* spec : {static_cast<const uint8_t*>(nullptr), kCycleSpec}) {
    WriteSample(path, spec);
    const std::string start = ReadFileBytes(path);
    std::vector<Entries> states;
    std::string afterBatch;
    auto session = [&](bool record) {
      cPakFile pak(path);
      if (record) states = {LiveEntries(pak)};
      try {
        cPakBatch batch(pak);
        pak.WriteEntry(kBlob, 1, 0, true, 0, "first, and longer again");
        pak.WriteEntry(kBlob, 2, 7, false, 1, "a");
        pak.WriteEntry(PAK_TYPE_STRING, PAK_NEW_ID, 0, true, 0, "another string");
        batch.Commit();
      } catch (const std::runtime_error&) {
      }
      if (record) {
        states.push_back(LiveEntries(pak));
        afterBatch = ReadFileBytes(path);
      }
      try {
        pak.WriteEntry(kBlob, 3, 0, true, 300, Bytes(300, 3).data());
      } catch (const std::runtime_error&) {
      }
      if (record) states.push_back(LiveEntries(pak));
      return LiveEntries(pak);
    };

    uint32_t writes = 0;
    std::vector<std::string> cuts;
    {
      FileFaults faults;
      faults.CutsOf = path;
      session(true);
      writes = faults.Writes;
      cuts = faults.Cuts;
    }
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(OldReaderEntries(afterBatch), states[1]) << "a finished change is an archive as ever";
    EXPECT_EQ(OldReaderEntries(ReadFileBytes(path)), states[2]);
    EXPECT_GE(writes, 12u);
    for (size_t k = 0; k < cuts.size(); ++k) {
      WriteFileBytes(path, cuts[k]);
      cPakFile pak(path, true, nullptr, k % 2 ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE);
      EXPECT_NE(std::find(states.begin(), states.end(), LiveEntries(pak)), states.end()) << "cut " << k;
    }
    for (uint32_t k = 1; k <= writes; ++k) {
      WriteFileBytes(path, start);
      Entries held;
      {
        FileFaults faults;
        faults.FailFrom = k;
        held = session(false);
      }
      EXPECT_FALSE(FileExists(path + "1"));
      // What the object held in the end is what the file holds.
      cPakFile pak(path, true, nullptr, GENERIC_READ);
      EXPECT_EQ(LiveEntries(pak), held) << "write " << k;
      EXPECT_NE(std::find(states.begin(), states.end(), held), states.end()) << "write " << k;
    }
  }
}

// Files written before changes went past the end (bodies rewritten in place,
// a tail left behind a shorter one, the directory right after the data)
// open, and what is written to them opens by those same rules.
TEST(PakChanges, TheFormatReadsBothWays) {
  TempDir dir;
  const std::string path = dir.File("a.pak");
  std::string directory(16 + 24 * 2, '\0');
  directory.replace(0, 4, "paki");
  PutLe32(directory.data() + 8, 2);
  PutLe32(directory.data() + 12, 2);
  auto slot = [&](int i, int32_t id, uint32_t offset, uint32_t length, char deleted) {
    char* p = directory.data() + 16 + 24 * i;
    std::memcpy(p, "BLOB", 4);
    PutLe32(p + 4, static_cast<uint32_t>(id));
    PutLe32(p + 12, offset);
    PutLe32(p + 16, length);
    p[22] = deleted;
  };
  slot(0, 1, 0, 6, 1);
  slot(1, 1, 6, 3, 0);
  std::string trailer(144, '\0');
  std::memset(trailer.data() + 16, 13, 8);
  PutLe32(trailer.data() + 56, 12);  // three bytes of tail after the last body
  PutLe32(trailer.data() + 60, static_cast<uint32_t>(directory.size()));
  trailer.replace(140, 4, "pakh");
  WriteFileBytes(path, std::string("abcdefxy\0zzz", 12) + directory + trailer);
  {
    cPakFile pak(path);
    EXPECT_EQ(Body(pak, kBlob, 1), std::string("xy", 3));
    pak.WriteEntry(kBlob, 2, 0, false, 0, "new");
    const std::optional<Entries> written = OldReaderEntries(ReadFileBytes(path));
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, LiveEntries(pak));
  }
  const std::optional<Entries> compacted = OldReaderEntries(ReadFileBytes(path));
  ASSERT_TRUE(compacted.has_value());
  EXPECT_EQ(compacted->size(), 2u);
}
