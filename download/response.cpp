#include "download/response.h"

#include <windows.h>

#include <cstring>

namespace {

TResponseClass Kind(TResponseKind kind, std::string reason = {}) {
  TResponseClass result;
  result.Kind = kind;
  result.Reason = std::move(reason);
  return result;
}

TResponseClass WithTotal(TResponseKind kind, uint64_t total) {
  TResponseClass result = Kind(kind);
  result.Total = total;
  result.TotalKnown = true;
  return result;
}

}  // namespace

bool IsTransientStatus(int32_t status) { return status >= 500 || status == 408 || status == 429; }

TResponseClass ClassifyResponse(const TResponseFacts& response, const TResumeState& state, uint64_t base) {
  const int32_t status = response.Status;
  if (status == 304 && !state.Conditions.Empty()) return Kind(TResponseKind::NotModified);
  if (status == 200 || status == 206) {
    // WinINet is not asked to decode anything: a body encoded anyway (a
    // server that compresses whatever the client said) would be stored as
    // something that is not the file.
    const std::string& encoding = response.ContentEncoding;
    if (!encoding.empty() && _stricmp(encoding.c_str(), "identity") != 0) {
      return Kind(TResponseKind::Refused,
                  "The server sent the file encoded as \"" + encoding + "\", not as the file itself.");
    }
  }
  if (status == 206 && state.Resuming) {
    uint64_t first = 0, last = 0, total = 0;
    const int64_t length = response.ContentLength;
    if (!ParseContentRange(response.ContentRange, first, last, total) || first != state.Record.Bytes ||
        last + 1 != total || (length > 0 && static_cast<uint64_t>(length) != last - first + 1)) {
      return Kind(TResponseKind::Transient, "Wrong Content-Range \"" + response.ContentRange + "\" for a file of " +
                                                std::to_string(state.Record.Bytes) + " bytes.");
    }
    const std::string& etag = state.Record.Validators.ETag;
    if (!response.ETag.empty() && IfRangeValue(state.Record.Validators) == etag && response.ETag != etag) {
      return Kind(TResponseKind::Transient, "The server sent the rest of another version of the file.");
    }
    return WithTotal(TResponseKind::Resumed, total);
  }
  // Part of a file nobody asked a part of.
  if (status == 206) return Kind(TResponseKind::Transient, "The server sent part of the file unasked: HTTP status 206.");
  if (status == 416 && state.Resuming) {
    // The range starts at or past the end of the file the If-Range names (a
    // stale If-Range gets the whole new file instead). A transfer that ended
    // after the last byte had come in (a cancel just then) keeps a partial
    // file that is the whole file: it needs nothing more. Anything else
    // starts over next time; the server has not refused the file.
    uint64_t total = 0;
    if (ParseUnsatisfiedRange(response.ContentRange, total) && total == state.Record.Bytes && base == total) {
      return WithTotal(TResponseKind::AlreadyWhole, total);
    }
    return Kind(TResponseKind::Transient, "HTTP status 416 " + response.StatusText +
                                              ": the partial download does not fit the file on the server.");
  }
  if (state.Resuming && status != 200) {
    // Nothing of an error page goes into the partial file.
    return Kind(IsTransientStatus(status) ? TResponseKind::Transient : TResponseKind::Refused,
                "HTTP status " + std::to_string(status) + " " + response.StatusText);
  }
  if (status != 200) return Kind(TResponseKind::Unchecked);
  if (response.ContentLength > 0) return WithTotal(TResponseKind::Whole, static_cast<uint64_t>(response.ContentLength));
  return Kind(TResponseKind::Whole);
}
