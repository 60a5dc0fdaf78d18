// Names and text on POSIX systems: file names and console text converted between code page
// 932 and UTF-8 (iconv), whatever the bytes of a name made elsewhere.

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/internal_posix.h"
#include "platform/text.h"

namespace kupack::platform {

// ---- UTF-8 and UTF-16 ----------------------------------------------------------------

// The length of the well-formed UTF-8 character at the start of `text` (shortest form,
// no surrogate, at most U+10FFFF), its code point in `codePoint`; 0 when there is none.
std::size_t decodeUtf8Char(std::string_view text, char32_t& codePoint) {
  if (text.empty()) return 0;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(0);
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  codePoint = value;
  return length;
}

bool isUtf8(std::string_view text) {
  char32_t ignored = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = decodeUtf8Char(text.substr(pos), ignored);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Well-formed UTF-8 as UTF-16 code units.
std::u16string utf8ToUtf16(std::string_view utf8) {
  std::u16string units;
  units.reserve(utf8.size());
  char32_t codePoint = 0;
  for (std::size_t pos = 0; pos < utf8.size();) {
    pos += decodeUtf8Char(utf8.substr(pos), codePoint);
    if (codePoint < 0x10000) {
      units.push_back(static_cast<char16_t>(codePoint));
    } else {
      const char32_t offset = codePoint - 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
    }
  }
  return units;
}

namespace {

// ---- Code page 932 through iconv ------------------------------------------------------

// One iconv conversion, opened once for the process (everything runs on one thread).
class Converter {
 public:
  Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
  ~Converter() {
    if (available()) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool available() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

  // The whole text converted, or nullopt when any part of it does not convert.
  std::optional<std::string> strict(std::string_view text) { return run(text, false); }

  // The text converted, with every byte that does not convert copied as it is.
  std::string lenient(std::string_view text) { return *run(text, true); }

 private:
  std::optional<std::string> run(std::string_view text, bool keepBadBytes) {
    if (!available()) {
      if (keepBadBytes) return std::string(text);
      return std::nullopt;
    }
    iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    // Between code page 932 and UTF-8 no character grows beyond three times its bytes.
    std::string out(text.size() * 3 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    std::size_t done = 0;
    while (inLeft > 0) {
      char* outPtr = out.data() + done;
      std::size_t outLeft = out.size() - done;
      const std::size_t rc = iconv(handle_, &in, &inLeft, &outPtr, &outLeft);
      done = out.size() - outLeft;
      if (rc != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      if (!keepBadBytes) return std::nullopt;
      // EILSEQ: copy the byte that does not convert; EINVAL: an unfinished character at
      // the end, copied likewise.
      const std::size_t copied = errno == EINVAL ? inLeft : 1;
      if (out.size() - done < copied) out.resize(done + copied + 16);
      std::memcpy(out.data() + done, in, copied);
      done += copied, in += copied, inLeft -= copied;
      iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(done);
    return out;
  }

  iconv_t handle_;
};

// One converter a thread: an iconv handle keeps state while it converts, and the reading
// pool converts names on several threads at once.
Converter& cp932ToUtf8Converter() {
  thread_local Converter converter("UTF-8", "CP932");
  return converter;
}

Converter& utf8ToCp932Converter() {
  thread_local Converter converter("CP932", "UTF-8");
  return converter;
}

// Well-formed UTF-8 as code page 932, only when the way back gives the same bytes: the
// converter maps some signs onto look-alikes (U+301C and U+FF5E both to 0x8160, U+00A5 to
// the backslash 0x5C), which would merge names or cut a name at a false separator.
std::optional<std::string> utf8ToCp932Exact(std::string_view utf8) {
  if (isAscii(utf8)) return std::string(utf8);
  auto cp932 = utf8ToCp932Converter().strict(utf8);
  if (!cp932) return std::nullopt;
  const auto back = cp932ToUtf8Converter().strict(*cp932);
  if (!back || *back != utf8) return std::nullopt;
  return cp932;
}

}  // namespace

std::optional<std::string> cp932ToUtf8(std::string_view cp932) {
  if (isAscii(cp932)) return std::string(cp932);
  return cp932ToUtf8Converter().strict(cp932);
}

// ---- Names and console text ---------------------------------------------------------

std::optional<std::string> nativeNameToCp932(std::string_view native) {
  if (isUtf8(native)) return utf8ToCp932Exact(native);
  if (cp932ToUtf8(native)) return std::string(native);
  return std::nullopt;
}

std::optional<std::string> cp932ToNativeName(std::string_view cp932) { return cp932ToUtf8(cp932); }

std::string nativeToConsoleText(std::string_view native) {
  if (isUtf8(native)) return std::string(native);
  if (auto converted = cp932ToUtf8(native)) return *converted;
  return std::string(native);
}

std::string cp932ToUtf8Text(std::string_view cp932) {
  if (isAscii(cp932)) return std::string(cp932);
  return cp932ToUtf8Converter().lenient(cp932);
}

// Every name but "", "." and ".." is a file's name here.
bool reservesDeviceNames() { return false; }

}  // namespace kupack::platform
