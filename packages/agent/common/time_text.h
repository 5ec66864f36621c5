// The one way times are written in replies: UTC, "YYYY-MM-DDThh:mm:ssZ".
#pragma once

#include <chrono>
#include <string>

namespace quillon {

// The fraction of a second is dropped.
std::string timeText(std::chrono::system_clock::time_point t);
// Whole seconds, over the full range of years 0000 to 9999 (certificates use
// 9999-12-31 for "no expiry").
std::string timeText(std::chrono::sys_seconds t);

}  // namespace quillon
