// Wall-clock dates and times as the exchanges stamp them: China time (UTC+8) whatever the
// machine's time zone.
#pragma once

#include <string>
#include <utility>

namespace zqkit::ctp {

// Date "YYYYMMDD" and time "HH:MM:SS" now.
std::pair<std::string, std::string> china_clock();
// Today's date "YYYYMMDD", the default trading day.
std::string today_in_china();

}  // namespace zqkit::ctp
