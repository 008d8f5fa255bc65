// Catalogue files for the tests, written through the product's own archive
// and block code, and the fixture the catalogue tests share: a scratch
// installation (catalogue, skits folder, download folder, download log) and
// a clock that stands still.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/settings.h"
#include "store/catalogue.h"
#include "tests/support/testing.h"

class CatalogBuilder {
 public:
  CatalogBuilder();

  // A string entry for text; returns its id.
  int32_t Text(const std::string& text);
  // Appends a record with a title, an info text, and files with names and
  // addresses. Installed records count all their files done. Plays are
  // unlimited and the show window is open. Bytes the tests do not name
  // (reserved bytes, pointer slots) are left as they are in the slot.
  SkitRecord& Add(uint8_t category, int32_t skitId, uint8_t state, uint8_t selection, const std::string& title,
                  const std::vector<std::string>& files);
  // Every byte of the block, the header and all 100 slots, from a seeded
  // generator; Count 0.
  void Scramble(uint32_t seed);

  std::vector<uint8_t> BlockBytes() const;
  // The catalogue archive with every text and the block (or other bytes in
  // its place); a null transform leaves the archive plain.
  void Write(const std::string& path, const uint8_t* transform = nullptr) const;
  void Write(const std::string& path, const std::vector<uint8_t>& block, const uint8_t* transform = nullptr) const;

  std::unique_ptr<CatalogBlock> Block;
  std::map<int32_t, std::string> Texts;
  // Written with the entry that says the texts are UTF-8, as today's writers
  // write; without it, as the catalogues written before.
  bool Utf8Texts = false;
  int32_t NextText = 1;
  // The maker's public key, written as "MKEY" 1 when not empty.
  std::vector<uint8_t> MakerKey;
};

// The block and texts of a catalogue file as it is on disk now.
std::vector<uint8_t> ReadBlockBytes(const std::string& path);
std::unique_ptr<CatalogBlock> ReadBlock(const std::string& path);
std::string ReadText(const std::string& path, int32_t id);

// A transform in cycling mode, for archives whose bodies are encoded.
extern const uint8_t kCyclingTransform[8];

class CatalogTest : public ::testing::Test {
 protected:
  CatalogTest();
  ~CatalogTest() override;

  // Writes Builder's catalogue and opens it.
  std::unique_ptr<cSkitManager> Open(bool runMode = false, const uint8_t* transform = nullptr);
  // Puts the named files into the skits folder.
  void Install(const std::vector<std::string>& names);
  std::string SkitFile(const std::string& name) const;
  std::vector<std::string> LogLines() const;
  std::string CorruptText() const;

  static uint64_t Now;
  static cDateTime FixedClock();

  testing_support::TempDir Dir;
  cSettings Settings;
  CatalogBuilder Builder;
};

constexpr uint64_t kSecond = 10000000ull;
