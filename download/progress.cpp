#include "download/progress.h"

uint32_t ProgressMaximum(const DownloadProgress& progress) { return progress.JobTotal * 100u; }

// The current file's share: bytes x 100 / total, as the bar has always
// counted it (a body without Content-Length counts each byte 100 against a
// total of 1, and the bar clamps). Worked out in 64 bits and taken apart
// where bytes x 100 would wrap, so the bar never jumps back.
uint32_t ProgressPosition(const DownloadProgress& progress) {
  const uint64_t received = progress.BytesReceived;
  const uint64_t total = progress.BytesTotal != 0 ? progress.BytesTotal : 1u;
  if (received / total >= UINT32_MAX / 100) return UINT32_MAX;
  // Past UINT64_MAX / 100 bytes the total is far above 100.
  const uint64_t share = received <= UINT64_MAX / 100 ? received * 100 / total : received / (total / 100);
  const uint64_t position = share + uint64_t{progress.JobDone} * 100u;
  return position > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(position);
}
