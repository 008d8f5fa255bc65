// The progress of a download sequence as a bar shows it: the sequence's
// files done and the current file's bytes, worked out without a window.
#pragma once

#include <cstdint>
#include <string>

// What the refresh shows, read from the catalogue and the worker.
struct DownloadProgress {
  std::string StatusText;
  uint32_t JobDone = 0;
  uint32_t JobTotal = 0;
  uint64_t BytesReceived = 0;
  uint64_t BytesTotal = 0;
};

// The bar over the whole sequence: maximum JobTotal x 100, position
// JobDone x 100 plus the current file's share, worked out in 64 bits so that
// files of any size count right; both clamp at UINT32_MAX.
uint32_t ProgressMaximum(const DownloadProgress& progress);
uint32_t ProgressPosition(const DownloadProgress& progress);
