// How far a run has come across all its rows: files done of all, bytes done,
// the current speed and the time left. Fed from the rows' percentages on the
// interface thread; knows nothing of Qt.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

class CJobProgress {
public:
    using Clock = std::chrono::steady_clock;

    // A run begins on these rows (row to its size in bytes).
    void Start(const std::map<int32_t, uint64_t>& rows, Clock::time_point now);
    // A row's progress cell shows nPercent.
    void SetPercent(int32_t nRow, int32_t nPercent, Clock::time_point now);
    // A row has its result.
    void RowDone(int32_t nRow, bool bSuccess, Clock::time_point now);

    int32_t Files() const { return static_cast<int32_t>(m_rows.size()); }
    int32_t FilesDone() const { return m_nDone; }
    int32_t FilesConverted() const { return m_nConverted; }
    uint64_t BytesDone() const;
    // Bytes per second over the last few seconds; 0 until there is a measure.
    double BytesPerSecond(Clock::time_point now) const;
    // Seconds until the last row is done at the current speed; -1 unknown.
    double SecondsLeft(Clock::time_point now) const;

    // "12:05" or "1:02:05".
    static std::wstring FormatDuration(double dSeconds);

private:
    struct SRow {
        uint64_t nBytes = 0;
        int32_t nPercent = 0;
        bool bDone = false;
    };
    struct SSample {
        Clock::time_point when;
        uint64_t nBytes;
    };
    void Sample(Clock::time_point now);

    std::map<int32_t, SRow> m_rows;
    uint64_t m_nTotal = 0;
    int32_t m_nDone = 0;
    int32_t m_nConverted = 0;
    std::deque<SSample> m_samples;
};
