#include "clock.hpp"

#include <chrono>
#include <ctime>

namespace zqkit::ctp {

std::pair<std::string, std::string> china_clock() {
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    now += 8 * 3600;
    std::tm parts{};
    gmtime_r(&now, &parts);
    char date[16];
    char clock[16];
    std::strftime(date, sizeof date, "%Y%m%d", &parts);
    std::strftime(clock, sizeof clock, "%H:%M:%S", &parts);
    return {date, clock};
}

std::string today_in_china() {
    return china_clock().first;
}

}  // namespace zqkit::ctp
