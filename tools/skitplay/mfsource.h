// Movies through Media Foundation, the system's own decoders: whatever
// container and codecs this system has decoders for (H.264 and AAC in MP4,
// WMV on every desktop Windows but the N editions; HEVC, VP9 and AV1 where
// their extensions are installed).
#pragma once

#include <memory>
#include <string>

#include "tools/skitplay/moviesource.h"

namespace movie {

// Opens a movie file for reading in decoded form. The source starts Media
// Foundation for its thread and shuts it down when it is destroyed, so it
// is made, used and destroyed on one thread. Sound is read only when
// withSound is true and the movie has a sound track. Throws MovieError with
// the reason when the file cannot be played (an MP4 cut short or damaged,
// which isofile.h finds before the system's reader opens it, not a movie,
// no video stream, no decoder for it, Media Foundation missing).
std::unique_ptr<MovieSource> OpenSystemMovie(const std::string& path, bool withSound);

}  // namespace movie
