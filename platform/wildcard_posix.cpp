// Shell patterns through fnmatch(3), under a UTF-8 character type so that a multi-byte
// character is one character whatever the user's locale.
#include <fnmatch.h>
#include <locale.h>

#include "platform/platform.h"

namespace kupack::platform {
namespace {

// The C library's UTF-8 locale, made once and kept for the life of the process; null where
// none is installed (fnmatch then goes by bytes).
locale_t utf8Locale() {
  static const locale_t locale = [] {
    locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (made == static_cast<locale_t>(0))
      made = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
    return made;
  }();
  return locale;
}

// Makes `locale` this thread's locale for its lifetime.
class ThreadLocale {
 public:
  explicit ThreadLocale(locale_t locale)
      : previous_(locale != static_cast<locale_t>(0) ? uselocale(locale)
                                                     : static_cast<locale_t>(0)) {}
  ~ThreadLocale() {
    if (previous_ != static_cast<locale_t>(0)) uselocale(previous_);
  }
  ThreadLocale(const ThreadLocale&) = delete;
  ThreadLocale& operator=(const ThreadLocale&) = delete;

 private:
  locale_t previous_;
};

}  // namespace

bool wildcardMatches(const std::string& pattern, const std::string& text) {
  const ThreadLocale utf8(utf8Locale());
  return fnmatch(pattern.c_str(), text.c_str(), FNM_NOESCAPE) == 0;
}

}  // namespace kupack::platform
