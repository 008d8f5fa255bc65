// A skit's hot-key link comes from the content server over plain HTTP, so it
// is opened only when it is plainly harmless: a web or mail address, or a
// local program that the server cannot have put there itself.
#pragma once

#include <string>
#include <vector>

// Empty when target may be opened; otherwise the reason it may not.
// protectedFolders are the folders the server's files land in and the folder
// the user's own screensaver writes.
std::string LinkRefusal(const std::string& target, const std::vector<std::string>& protectedFolders);
