// What a skit file holds, told by its own bytes rather than its name: one of
// our scripted scenes, or a movie for the system's decoders.
#pragma once

#include <string>

namespace skit {

enum class FileKind { Empty, Scene, Movie };

// How many of the first bytes KindOfBytes looks at.
constexpr size_t kKindProbeBytes = 512;

// A file that starts like a container the system may decode (MP4 and
// QuickTime, ASF and WMV, Matroska and WebM, AVI, MPEG) is a movie. Other
// text (no control characters but tab, CR and LF in the probe) is a scene,
// so that a scene with a typo still gets the parser's own reason. Anything
// else is a movie too: the system may know formats we do not.
FileKind KindOfBytes(const std::string& head);

// Reads the probe of a file; throws std::runtime_error naming the file when
// it cannot be read.
FileKind KindOfFile(const std::string& path);

}  // namespace skit
