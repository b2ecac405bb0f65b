// Every caption of both dialogs shows whole in every shipped language, at
// Qt's default font and at a larger one, and the list shows a multi-gigabyte
// size and every result text whole.
#include "AppTestSupport.h"

#include "app/ConversionModel.h"
#include "app/TrelvoDlg.h"
#include "lang/MultiLanguage.h"
#include "platform/Platform.h"
#include "settings/ConverSet.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTemporaryDir>
#include <QTreeView>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using apptest::CConfigFile;

namespace {

uint32_t NoJob(IConversionHost*, bool) {
    return 1;
}

// The language chosen as the program would choose it at start-up.
void LoadLanguage(const std::string& strName) {
    CConfigFile config(("[themes]\nSolution=" + strName + "\n").c_str());
    CMultiLanguage::LoadLanguage(GetAppDir());
}

// A shipped language file in the tests' program directory, chosen for the
// lifetime of the object; the tests' own language comes back afterwards.
class CShippedLanguage {
public:
    explicit CShippedLanguage(const std::filesystem::path& file) : m_copy(apptest::AppDir() / file.filename()) {
        std::filesystem::copy_file(file, m_copy, std::filesystem::copy_options::overwrite_existing);
        LoadLanguage(file.stem().string());
    }
    ~CShippedLanguage() {
        std::filesystem::remove(m_copy);
        LoadLanguage("AppTest");
    }
    CShippedLanguage(const CShippedLanguage&) = delete;
    CShippedLanguage& operator=(const CShippedLanguage&) = delete;

private:
    std::filesystem::path m_copy;
};

// The application font for the lifetime of the object.
class CAppFont {
public:
    explicit CAppFont(const QFont& font) : m_old(QApplication::font()) { QApplication::setFont(font); }
    ~CAppFont() { QApplication::setFont(m_old); }
    CAppFont(const CAppFont&) = delete;
    CAppFont& operator=(const CAppFont&) = delete;

private:
    QFont m_old;
};

// Pixels of the caption that the control cuts off, across and down; the
// room is where the style draws the text.
QSize Overflow(const QWidget* pWidget) {
    const QStyle* pStyle = pWidget->style();
    const QFontMetrics fm = pWidget->fontMetrics();
    if (const auto* pGroup = qobject_cast<const QGroupBox*>(pWidget)) {
        QStyleOptionGroupBox opt;
        opt.initFrom(pGroup);
        opt.text = pGroup->title();
        opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const QRect label = pStyle->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, pGroup);
        return {std::max(fm.horizontalAdvance(opt.text) - label.width(), label.right() + 1 - pGroup->width()), 0};
    }
    QString strText;
    QRect room = pWidget->contentsRect();
    QStyleOptionButton opt;
    opt.initFrom(pWidget);
    if (const auto* pButton = qobject_cast<const QAbstractButton*>(pWidget)) {
        strText = opt.text = pButton->text();
        const QStyle::SubElement element = qobject_cast<const QPushButton*>(pWidget) ? QStyle::SE_PushButtonContents
                                           : qobject_cast<const QCheckBox*>(pWidget) ? QStyle::SE_CheckBoxContents
                                                                                     : QStyle::SE_RadioButtonContents;
        room = pStyle->subElementRect(element, &opt, pWidget);
    } else if (const auto* pLabel = qobject_cast<const QLabel*>(pWidget)) {
        strText = pLabel->text();
    }
    // A mnemonic's marker is not drawn.
    strText.replace(QStringLiteral("&&"), QStringLiteral("\x01"))
        .remove(QLatin1Char('&'))
        .replace(QLatin1Char('\x01'), QLatin1Char('&'));
    if (strText.isEmpty()) return {};
    return {fm.horizontalAdvance(strText) - room.width(), fm.height() - room.height()};
}

