// The recording time of an output: given by the user, or read from the
// input's file name; written as the output's creation time.
#pragma once

#include <cstdint>
#include <string>

namespace convert {

// "YYYY-MM-DDTHH:MM:SS" (local time) or with a trailing 'Z' (UTC), to
// microseconds since 1970. False when it is not such a time.
bool ParseRecordingTime(const std::string& strText, int64_t& nUs);

// The first place in strName (a file name, no directory) where strPattern
// (strftime conversions such as %Y%m%d_%H%M%S, local time) matches, as
// microseconds since 1970. False when it matches nowhere.
bool TimeFromName(const std::string& strName, const std::string& strPattern, int64_t& nUs);

}  // namespace convert
