// Warnings and errors that the converter and FFmpeg log while a row
// converts, kept for that row. The log's sink runs on the thread that
// logged; it hands each kept line to the receiver's thread as a queued call
// and never waits for it.
#pragma once

#include "log/Log.h"

#include <cstdint>
#include <functional>
#include <string>

class QObject;

class CRowLog {
public:
    // Lines passed on per row; one more line, "…", says that more came.
    static constexpr int kMaxLines = 3;

    using Receiver = std::function<void(int32_t nRow, const std::wstring& strLine)>;

    // Sets the log's sink for the object's lifetime (the newest object has
    // it). fnReceive runs on pContext's thread, and not once pContext is gone.
    CRowLog(QObject* pContext, Receiver fnReceive);
    ~CRowLog();
    CRowLog(const CRowLog&) = delete;
    CRowLog& operator=(const CRowLog&) = delete;

    // The row the calling thread converts from now on; -1 for none. What
    // the thread logs outside a row is dropped, as are info and debug lines.
    static void SetThreadRow(int32_t nRow);

private:
    static void Sink(trelvo::log::ELevel level, const char* pszModule, const char* pszInput, const char* pszText,
                     void* pUser);

    QObject* m_pContext;
    Receiver m_fnReceive;
};
