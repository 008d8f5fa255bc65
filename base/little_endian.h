// Integers stored low byte first, the order of every file this system reads
// or writes (pak archives, the catalogue block, synchronisation files, the
// signed lists, bitmaps and icons). Each byte is read and written on its
// own, so a field may sit at any offset, aligned or not, and the host's own
// byte order never counts. Byte is any one-byte type (uint8_t, char), so
// the same calls serve a block of uint8_t and the bytes of a std::string.
#pragma once

#include <cstdint>

template <typename Byte>
constexpr uint16_t GetLe16(const Byte* p) {
  static_assert(sizeof(Byte) == 1);
  return static_cast<uint16_t>(static_cast<uint8_t>(p[0]) | static_cast<uint8_t>(p[1]) << 8);
}

template <typename Byte>
constexpr uint32_t GetLe32(const Byte* p) {
  static_assert(sizeof(Byte) == 1);
  return static_cast<uint32_t>(static_cast<uint8_t>(p[0])) | static_cast<uint32_t>(static_cast<uint8_t>(p[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(p[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(p[3])) << 24;
}

template <typename Byte>
constexpr uint64_t GetLe64(const Byte* p) {
  return static_cast<uint64_t>(GetLe32(p)) | static_cast<uint64_t>(GetLe32(p + 4)) << 32;
}

template <typename Byte>
constexpr void PutLe16(Byte* p, uint16_t value) {
  static_assert(sizeof(Byte) == 1);
  p[0] = static_cast<Byte>(value & 0xFF);
  p[1] = static_cast<Byte>(value >> 8);
}

template <typename Byte>
constexpr void PutLe32(Byte* p, uint32_t value) {
  static_assert(sizeof(Byte) == 1);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<Byte>((value >> (8 * i)) & 0xFF);
}

template <typename Byte>
constexpr void PutLe64(Byte* p, uint64_t value) {
  PutLe32(p, static_cast<uint32_t>(value));
  PutLe32(p + 4, static_cast<uint32_t>(value >> 32));
}

// Appends to a std::string or a std::vector of one-byte values.
template <typename Bytes>
void AppendLe16(Bytes& out, uint16_t value) {
  static_assert(sizeof(typename Bytes::value_type) == 1);
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<typename Bytes::value_type>((value >> (8 * i)) & 0xFF));
}

template <typename Bytes>
void AppendLe32(Bytes& out, uint32_t value) {
  static_assert(sizeof(typename Bytes::value_type) == 1);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<typename Bytes::value_type>((value >> (8 * i)) & 0xFF));
}

template <typename Bytes>
void AppendLe64(Bytes& out, uint64_t value) {
  AppendLe32(out, static_cast<uint32_t>(value));
  AppendLe32(out, static_cast<uint32_t>(value >> 32));
}
