// The outline of an ISO base media file (MP4, MOV, 3GP), checked before the
// system's reader sees it: a file cut short or damaged gets its reason at
// once, and Wine's reader, which was seen to hang on such files now and
// then, never gets them.
#pragma once

#include <string>

namespace movie {

// Empty when the file is not an ISO base media file (it does not start with
// one of their boxes) or when its top-level boxes chain from the first byte
// to the last and one of them is the movie header; otherwise why not. Throws
// MovieError when the file cannot be read.
std::string IsoFileProblem(const std::string& path);

}  // namespace movie
