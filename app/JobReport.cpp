#include "app/JobReport.h"

#include "lang/MultiLanguage.h"
#include "platform/QtPaths.h"

#include <algorithm>

void CJobReport::Clear() {
    m_lines.clear();
    m_failed.clear();
}

void CJobReport::AddLogLine(int32_t nRow, const std::wstring& strLine) {
    m_lines[nRow].push_back(strLine);
}

std::wstring CJobReport::FinishRow(int32_t nRow, const std::wstring& strFileName,
                                   const convert::SConversionResult& result) {
    const std::wstring strReason = convert::ReasonText(result);
    // A row the user stopped is not a failure to report.
    if (!result.bSuccess && result.reason != convert::EReason::Stopped)
        m_failed.push_back({strFileName, strReason.empty() ? CMultiLanguage::GetText(L"Trelvo.Fail") : strReason});

    std::wstring strText = strReason;
    const auto it = m_lines.find(nRow);
    if (it != m_lines.end()) {
        for (const std::wstring& strLine : it->second) strText += (strText.empty() ? L"" : L"\n") + strLine;
        m_lines.erase(it);
    }
    return strText;
}

QString CJobReport::Message(const QString& strHeading) const {
    if (m_failed.empty()) return strHeading;
    QString strText = strHeading + QLatin1Char('\n');
    const size_t nListed = std::min(m_failed.size(), size_t(kMaxListed));
    for (size_t n = 0; n < nListed; ++n) {
        strText += QLatin1Char('\n') + qtpaths::ForDisplay(m_failed[n].strFileName) + QStringLiteral(": ") +
                   qtpaths::ForDisplay(m_failed[n].strReason);
    }
    if (nListed < m_failed.size()) {
        const QString strMore = QString::fromStdWString(CMultiLanguage::GetText(L"Trelvo.MoreFailed"));
        strText += QLatin1Char('\n') + strMore.arg(m_failed.size() - nListed);
    }
    strText += QStringLiteral("\n\n") + QString::fromStdWString(CMultiLanguage::GetText(L"Trelvo.FailAdvice"));
    return strText;
}
