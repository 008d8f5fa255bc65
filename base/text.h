// Text inside the programs is UTF-8. Every program's manifest makes UTF-8
// the process code page, so the "A" calls of Windows take and give UTF-8
// and lose nothing. Where a text leaves or enters in UTF-16 (a conversion
// the code does itself, or a name the system hands over that may hold what
// UTF-8 cannot carry: an unpaired surrogate, which NTFS allows), it goes
// through these functions, which never substitute a character: a text that
// cannot be converted is an error naming it, never a different name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Why this process cannot run its text as UTF-8 (its code page is not UTF-8:
// Windows before 10 version 1903 ignores the manifest's request), or empty.
std::string CodePageProblem();

bool IsValidUtf8(std::string_view text);
// The UTF-16 form of a UTF-8 text; throws std::runtime_error naming subject
// (the text itself when subject is empty) when text is not valid UTF-8.
std::wstring WideFromUtf8(std::string_view text, const std::string& subject = {});
// The UTF-8 form of a UTF-16 text; throws std::runtime_error ("... cannot be
// represented ...") with the text shown by ShownName when it holds an
// unpaired surrogate. what says what the text is ("The folder", "The value
// 'SkitsPath'").
std::string Utf8FromWide(std::wstring_view text, const std::string& what = "The name");
// A UTF-16 text for an error message: each unpaired surrogate as <U+D800>.
std::string ShownName(std::wstring_view text);
// The number of UTF-16 units of a valid UTF-8 text (what Windows counts in a
// path's length).
size_t Utf16Length(std::string_view utf8);
// Windows-1252 bytes as UTF-8. Every byte has a character: the five the code
// page leaves undefined are taken as the control characters of their value,
// as Windows does.
std::string Utf8FromWindows1252(std::string_view text);

// While it lives, a console this program writes to shows UTF-8 (the
// console's own code page, the OEM one, would garble every name outside
// it); the console's code page is put back afterwards. Nothing happens
// without a console.
class cUtf8Console {
 public:
  cUtf8Console();
  ~cUtf8Console();
  cUtf8Console(const cUtf8Console&) = delete;
  cUtf8Console& operator=(const cUtf8Console&) = delete;

 private:
  unsigned Previous_ = 0;
};
