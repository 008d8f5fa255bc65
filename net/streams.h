// The streams a response body is written to: a file on disk, or memory.
// Writing starts wherever the position was set and overwrites what is there.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/files.h"

class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  virtual void SetPosition(int64_t position) = 0;
  // Writes count bytes at the position and moves past them; throws on failure.
  virtual void WriteBuffer(const void* buffer, size_t count) = 0;
};

// A file opened in create mode: a new empty file, an existing one truncated.
// Failures throw std::runtime_error with the system's text and the file name.
class TFileStream : public TStream {
 public:
  explicit TFileStream(const std::string& fileName);
  ~TFileStream() override;

  void SetPosition(int64_t position) override;
  void WriteBuffer(const void* buffer, size_t count) override;
  const std::string& FileName() const { return FileName_; }

 private:
  std::string FileName_;
  cFile File_;
};

class TMemoryStream : public TStream {
 public:
  void SetPosition(int64_t position) override;
  void WriteBuffer(const void* buffer, size_t count) override;

  std::string Data;
  size_t Position = 0;
};
