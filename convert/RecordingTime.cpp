#include "convert/RecordingTime.h"

#include <ctime>

namespace convert {

namespace {

constexpr int64_t kUsPerSecond = 1000000;

// A broken-down time to seconds since 1970, as local time or as UTC.
bool ToEpoch(std::tm tm, bool bUtc, int64_t& nSeconds) {
    tm.tm_isdst = -1;
    const std::time_t t = bUtc ? ::timegm(&tm) : std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) && !(tm.tm_year == 69 && tm.tm_mon == 11 && tm.tm_mday == 31)) return false;
    nSeconds = static_cast<int64_t>(t);
    return true;
}

}  // namespace

bool ParseRecordingTime(const std::string& strText, int64_t& nUs) {
    std::tm tm{};
    const char* pEnd = ::strptime(strText.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (pEnd == nullptr) return false;
    const bool bUtc = *pEnd == 'Z';
    if (*pEnd != '\0' && !(bUtc && pEnd[1] == '\0')) return false;
    int64_t nSeconds = 0;
    if (!ToEpoch(tm, bUtc, nSeconds)) return false;
    nUs = nSeconds * kUsPerSecond;
    return true;
}

bool TimeFromName(const std::string& strName, const std::string& strPattern, int64_t& nUs) {
    if (strPattern.empty()) return false;
    for (size_t i = 0; i < strName.size(); ++i) {
        std::tm tm{};
        tm.tm_mday = 1;
        if (::strptime(strName.c_str() + i, strPattern.c_str(), &tm) == nullptr) continue;
        int64_t nSeconds = 0;
        if (!ToEpoch(tm, false, nSeconds)) continue;
        nUs = nSeconds * kUsPerSecond;
        return true;
    }
    return false;
}

}  // namespace convert
