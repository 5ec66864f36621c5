#include "common/time_text.h"

#include <cstdio>

namespace quillon {

std::string timeText(std::chrono::system_clock::time_point t) {
    return timeText(std::chrono::floor<std::chrono::seconds>(t));
}

std::string timeText(std::chrono::sys_seconds t) {
    using namespace std::chrono;
    const auto days = floor<std::chrono::days>(t);
    const year_month_day ymd{days};
    const hh_mm_ss hms{t - days};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                  static_cast<int>(hms.seconds().count()));
    return buf;
}

}  // namespace quillon
