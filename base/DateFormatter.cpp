#include <keel/base/DateFormatter.h>

#include <cmath>
#include <mutex>

#include <fmt/format.h>

#include <keel/base/Sqlite.h>

namespace keel {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm), exact for
// every year, before 1970 too, without the C library's time zone.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool isLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(std::int64_t y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

bool digits(std::string_view s, std::size_t pos, std::size_t n, unsigned& out) {
  out = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + static_cast<unsigned>(s[i] - '0');
  }
  return true;
}

// Parses exactly "yyyy-MM-ddTHH:mm:ss.SSSZ" with every field in range. Anything else (other
// forms, out-of-range fields that SQLite normalises) goes to SQLite, so both give one answer.
bool parsePrecise(std::string_view s, std::int64_t& millis) {
  if (s.size() != 24 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' ||
      s[16] != ':' || s[19] != '.' || s[23] != 'Z') {
    return false;
  }
  unsigned y, mo, d, h, mi, se, ms;
  if (!digits(s, 0, 4, y) || !digits(s, 5, 2, mo) || !digits(s, 8, 2, d) || !digits(s, 11, 2, h) ||
      !digits(s, 14, 2, mi) || !digits(s, 17, 2, se) || !digits(s, 20, 3, ms)) {
    return false;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || se > 59) {
    return false;
  }
  millis = ((daysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60000 + se * 1000 + ms;
  return true;
}

// Joins strftime('%s') (whole seconds) and strftime('%f') ("SS.SSS", the seconds within the
// minute) into milliseconds. Column 1 is read in whole milliseconds (rounded, so 0.125 never
// becomes 124 through the double). The two columns can disagree on the whole second: SQLite
// rounds '%s' from the millisecond instant but caps '%f' at 59.999, so "08:30:59.9996" gives
// 08:31:00 and 59.999. Adding the fraction to '%s' as it stands would then be a second late;
// instead the whole second is moved to the nearest one that matches '%f'.
std::int64_t combine(std::int64_t seconds, double secondsInMinute) {
  std::int64_t inMinute = std::llround(secondsInMinute * 1000);  // 0 ... 59999
  std::int64_t wholeInMinute = inMinute / 1000;
  std::int64_t actual = ((seconds % 60) + 60) % 60;
  std::int64_t drift = ((actual - wholeInMinute) % 60 + 90) % 60 - 30;  // in [-30, 30)
  return (seconds - drift) * 1000 + inMinute % 1000;
}

}  // namespace

// The parser is one prepared statement; SQLite statements must not be stepped from two threads
// at once, so every use holds the mutex (it does what a private serial queue would, without a
// thread hop per date).
struct DateFormatter::Impl {
  std::mutex mutex;
  platform::Database db{":memory:"};
  platform::Statement parse{db, "SELECT strftime('%s', ?1), strftime('%f', ?1);"};
};

DateFormatter::DateFormatter() : impl_(new Impl) {}
DateFormatter::~DateFormatter() { delete impl_; }

DateFormatter& DateFormatter::sharedFormatter() {
  static DateFormatter* formatter = new DateFormatter();  // lives as long as the process
  return *formatter;
}

std::string DateFormatter::preciseStringFromDate(Date date) {
  std::int64_t ms = millisFromDate(date);
  std::int64_t days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);  // floor
  std::int64_t inDay = ms - days * 86400000;
  std::int64_t y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  if (y < 0 || y > 9999) {  // outside four digits: rare enough for the general formatter
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", y, m, d, inDay / 3600000,
                       inDay / 60000 % 60, inDay / 1000 % 60, inDay % 1000);
  }
  // Written digit by digit: dates are formatted once per field of every saved object, and
  // this is several times faster than a general formatter.
  char out[24] = {'0', '0', '0', '0', '-', '0', '0', '-', '0', '0', 'T', '0',
                  '0', ':', '0', '0', ':', '0', '0', '.', '0', '0', '0', 'Z'};
  auto put = [&out](std::size_t end, std::int64_t value, int width) {
    for (int i = 0; i < width; ++i, value /= 10) out[end - i] = static_cast<char>('0' + value % 10);
  };
  put(3, y, 4);
  put(6, m, 2);
  put(9, d, 2);
  put(12, inDay / 3600000, 2);
  put(15, inDay / 60000 % 60, 2);
  put(18, inDay / 1000 % 60, 2);
  put(22, inDay % 1000, 3);
  return std::string(out, sizeof out);
}

std::optional<Date> DateFormatter::dateFromPreciseString(std::string_view text) {
  std::int64_t millis;
  if (!parsePrecise(text, millis)) return std::nullopt;
  return dateFromMillis(millis);
}

Date DateFormatter::dateFromString(std::string_view text) {
  std::int64_t millis;
  if (parsePrecise(text, millis)) return dateFromMillis(millis);
  // Both start at 0: text SQLite cannot read (null columns) gives the epoch, not no date.
  std::int64_t seconds = 0;
  double secondsInMinute = 0;
  {
    std::lock_guard lock(impl_->mutex);
    auto& st = impl_->parse;
    try {
      st.bind(1, text);
      if (st.step()) {
        if (!st.isNull(0)) seconds = st.getInt64(0);
        if (!st.isNull(1)) secondsInMinute = st.getDouble(1);
      }
    } catch (const platform::SqliteError&) {
      seconds = 0;
      secondsInMinute = 0;
    }
    // Always reset: a statement left mid-step would refuse every later binding.
    try {
      st.reset(true);
    } catch (const platform::SqliteError&) {
    }
  }
  return dateFromMillis(combine(seconds, secondsInMinute));
}

}  // namespace keel
