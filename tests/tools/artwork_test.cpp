// What the build drew: the bitmaps and the icon have the shapes the resources
// and the settings dialog need.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/little_endian.h"
#include "tests/support/testing.h"

namespace {

const std::string kGenerated = DG_GENERATED_DIR;

uint32_t Read16(const std::string& bytes, size_t at) { return GetLe16(bytes.data() + at); }
uint32_t Read32(const std::string& bytes, size_t at) { return GetLe32(bytes.data() + at); }

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> names;
  std::stringstream stream(list);
  for (std::string name; std::getline(stream, name, ',');)
    if (!name.empty()) names.push_back(name);
  return names;
}

// Checks a 24-bit BMP file's header against its size and returns how many
// different colours it holds.
size_t CheckBmp24(const std::string& path, uint32_t width, uint32_t height) {
  SCOPED_TRACE(path);
  std::string bytes = testing_support::ReadFileBytes(path);
  const uint32_t stride = (width * 3 + 3) & ~3u;
  EXPECT_EQ(bytes.size(), 54 + stride * height);
  if (bytes.size() != 54 + stride * height) return 0;
  EXPECT_EQ(bytes.substr(0, 2), "BM");
  EXPECT_EQ(Read32(bytes, 2), bytes.size());
  EXPECT_EQ(Read32(bytes, 10), 54u);
  EXPECT_EQ(Read32(bytes, 14), 40u);
  EXPECT_EQ(Read32(bytes, 18), width);
  EXPECT_EQ(Read32(bytes, 22), height);
  EXPECT_EQ(Read16(bytes, 26), 1u);
  EXPECT_EQ(Read16(bytes, 28), 24u);
  EXPECT_EQ(Read32(bytes, 30), static_cast<uint32_t>(BI_RGB));
  std::set<uint32_t> colours;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      size_t at = 54 + y * stride + x * 3;
      colours.insert(Read32(bytes.substr(at, 3) + '\0', 0));
    }
  return colours.size();
}

}  // namespace

TEST(Artwork, BitmapsHaveTheSizesTheirPlacesNeed) {
  // Many colours: a real picture, not a flat fill left by a failed drawing.
  EXPECT_GT(CheckBmp24(kGenerated + "/preview.bmp", 152, 112), 20u);
  EXPECT_GT(CheckBmp24(kGenerated + "/aboutbox.bmp", 360, 216), 20u);
  for (const std::string& name : Split(DG_DEMO_PREVIEWS))
    EXPECT_GT(CheckBmp24(kGenerated + "/demo/" + name + ".bmp", 128, 128), 10u) << name;
}

TEST(Artwork, IconHoldsLargeAndSmallImagesWithSeeThroughCorners) {
  std::string bytes = testing_support::ReadFileBytes(kGenerated + "/drearigrams.ico");
  ASSERT_GE(bytes.size(), 6u);
  EXPECT_EQ(Read16(bytes, 0), 0u);
  EXPECT_EQ(Read16(bytes, 2), 1u);
  uint32_t count = Read16(bytes, 4);
  ASSERT_GE(bytes.size(), 6 + 16 * count);
  std::set<uint32_t> sizes;
  for (uint32_t i = 0; i < count; ++i) {
    size_t entry = 6 + 16 * i;
    uint32_t size = static_cast<uint8_t>(bytes[entry]);
    SCOPED_TRACE("image " + std::to_string(size));
    EXPECT_EQ(static_cast<uint8_t>(bytes[entry + 1]), size);
    EXPECT_EQ(Read16(bytes, entry + 6), 32u);
    uint32_t length = Read32(bytes, entry + 8), offset = Read32(bytes, entry + 12);
    const uint32_t maskStride = (size + 31) / 32 * 4;
    ASSERT_EQ(length, 40 + size * size * 4 + maskStride * size);
    ASSERT_LE(static_cast<size_t>(offset) + length, bytes.size());
    EXPECT_EQ(Read32(bytes, offset), 40u);
    EXPECT_EQ(Read32(bytes, offset + 4), size);
    EXPECT_EQ(Read32(bytes, offset + 8), 2 * size);
    // Rows are stored bottom-up: the first pixel is the bottom-left corner.
    const size_t pixels = offset + 40;
    const size_t mask = pixels + size * size * 4;
    EXPECT_EQ(Read32(bytes, pixels) >> 24, 0u);  // corner: see-through
    EXPECT_TRUE(static_cast<uint8_t>(bytes[mask]) & 0x80);
    size_t centre = pixels + (size / 2 * size + size / 2) * 4;
    EXPECT_EQ(Read32(bytes, centre) >> 24, 0xFFu);  // middle: solid
    EXPECT_FALSE(static_cast<uint8_t>(bytes[mask + size / 2 * maskStride + size / 2 / 8]) & (0x80 >> (size / 2 % 8)));
    sizes.insert(size);
  }
  EXPECT_TRUE(sizes.count(32));
  EXPECT_TRUE(sizes.count(16));
}
