// An in-memory owner of the list for the job tests: answers every request
// directly and keeps a log of the cells the job wrote.
#pragma once

#include <string>
#include <tuple>
#include <vector>

#include "convert/ConversionList.h"
#include "convert/ConvertJobs.h"

struct SCellWrite {
    int32_t nRow;
    int32_t nColumn;
    std::wstring strText;
};

class CTestHost : public IConversionHost {
public:
    CConversionList list;
    std::wstring strSourceDir = L"/in/";
    std::wstring strSaveDir = L"/out/";
    std::vector<SCellWrite> writes;
    std::vector<std::wstring> messages;
    std::vector<std::tuple<int32_t, bool, std::wstring>> rowsDone;
    std::vector<convert::SConversionResult> results;  // one per row done
    int nStopAfterChecks = -1;                        // stop once this many checks have been made
    int nStopChecks = 0;

    // Adds a row as the list would for a file at strSourceDir + name.
    int32_t AddRow(const std::wstring& strName, bool bChecked = true) {
        list.AddFileRow(strSourceDir + strName);
        const int32_t nRow = list.GetRowCount() - 1;
        list.SetRowChecked(nRow, bChecked);
        return nRow;
    }

    int32_t GetRowCount() override { return list.GetRowCount(); }
    bool IsRowChecked(int32_t nRow) override { return list.IsRowChecked(nRow); }
    std::wstring GetRowText(int32_t nRow, int32_t nColumn) override { return list.GetRowText(nRow, nColumn); }
    void SetRowText(int32_t nRow, int32_t nColumn, const std::wstring& strText) override {
        writes.push_back({nRow, nColumn, strText});
        list.SetRowText(nRow, nColumn, strText);
    }
    std::wstring GetSourceDir(int32_t) override { return strSourceDir; }
    std::wstring GetSaveDir(int32_t) override { return strSaveDir; }
    void ShowMessage(const std::wstring& strText) override { messages.push_back(strText); }
    bool IsStopRequested() override {
        ++nStopChecks;
        return nStopAfterChecks >= 0 && nStopChecks >= nStopAfterChecks;
    }
    void OnRowDone(int32_t nRow, const convert::SConversionResult& result, const std::wstring& strOutput) override {
        rowsDone.emplace_back(nRow, result.bSuccess, strOutput);
        results.push_back(result);
    }

    // The texts written into one cell, in order.
    std::vector<std::wstring> Written(int32_t nRow, int32_t nColumn) const {
        std::vector<std::wstring> out;
        for (const SCellWrite& w : writes) {
            if (w.nRow == nRow && w.nColumn == nColumn) out.push_back(w.strText);
        }
        return out;
    }
};
