#include "http/HttpDate.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace relaybox {

Text FormatHttpDate(double t) {
  using namespace std::chrono;
  constexpr long long MsPerDay = 86'400'000;
  constexpr int DaysBeforeUnixEpoch = 25569;  // 30 December 1899 to 1 January 1970
  const long long ms = std::llround(t * MsPerDay);
  const long long dayCount = ms >= 0 ? ms / MsPerDay : -((-ms + MsPerDay - 1) / MsPerDay);
  const long long msOfDay = ms - dayCount * MsPerDay;
  const year_month_day date{sys_days{days{dayCount - DaysBeforeUnixEpoch}}};
  const long long seconds = msOfDay / 1000;

  static constexpr char DayNames[] = "MonTueWedThuFriSatSun";
  static constexpr char MonthNames[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const long long weekday = ((dayCount - 2) % 7 + 7) % 7;
  const unsigned month = static_cast<unsigned>(date.month()) - 1;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3s, %02u %.3s %04d %02lld:%02lld:%02lld", DayNames + 3 * weekday,
                static_cast<unsigned>(date.day()), MonthNames + 3 * month, static_cast<int>(date.year()),
                seconds / 3600, seconds / 60 % 60, seconds % 60);
  return Text(buffer, buffer + std::char_traits<char>::length(buffer));
}

} // namespace relaybox
