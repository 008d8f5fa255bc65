// The encoding of the texts of a catalogue or a synchronisation file. An
// archive written by today's paktool or by the screensaver says that its
// texts are UTF-8 with one entry; an archive without it was written before
// it existed, by a program that stored its machine's ANSI code page, and is
// read as Windows-1252 (the code page the content was made in). Either way
// the program holds every text as UTF-8.
//
//   "TENC" 1   8-bit text with a terminating zero: "UTF-8", the only
//              encoding written. Any other name is refused: its texts would
//              be read as something they are not.
//
// In a signed list the entry is signed with every other byte of the file,
// so no one on the way can change how its texts are read.
#pragma once

#include <string>

#include "store/pak.h"

constexpr uint32_t PAK_TEXT_ENCODING_TYPE = PakType("TENC");
constexpr int32_t PAK_TEXT_ENCODING_ID = 1;
extern const char PAK_TEXTS_UTF8[];  // "UTF-8"

// True when the archive says its texts are UTF-8, false when it says
// nothing (Windows-1252). Throws std::runtime_error naming the archive and
// the encoding when it names another one.
bool HasUtf8Texts(cPakFile& pak);
// Writes the entry (the archive's texts are UTF-8 from now on).
void MarkUtf8Texts(cPakFile& pak);
// A text read from an archive of either kind, as UTF-8 in a buffer of the
// same kind (AllocZeroed, released with ReleaseEntry). A Windows-1252 text
// is converted; a UTF-8 text must be valid, or it is released and the call
// throws std::runtime_error naming it.
void TakeArchiveText(char*& text, bool utf8);
// The same for a text held as a string.
std::string ArchiveTextAsUtf8(const std::string& text, bool utf8);
