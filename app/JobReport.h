// What a conversion job leaves for the user beyond each row's result word:
// the tooltip text of every finished row, and the failed rows for the
// message at the end of the job. Used on the interface thread.
#pragma once

#include "convert/ConvertResult.h"

#include <QString>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CJobReport {
public:
    // Failed rows the message names one by one; the rest are counted.
    static constexpr int kMaxListed = 10;

    // A job begins: nothing of the last one is kept.
    void Clear();

    // A line the log kept while the row converted.
    void AddLogLine(int32_t nRow, const std::wstring& strLine);

    // The row has its result. Returns its tooltip text: the reason (or the
    // warning of a row converted in part), then the logged lines; empty when
    // there is nothing to say. A failed row is kept for the message.
    // strInput is the input's whole path.
    std::wstring FinishRow(int32_t nRow, const std::wstring& strInput, const convert::SConversionResult& result);

    bool HasFailures() const { return !m_failed.empty(); }

    // strHeading, then a line "path: reason" for each failed row and where
    // to look further.
    QString Message(const QString& strHeading) const;

private:
    struct SFailed {
        std::wstring strFileName;
        std::wstring strReason;
    };
    std::map<int32_t, std::vector<std::wstring>> m_lines;
    std::vector<SFailed> m_failed;
};
