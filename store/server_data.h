// What the content server sends arrives over plain HTTP and is trusted only
// as far as these rules allow: a file name is used only when it names a plain
// file inside the folder it is joined to, and an address only when it is an
// http or https address.
#pragma once

#include <cstddef>
#include <string>

// The longest file name the server may give.
constexpr size_t SAFE_NAME_LIMIT = 200;

// A plain file name: valid UTF-8, not empty, at most SAFE_NAME_LIMIT
// characters (counted in UTF-16, as Windows counts them), no path
// separator or drive (\ / :), no control character and none of < > " | ? *,
// not ending in a dot or a blank (which also rules out "." and ".."), and not
// a device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, with or
// without an extension, in any case; the digit may be a superscript one to
// three). Null is not safe.
bool IsSafeFileName(const char* name);
// Why a name is not safe ("a device name", "the character :"), or empty.
std::string FileNameProblem(const char* name);

// "http://" or "https://" (any case) and at least one more character; no
// control character or blank anywhere. Null is not allowed.
bool IsAllowedUrl(const char* url);

// A server text as it may go into a log line: control characters become
// \xNN, so a hostile text cannot break the line; null becomes "(none)".
std::string PrintableText(const char* text);

struct SkitRecord;
// A record's title as it may go into a log line (PrintableText of it).
std::string TitleOf(const SkitRecord& record);
