// Shows a CConversionList in a Qt view. Every change to the rows goes
// through here so that the view follows it.
#pragma once

#include "convert/ConversionList.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <functional>
#include <string>
#include <vector>

class CConversionModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit CConversionModel(CConversionList& list, QObject* pParent = nullptr);

    // Header texts of the five columns, already translated.
    void SetHeaders(const QStringList& headers);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int nRole = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int nRole = Qt::EditRole) override;
    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    bool AddFileRow(const std::wstring& strPath);
    void RemoveAllRows();
    void RemoveCheckedRows();
    void SetRowText(int32_t nRow, int32_t nColumn, const std::wstring& strText);
    // Shown as the tooltip of the row's result.
    void SetRowReason(int32_t nRow, const std::wstring& strText);
    void SetRowChecked(int32_t nRow, bool bChecked);

    // Where the row's last conversion wrote (or meant to write); empty
    // before its first.
    void SetRowOutput(int32_t nRow, const std::wstring& strPath);
    std::wstring GetRowOutput(int32_t nRow) const;
    // The output a row would get now, for its tooltip before a run.
    void SetPlannedOutput(std::function<std::wstring(int32_t nRow)> fnPlanned) { m_fnPlanned = std::move(fnPlanned); }
    // The input's whole path and its output, one a line.
    QString RowToolTip(int32_t nRow) const;

private:
    CConversionList& m_list;
    QStringList m_headers;
    std::vector<std::wstring> m_outputs;  // one per row
    std::function<std::wstring(int32_t)> m_fnPlanned;
};