// Every caption whole, no two controls on top of each other (a group box
// holds the controls it frames), all inside the dialog.
void CheckControls(QWidget& dlg) {
    const QList<QWidget*> controls = dlg.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (const QWidget* pWidget : controls) {
        SCOPED_TRACE(pWidget->objectName().toStdString());
        const QSize over = Overflow(pWidget);
        EXPECT_LE(over.width(), 0) << "across";
        EXPECT_LE(over.height(), 0) << "down";
        EXPECT_TRUE(dlg.rect().contains(pWidget->geometry())) << "outside the dialog";
        for (const QWidget* pOther : controls) {
            if (pOther == pWidget || qobject_cast<const QGroupBox*>(pWidget) || qobject_cast<const QGroupBox*>(pOther))
                continue;
            EXPECT_FALSE(pWidget->geometry().intersects(pOther->geometry()))
                << "on " << pOther->objectName().toStdString();
        }
    }
    for (const QGroupBox* pGroup : dlg.findChildren<QGroupBox*>()) {
        for (const QWidget* pWidget : controls) {
            if (pWidget != pGroup && pWidget->geometry().intersects(pGroup->geometry())) {
                EXPECT_TRUE(pGroup->geometry().contains(pWidget->geometry())) << pWidget->objectName().toStdString();
            }
        }
    }
}

// Headers and the texts of one row whole, and every column in view.
void CheckList(CTrelvoDlg& dlg) {
    auto* pView = dlg.findChild<QTreeView*>(QStringLiteral("listFiles"));
    ASSERT_NE(pView, nullptr);
    const QHeaderView* pHeader = pView->header();
    const int nMargin = pView->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, pHeader);
    QAbstractItemModel* pModel = pView->model();
    for (int nColumn = 0; nColumn < COL_COUNT; ++nColumn) {
        const QString strTitle = pModel->headerData(nColumn, Qt::Horizontal).toString();
        EXPECT_LE(pHeader->fontMetrics().horizontalAdvance(strTitle) + 2 * nMargin, pHeader->sectionSize(nColumn))
            << strTitle.toStdString();
        QStyleOptionViewItem opt;
        opt.initFrom(pView);
        const QModelIndex cell = pModel->index(0, nColumn);
        EXPECT_LE(pView->itemDelegate()->sizeHint(opt, cell).width(), pHeader->sectionSize(nColumn))
            << cell.data().toString().toStdString();
    }
    EXPECT_LE(pHeader->length(), pView->viewport()->width());
}

void CheckLanguage(const QTemporaryDir& dir) {
    CTrelvoDlg dlg(QStringList(), &NoJob);
    dlg.show();  // the list lays out its viewport
    QApplication::processEvents();
    dlg.OnDropFiles({QUrl::fromLocalFile(dir.filePath("big.ps"))});
    ASSERT_EQ(dlg.GetList().GetRowCount(), 1);
    ASSERT_EQ(dlg.GetList().GetRowText(0, COL_SIZE), L"5000000000");
    CheckControls(dlg);
    // Each result text in turn.
    for (const wchar_t* pszKey : {L"Trelvo.Success", L"Trelvo.Fail"}) {
        dlg.GetModel()->SetRowText(0, COL_DESTRIBE, CMultiLanguage::GetText(pszKey));
        CheckList(dlg);
    }
    CConverSet set;
    CheckControls(set);
}

}  // namespace

TEST(AppFit, EveryCaptionFitsInEveryShippedLanguage) {
    CConfigFile config(nullptr);
    QTemporaryDir dir;
    // Sparse: five gigabytes of nothing.
    const std::string strBig = dir.filePath("big.ps").toStdString();
    std::ofstream(strBig).close();
    std::filesystem::resize_file(strBig, 5000000000);
    std::vector<std::filesystem::path> languages;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(TRELVO_SOURCE_DIR) / "lang")) {
        if (entry.path().extension() == ".lang") languages.push_back(entry.path());
    }
    ASSERT_GE(languages.size(), 2u);

    QFont larger = QApplication::font();
    larger.setPointSizeF(larger.pointSizeF() * 1.5);
    for (const auto& file : languages) {
        SCOPED_TRACE(file.filename().string());
        CShippedLanguage language(file);
        // Texts of real width: a missing font would let anything fit.
        ASSERT_GT(QFontMetrics(QApplication::font()).horizontalAdvance(QStringLiteral("Einstellungen")), 40);
        CheckLanguage(dir);
        SCOPED_TRACE("larger font");
        CAppFont font(larger);
        CheckLanguage(dir);
    }
}
