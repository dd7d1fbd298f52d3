// DateFormatter: the backend's date text. Output is the precise form
// "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC whatever the machine's time zone. Input accepts every
// form SQLite's date functions accept (with or without fraction, with or without "Z", offsets,
// plain dates); unreadable text gives the epoch, 1970-01-01T00:00:00.000Z.
//
// Thread-safety: one shared instance; every call may come from any thread (calls are
// serialised internally, because the parser is one prepared SQLite statement).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <keel/base/Value.h>

namespace keel {

class DateFormatter {
 public:
  static DateFormatter& sharedFormatter();

  // Returns the precise UTC text of `date`, e.g. "2015-06-01T08:30:00.125Z".
  std::string preciseStringFromDate(Date date);
  // Returns the date the text names, or the epoch when it names none.
  Date dateFromString(std::string_view text);
  // Returns the date of text in exactly the precise form with every field in range, or none
  // for any other text. Cheap: no SQLite, no lock.
  static std::optional<Date> dateFromPreciseString(std::string_view text);

  DateFormatter(const DateFormatter&) = delete;
  DateFormatter& operator=(const DateFormatter&) = delete;

 private:
  DateFormatter();
  ~DateFormatter();
  struct Impl;
  Impl* impl_;
};

}  // namespace keel
