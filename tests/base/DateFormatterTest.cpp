#include <keel/base/DateFormatter.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <thread>

#include <gtest/gtest.h>

namespace keel {
namespace {

std::int64_t millis(std::string_view text) {
  return millisFromDate(DateFormatter::sharedFormatter().dateFromString(text));
}
std::string precise(std::int64_t ms) {
  return DateFormatter::sharedFormatter().preciseStringFromDate(dateFromMillis(ms));
}

// Sets the process time zone for one test and restores it afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) ::setenv("TZ", saved_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(DateFormatterTest, WritesThePreciseFormInUtcWhateverTheTimeZone) {
  // POSIX zone rules, so the test needs no time-zone database: New York, Kathmandu (+5:45),
  // Chatham (+12:45 with summer time).
  for (const char* tz : {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "NPT-5:45", "CHAST-12:45CHADT,M9.5.0/2:45,M4.1.0/3:45"}) {
    ScopedTimeZone zone(tz);
    EXPECT_EQ(precise(1433147400125), "2015-06-01T08:30:00.125Z") << tz;
    EXPECT_EQ(precise(0), "1970-01-01T00:00:00.000Z") << tz;
    EXPECT_EQ(precise(-1), "1969-12-31T23:59:59.999Z") << tz;
    EXPECT_EQ(precise(951782400000), "2000-02-29T00:00:00.000Z") << tz;
    EXPECT_EQ(precise(-62167219200000), "0000-01-01T00:00:00.000Z") << tz;
    EXPECT_EQ(millis("2015-06-01 10:30:00+02:00"), 1433147400000) << tz;
    EXPECT_EQ(millis("1969-12-31T23:59:59.500"), -500) << tz;
  }
}

TEST(DateFormatterTest, ReadsEveryFormSqliteReads) {
  EXPECT_EQ(millis("2015-06-01T08:30:00.125Z"), 1433147400125);
  EXPECT_EQ(millis("2015-06-01T08:30:00Z"), 1433147400000);  // whole seconds only
  EXPECT_EQ(millis("2015-06-01T08:30:00"), 1433147400000);
  EXPECT_EQ(millis("2015-06-01 08:30"), 1433147400000);
  EXPECT_EQ(millis("2015-06-01"), 1433116800000);
  EXPECT_EQ(millis("2015-06-01T08:30:00.125+02:00"), 1433140200125);
  EXPECT_EQ(millis("2015-06-01T08:30:00.5Z"), 1433147400500);
  // Out-of-range fields are normalised the way SQLite does it, by either path.
  EXPECT_EQ(millis("2015-02-30T00:00:00.000Z"), 1425254400000);
  EXPECT_EQ(millis("2015-06-01T24:00:00.000Z"), 1433203200000);
}

TEST(DateFormatterTest, GivesTheEpochForUnreadableText) {
  for (const char* bad : {"", "garbage", "1234567890", "2015-13-45T99:99:99.999Z", "2015-06-01T08:30:00.125Q"}) {
    EXPECT_EQ(millis(bad), 0) << bad;
  }
  // The statement keeps working after unreadable input.
  EXPECT_EQ(millis("2015-06-01T08:30:00Z"), 1433147400000);
}

TEST(DateFormatterTest, DoesNotSkipASecondWhenTheFractionRoundsUp) {
  // SQLite rounds the instant to 08:31:00 but caps the seconds column at 59.999.
  EXPECT_EQ(millis("2015-06-01T08:30:59.9996Z"), 1433147459999);
  EXPECT_EQ(millis("1969-12-31T23:59:59.9999Z"), -1);
  EXPECT_EQ(millis("2015-06-01T08:30:00.9996Z"), 1433147401000);
}

TEST(DateFormatterTest, FastAndSqlitePathsAgreeOnManyInstants) {
  std::vector<std::int64_t> instants = {
      0, -1, 1, 999, -999, -1000, -1001, 951782399999, 951782400000,  // leap day
      1451606399999, 1451606400000,                                   // end of 2015
      -2208988800000, -62167219200000, 253402300799999,               // 1900, year 0, year 9999
  };
  std::mt19937_64 rng(20151231);
  std::uniform_int_distribution<std::int64_t> any(-62167219200000, 253402300799999);
  for (int i = 0; i < 3000; ++i) instants.push_back(any(rng));
  for (std::int64_t ms : instants) {
    std::string text = precise(ms);
    ASSERT_EQ(millis(text), ms) << text;  // the fast path
    // Without the "Z", or with an explicit offset, the text is SQLite's to read.
    ASSERT_EQ(millis(text.substr(0, 23)), ms) << text;
    ASSERT_EQ(millis(text.substr(0, 23) + "+00:00"), ms) << text;
  }
}

TEST(DateFormatterTest, ParsesFromManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 200; ++i) {
        std::int64_t ms = (t * 1000 + i) * 86400123LL;
        if (millis(precise(ms).substr(0, 23)) != ms) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace keel
