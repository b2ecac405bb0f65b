#include "app/JobProgress.h"

#include <algorithm>
#include <cmath>

namespace {

// Long enough to smooth the steps of one percent in a small file, short
// enough to follow a change of disk or file type.
constexpr auto kSpeedWindow = std::chrono::seconds(5);

}  // namespace

void CJobProgress::Start(const std::map<int32_t, uint64_t>& rows, Clock::time_point now) {
    m_rows.clear();
    m_nTotal = 0;
    for (const auto& [nRow, nBytes] : rows) {
        m_rows[nRow].nBytes = nBytes;
        m_nTotal += nBytes;
    }
    m_nDone = 0;
    m_nConverted = 0;
    m_samples.clear();
    m_samples.push_back({now, 0});
}

void CJobProgress::SetPercent(int32_t nRow, int32_t nPercent, Clock::time_point now) {
    const auto it = m_rows.find(nRow);
    if (it == m_rows.end() || it->second.bDone) return;
    it->second.nPercent = std::clamp(nPercent, 0, 100);
    Sample(now);
}

void CJobProgress::RowDone(int32_t nRow, bool bSuccess, Clock::time_point now) {
    const auto it = m_rows.find(nRow);
    if (it == m_rows.end() || it->second.bDone) return;
    it->second.bDone = true;
    it->second.nPercent = 100;
    ++m_nDone;
    if (bSuccess) ++m_nConverted;
    Sample(now);
}

uint64_t CJobProgress::BytesDone() const {
    uint64_t nBytes = 0;
    for (const auto& [nRow, row] : m_rows) nBytes += row.nBytes * static_cast<uint64_t>(row.nPercent) / 100;
    return nBytes;
}

void CJobProgress::Sample(Clock::time_point now) {
    m_samples.push_back({now, BytesDone()});
    // Keep one sample older than the window, so the window is always spanned.
    while (m_samples.size() > 2 && now - m_samples[1].when > kSpeedWindow) m_samples.pop_front();
}

double CJobProgress::BytesPerSecond(Clock::time_point now) const {
    if (m_samples.size() < 2) return 0;
    const SSample& first = m_samples.front();
    const double dSeconds = std::chrono::duration<double>(now - first.when).count();
    if (dSeconds <= 0) return 0;
    const uint64_t nLatest = m_samples.back().nBytes;
    return nLatest > first.nBytes ? static_cast<double>(nLatest - first.nBytes) / dSeconds : 0;
}

double CJobProgress::SecondsLeft(Clock::time_point now) const {
    const double dSpeed = BytesPerSecond(now);
    if (dSpeed <= 0) return -1;
    const uint64_t nDone = BytesDone();
    return nDone >= m_nTotal ? 0 : static_cast<double>(m_nTotal - nDone) / dSpeed;
}

std::wstring CJobProgress::FormatDuration(double dSeconds) {
    const auto nTotal = static_cast<int64_t>(std::ceil(std::max(dSeconds, 0.0)));
    const int64_t nHours = nTotal / 3600;
    const int64_t nMinutes = nTotal / 60 % 60;
    const int64_t nSeconds = nTotal % 60;
    auto two = [](int64_t n) { return (n < 10 ? L"0" : L"") + std::to_wstring(n); };
    if (nHours > 0) return std::to_wstring(nHours) + L":" + two(nMinutes) + L":" + two(nSeconds);
    return std::to_wstring(nMinutes) + L":" + two(nSeconds);
}
