// What the answer to a transfer's request is, decided once from its status
// and headers before a byte of its body is written anywhere; the transfer
// then acts on the kind alone.
#pragma once

#include <cstdint>
#include <string>

#include "download/resume.h"

enum class TResponseKind {
  NotModified,   // 304 to a conditional request: the list has not changed
  Whole,         // 200: the whole file, from its first byte
  Resumed,       // 206: the rest of the partial file on disk
  AlreadyWhole,  // 416 at the end of a partial file that is all of the file
  Refused,       // the server will not give this file as asked; asking again will not help
  Transient,     // no good now; the next transfer starts over
  Unchecked,     // another status, which the transfer fails on its own
};

// What the response carried, as far as the kind depends on it.
struct TResponseFacts {
  int32_t Status = 0;
  std::string StatusText;
  std::string ContentEncoding;
  std::string ContentRange;
  int64_t ContentLength = 0;  // 0 when the response sent none
  std::string ETag;
};

struct TResponseClass {
  TResponseKind Kind = TResponseKind::Unchecked;
  std::string Reason;     // for Refused and Transient
  uint64_t Total = 0;     // the whole file's length, when TotalKnown
  bool TotalKnown = false;
};

// Server errors, a time-out and "too many requests" may pass; every other
// error status is the server's answer about this file.
bool IsTransientStatus(int32_t status);

// base is where the response body would land in the partial file.
TResponseClass ClassifyResponse(const TResponseFacts& response, const TResumeState& state, uint64_t base);
