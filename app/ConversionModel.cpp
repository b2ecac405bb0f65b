#include "app/ConversionModel.h"

#include "lang/MultiLanguage.h"
#include "platform/QtPaths.h"

#include <QTextDocument>

namespace {

// A tooltip that starts like markup would be shown as markup; reasons and
// what the log said are plain text.
QString PlainToolTip(const std::wstring& strText) {
    const QString str = qtpaths::ForDisplay(strText);
    return Qt::mightBeRichText(str) ? Qt::convertFromPlainText(str, Qt::WhiteSpaceNormal) : str;
}

}  // namespace

CConversionModel::CConversionModel(CConversionList& list, QObject* pParent)
    : QAbstractTableModel(pParent), m_list(list) {}

void CConversionModel::SetHeaders(const QStringList& headers) {
    m_headers = headers;
    emit headerDataChanged(Qt::Horizontal, 0, COL_COUNT - 1);
}

int CConversionModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_list.GetRowCount();
}

int CConversionModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : COL_COUNT;
}

QVariant CConversionModel::data(const QModelIndex& index, int nRole) const {
    if (!index.isValid() || index.row() >= m_list.GetRowCount()) return {};
    switch (nRole) {
        case Qt::DisplayRole:
            return qtpaths::ForDisplay(m_list.GetRowText(index.row(), index.column()));
        case Qt::CheckStateRole:
            if (index.column() == COL_NO) return m_list.IsRowChecked(index.row()) ? Qt::Checked : Qt::Unchecked;
            return {};
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
        case Qt::ToolTipRole:
            if (index.column() == COL_DESTRIBE) {
                const std::wstring strReason = m_list.GetRowReason(index.row());
                return strReason.empty() ? QVariant() : QVariant(PlainToolTip(strReason));
            }
            return RowToolTip(index.row());
        default:
            return {};
    }
}

bool CConversionModel::setData(const QModelIndex& index, const QVariant& value, int nRole) {
    if (!index.isValid() || index.column() != COL_NO || nRole != Qt::CheckStateRole) return false;
    SetRowChecked(index.row(), value.toInt() == Qt::Checked);
    return true;
}

QVariant CConversionModel::headerData(int nSection, Qt::Orientation orientation, int nRole) const {
    if (orientation != Qt::Horizontal || nSection < 0 || nSection >= m_headers.size())
        return QAbstractTableModel::headerData(nSection, orientation, nRole);
    if (nRole == Qt::DisplayRole) return m_headers.at(nSection);
    if (nRole == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}

Qt::ItemFlags CConversionModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (index.column() == COL_NO) f |= Qt::ItemIsUserCheckable;
    return f;
}

QString CConversionModel::RowToolTip(int32_t nRow) const {
    if (nRow < 0 || nRow >= m_list.GetRowCount()) return {};
    const std::wstring strName = m_list.GetRowText(nRow, COL_FILENAME);
    std::wstring strText = m_list.m_strSourceDir + strName;
    std::wstring strOutput = GetRowOutput(nRow);
    if (strOutput.empty() && m_fnPlanned) strOutput = m_fnPlanned(nRow);
    if (!strOutput.empty()) {
        QString strLine = QString::fromStdWString(CMultiLanguage::GetText(L"Trelvo.OutputTip"));
        const QString strPath = qtpaths::ForDisplay(strOutput);
        strLine = strLine.contains(QLatin1String("%1")) ? strLine.arg(strPath) : strLine + QLatin1Char(' ') + strPath;
        strText += L"\n" + strLine.toStdWString();
    }
    return PlainToolTip(strText);
}

bool CConversionModel::AddFileRow(const std::wstring& strPath) {
    const int nRow = m_list.GetRowCount();
    beginInsertRows(QModelIndex(), nRow, nRow);
    const bool bOk = m_list.AddFileRow(strPath);
    m_outputs.resize(static_cast<size_t>(m_list.GetRowCount()));
    endInsertRows();
    return bOk;
}

void CConversionModel::RemoveAllRows() {
    beginResetModel();
    m_list.RemoveAllRows();
    m_outputs.clear();
    endResetModel();
}

void CConversionModel::RemoveCheckedRows() {
    beginResetModel();
    std::vector<std::wstring> kept;
    for (int32_t nRow = 0; nRow < m_list.GetRowCount(); ++nRow) {
        if (!m_list.IsRowChecked(nRow)) kept.push_back(GetRowOutput(nRow));
    }
    m_list.RemoveCheckedRows();
    m_outputs = std::move(kept);
    m_outputs.resize(static_cast<size_t>(m_list.GetRowCount()));
    endResetModel();
}

void CConversionModel::SetRowOutput(int32_t nRow, const std::wstring& strPath) {
    if (nRow < 0 || nRow >= m_list.GetRowCount()) return;
    m_outputs.resize(static_cast<size_t>(m_list.GetRowCount()));
    m_outputs[static_cast<size_t>(nRow)] = strPath;
}

std::wstring CConversionModel::GetRowOutput(int32_t nRow) const {
    return nRow >= 0 && static_cast<size_t>(nRow) < m_outputs.size() ? m_outputs[static_cast<size_t>(nRow)]
                                                                     : std::wstring();
}

void CConversionModel::SetRowText(int32_t nRow, int32_t nColumn, const std::wstring& strText) {
    if (nRow < 0 || nRow >= m_list.GetRowCount() || nColumn < 0 || nColumn >= COL_COUNT) return;
    m_list.SetRowText(nRow, nColumn, strText);
    const QModelIndex cell = index(nRow, nColumn);
    emit dataChanged(cell, cell, {Qt::DisplayRole});
}

void CConversionModel::SetRowReason(int32_t nRow, const std::wstring& strText) {
    if (nRow < 0 || nRow >= m_list.GetRowCount()) return;
    m_list.SetRowReason(nRow, strText);
    const QModelIndex cell = index(nRow, COL_DESTRIBE);
    emit dataChanged(cell, cell, {Qt::ToolTipRole});
}

void CConversionModel::SetRowChecked(int32_t nRow, bool bChecked) {
    if (nRow < 0 || nRow >= m_list.GetRowCount()) return;
    m_list.SetRowChecked(nRow, bChecked);
    const QModelIndex cell = index(nRow, COL_NO);
    emit dataChanged(cell, cell, {Qt::CheckStateRole});
}
