#include "app/RowLog.h"

#include "platform/Platform.h"

#include <QMetaObject>
#include <QObject>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// The object that has the sink. A logging thread reads it under the lock, so
// the object cannot go while a line is being handed over.
std::mutex g_mutex;
CRowLog* g_pActive = nullptr;

struct SThreadRow {
    int32_t nRow = -1;
    std::vector<std::string> sent;
    bool bMore = false;
};
thread_local SThreadRow t_row;

}  // namespace

CRowLog::CRowLog(QObject* pContext, Receiver fnReceive) : m_pContext(pContext), m_fnReceive(std::move(fnReceive)) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pActive = this;
    trelvo::log::SetSink(&CRowLog::Sink, nullptr);
}

CRowLog::~CRowLog() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_pActive != this) return;
    g_pActive = nullptr;
    trelvo::log::SetSink(nullptr, nullptr);
}

void CRowLog::SetThreadRow(int32_t nRow) {
    t_row = SThreadRow();
    t_row.nRow = nRow;
}

void CRowLog::Sink(trelvo::log::ELevel level, const char* pszModule, const char* /*pszInput*/, const char* pszText,
                   void* /*pUser*/) {
    if (level > trelvo::log::ELevel::Warning || t_row.nRow < 0 || t_row.bMore) return;
    std::string strLine = std::string(pszModule) + ": " + pszText;
    // A line said again tells nothing new (FFmpeg repeats itself per packet).
    if (std::find(t_row.sent.begin(), t_row.sent.end(), strLine) != t_row.sent.end()) return;
    if (t_row.sent.size() < size_t(kMaxLines)) {
        t_row.sent.push_back(strLine);
    } else {
        t_row.bMore = true;
        strLine = "\xE2\x80\xA6";
    }
    const std::wstring strText = platform::NarrowToWide(strLine);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_pActive == nullptr) return;
    QMetaObject::invokeMethod(
        g_pActive->m_pContext, [fn = g_pActive->m_fnReceive, nRow = t_row.nRow, strText] { fn(nRow, strText); },
        Qt::QueuedConnection);
}
