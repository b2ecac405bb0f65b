#include "convert/ConversionList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Platform.h"

namespace {

// Length of a regular file, or -1 when it cannot be read (missing, no access,
// a directory or a device). O_NONBLOCK keeps a FIFO from blocking the open.
int64_t ReadFileSize(const std::wstring& strPath) {
    const std::string strNarrow = platform::WideToNarrow(strPath);
    const int fd = ::open(strNarrow.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    const bool bOk = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return bOk ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace

int32_t CConversionList::GetRowCount() const {
    return static_cast<int32_t>(m_rows.size());
}

bool CConversionList::IsRowChecked(int32_t nRow) const {
    if (nRow < 0 || nRow >= GetRowCount()) return false;
    return m_rows[static_cast<size_t>(nRow)].bChecked;
}

void CConversionList::SetRowChecked(int32_t nRow, bool bChecked) {
    if (nRow < 0 || nRow >= GetRowCount()) return;
    m_rows[static_cast<size_t>(nRow)].bChecked = bChecked;
}

std::wstring CConversionList::GetRowText(int32_t nRow, int32_t nColumn) const {
    if (nRow < 0 || nRow >= GetRowCount() || nColumn < 0 || nColumn >= COL_COUNT) return {};
    return m_rows[static_cast<size_t>(nRow)].strText[nColumn];
}

void CConversionList::SetRowText(int32_t nRow, int32_t nColumn, const std::wstring& strText) {
    if (nRow < 0 || nRow >= GetRowCount() || nColumn < 0 || nColumn >= COL_COUNT) return;
    m_rows[static_cast<size_t>(nRow)].strText[nColumn] = strText;
}

std::wstring CConversionList::GetRowReason(int32_t nRow) const {
    if (nRow < 0 || nRow >= GetRowCount()) return {};
    return m_rows[static_cast<size_t>(nRow)].strReason;
}

void CConversionList::SetRowReason(int32_t nRow, const std::wstring& strText) {
    if (nRow < 0 || nRow >= GetRowCount()) return;
    m_rows[static_cast<size_t>(nRow)].strReason = strText;
}

bool CConversionList::AddFileRow(const std::wstring& strPath) {
    const size_t nSlash = strPath.rfind(L'/');
    // A bare name lies in the current directory; "./" keeps the joined path
    // relative instead of pointing at the root.
    if (nSlash == std::wstring::npos) {
        m_strSourceDir = L"./";
    } else {
        m_strSourceDir = strPath.substr(0, nSlash) + L'/';
    }
    const std::wstring strName = nSlash == std::wstring::npos ? strPath : strPath.substr(nSlash + 1);

    SRow row;
    row.strText[COL_NO] = std::to_wstring(GetRowCount() + 1);
    row.strText[COL_FILENAME] = strName;
    m_rows.push_back(std::move(row));
    const int32_t nRow = GetRowCount() - 1;

    const int64_t nSize = ReadFileSize(strPath);
    if (nSize < 0) return false;
    SetRowText(nRow, COL_SIZE, std::to_wstring(nSize));
    SetRowChecked(nRow, true);
    return true;
}

void CConversionList::RemoveAllRows() {
    m_rows.clear();
}

void CConversionList::RemoveCheckedRows() {
    // From the last row down, so the indexes still to visit stay valid.
    for (size_t i = m_rows.size(); i-- > 0;) {
        if (m_rows[i].bChecked) m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(i));
    }
}
