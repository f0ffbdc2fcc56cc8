#pragma once

#include <locale.h>

#include <string>

namespace lumenrail::test {

// Makes this thread's numeric locale one whose decimal point is ",", as a
// desktop session's setlocale(LC_ALL, "") may; the previous locale comes
// back on destruction. An installed German or French locale is used when
// there is one, else a numeric-only locale is compiled into a temporary
// folder.
class DecimalCommaLocale final {
 public:
  DecimalCommaLocale();
  ~DecimalCommaLocale();
  DecimalCommaLocale(const DecimalCommaLocale&) = delete;
  DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

  bool active() const { return locale_ != static_cast<locale_t>(nullptr); }
  // Why no such locale could be had.
  const std::string& why() const { return why_; }

 private:
  locale_t locale_ = static_cast<locale_t>(nullptr);
  locale_t previous_ = static_cast<locale_t>(nullptr);
  std::string why_;
};

}  // namespace lumenrail::test
