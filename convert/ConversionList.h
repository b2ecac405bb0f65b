// The rows of input files that the jobs walk, as a plain in-memory table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum EListColumn : int32_t {
    COL_NO = 0,
    COL_FILENAME = 1,
    COL_SIZE = 2,
    COL_PROGRESS = 3,
    COL_DESTRIBE = 4,
    COL_COUNT = 5
};

class CConversionList {
public:
    int32_t GetRowCount() const;
    bool IsRowChecked(int32_t nRow) const;
    void SetRowChecked(int32_t nRow, bool bChecked);
    std::wstring GetRowText(int32_t nRow, int32_t nColumn) const;
    void SetRowText(int32_t nRow, int32_t nColumn, const std::wstring& strText);
    // Why the row's last conversion failed or what its output lacks, in
    // words, for the user; empty when there is nothing to say. It goes with
    // the row, so removing rows drops it.
    std::wstring GetRowReason(int32_t nRow) const;
    void SetRowReason(int32_t nRow, const std::wstring& strText);

    // Appends a row for the file at strPath (directory separator '/'), ticks
    // it and sets m_strSourceDir. When the file's size cannot be read the row
    // is still added, unticked and with an empty size, and false is returned.
    bool AddFileRow(const std::wstring& strPath);
    void RemoveAllRows();
    void RemoveCheckedRows();

    // Directory of the most recently added file, ending in '/'; empty until then.
    std::wstring m_strSourceDir;

private:
    struct SRow {
        std::wstring strText[COL_COUNT];
        std::wstring strReason;
        bool bChecked = false;
    };
    std::vector<SRow> m_rows;
};
