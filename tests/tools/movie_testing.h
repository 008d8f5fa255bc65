// The test movies (made at build time by make_movies.sh), and whether this
// edition can decode them at all.
#pragma once

#include <windows.h>

#include <string>

#include "tools/skitplay/mfsource.h"

namespace movie_testing {

inline std::string MoviePath(const char* name) {
  const std::string folder = DG_TEST_MOVIES;
  if (folder.empty()) return {};
  char full[MAX_PATH] = {};
  GetFullPathNameA((folder + "/" + name).c_str(), MAX_PATH, full, nullptr);
  return full;
}

// Why the movie cases cannot run here, or empty when they can: no ffmpeg at
// build time, or a 32-bit Wine without the 32-bit GStreamer plugins that its
// Media Foundation decodes through (the 64-bit edition has no such excuse:
// there a missing decoder is a failure).
inline std::string WhyNoMovies() {
  if (std::string(DG_TEST_MOVIES).empty()) return "ffmpeg was not found at build time: no test movies";
  if (sizeof(void*) == 8) return {};
  try {
    movie::Sample sample;
    movie::OpenSystemMovie(MoviePath("segments.mp4"), false)->Next(sample);
  } catch (const std::exception& error) {
    return std::string("this 32-bit Wine decodes no H.264 (its Media Foundation needs the i386 GStreamer plugins, "
                       "gstreamer1.0-libav:i386 and gstreamer1.0-plugins-good:i386): ") +
           error.what();
  }
  return {};
}

}  // namespace movie_testing
