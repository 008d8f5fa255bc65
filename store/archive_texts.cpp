#include "store/archive_texts.h"

#include <cstring>
#include <stdexcept>

#include "base/errors.h"
#include "base/text.h"
#include "store/server_data.h"

const char PAK_TEXTS_UTF8[] = "UTF-8";

bool HasUtf8Texts(cPakFile& pak) {
  if (pak.FindEntry(PAK_TEXT_ENCODING_TYPE, PAK_TEXT_ENCODING_ID) < 0) return false;
  uint32_t length = 0;
  char* body = nullptr;
  pak.ReadEntry(PAK_TEXT_ENCODING_TYPE, PAK_TEXT_ENCODING_ID, &length, reinterpret_cast<void**>(&body));
  const std::string name(body, strnlen(body, length));
  pak.ReleaseEntry(PAK_TEXT_ENCODING_TYPE, PAK_TEXT_ENCODING_ID, body);
  if (name == PAK_TEXTS_UTF8) return true;
  throw std::runtime_error("The texts of " + pak.Path() + " are in an encoding this program does not know: " +
                           PrintableText(name.c_str()));
}

void MarkUtf8Texts(cPakFile& pak) {
  pak.WriteEntry(PAK_TEXT_ENCODING_TYPE, PAK_TEXT_ENCODING_ID, 0, true, sizeof PAK_TEXTS_UTF8, PAK_TEXTS_UTF8);
}

std::string ArchiveTextAsUtf8(const std::string& text, bool utf8) {
  if (!utf8) return Utf8FromWindows1252(text);
  if (!IsValidUtf8(text)) WideFromUtf8(text);  // throws, showing the text
  return text;
}

void TakeArchiveText(char*& text, bool utf8) {
  if (text == nullptr) return;
  const size_t length = std::strlen(text);
  if (utf8) {
    if (IsValidUtf8(std::string_view(text, length))) return;
    const std::string shown(text, length);
    FreeZeroed(text);
    text = nullptr;
    WideFromUtf8(shown);  // throws, showing the text
  }
  bool plain = true;
  for (size_t i = 0; i < length && plain; ++i) plain = static_cast<unsigned char>(text[i]) < 0x80;
  if (plain) return;
  const std::string converted = Utf8FromWindows1252(std::string_view(text, length));
  char* copy = static_cast<char*>(AllocZeroed(converted.size() + 1));
  if (copy == nullptr) ThrowCode(ERR_NO_MEMORY);
  std::memcpy(copy, converted.c_str(), converted.size() + 1);
  FreeZeroed(text);
  text = copy;
}
