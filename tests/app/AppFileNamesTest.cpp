// File names are bytes: a name that is not UTF-8 reaches the list and the
// job unchanged from a drop, the command line and Qt's own file dialog,
// while the list shows U+FFFD for what cannot be shown.
#include "AppTestSupport.h"

#include "app/ConversionModel.h"
#include "app/TrelvoApp.h"
#include "app/TrelvoDlg.h"
#include "platform/Platform.h"
#include "platform/QtPaths.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

const QByteArray kLatin1("lat\xE9in1.ps");
const QByteArray kTwin("lat\xEF\xBF\xBDin1.ps");

// A drop as a file manager sends it: a URI list with the name's bytes
// percent-encoded.
void DropUri(QWidget& target, const QByteArray& path) {
    QMimeData mime;
    mime.setData(QStringLiteral("text/uri-list"), "file://" + path.toPercentEncoding("/") + "\r\n");
    QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &enter);
    QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &drop);
}

// The video codec of an output that a real reader decodes, read under a
// plain name (the reader is handed names as text); empty when it cannot.
QString VideoOf(const std::string& strPath, const fs::path& dir) {
    const fs::path plain = dir / "probe.avi";
    fs::copy_file(strPath, plain, fs::copy_options::overwrite_existing);
    if (apptest::DecodedVideoFrames(plain) <= 0) return {};
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                 QStringLiteral("v:0"), QStringLiteral("-show_entries"), QStringLiteral("stream=codec_name"),
                 QStringLiteral("-of"), QStringLiteral("csv=p=0"), QString::fromStdString(plain.string())});
    probe.waitForFinished(60000);
    return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
}

}  // namespace

TEST(AppFileNames, TheQtBridgeKeepsEveryByte) {
    for (const QByteArray& bytes :
         {kLatin1, kTwin, QByteArray("\xFF\xFE/\xC0\xAF"), QByteArray("\xE6\x97\xA5 \xF0\x9F\x98\x80")}) {
        const QString str = qtpaths::FromBytes(bytes);
        EXPECT_EQ(qtpaths::ToBytes(str), bytes);
        EXPECT_EQ(qtpaths::ToWide(str), platform::NarrowToWide(bytes.toStdString()));
        EXPECT_EQ(qtpaths::FromWide(qtpaths::ToWide(str)), str);
    }
    EXPECT_EQ(qtpaths::ForDisplay(platform::NarrowToWide(kLatin1.toStdString())), QString::fromUtf8(kTwin));

    EXPECT_EQ(qtpaths::ToBytes(qtpaths::FromUrl(QUrl::fromEncoded("file:///tmp/lat%E9in1.ps"))), "/tmp/" + kLatin1);
    EXPECT_EQ(qtpaths::FromUrl(QUrl::fromLocalFile(QStringLiteral("/tmp/a b#.ps"))), "/tmp/a b#.ps");
    EXPECT_EQ(qtpaths::FromUrl(QUrl(QStringLiteral("https://example.org/a.ps"))), QString());

    char szName[] = "trelvo";
    QByteArray arg = kTwin;
    char* argv[] = {szName, arg.data(), nullptr};
    const QStringList files = CTrelvoApp::FilesFromArguments(2, argv);
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(qtpaths::ToBytes(files[0]), kTwin);
}

TEST(AppFileNames, QtsOwnDialogNameFindsTheOneFileItCanMean) {
    QTemporaryDir dir;
    const QByteArray folder = qtpaths::ToBytes(dir.path()) + "/";
    const QString strShown = dir.path() + QStringLiteral("/lat\uFFFDin1.ps");  // as Qt decodes it
    std::ofstream(folder + kLatin1) << "x";
    EXPECT_EQ(qtpaths::ToBytes(qtpaths::FindDecodedName(strShown)), folder + kLatin1);
    EXPECT_EQ(qtpaths::FindDecodedName(dir.path() + "/plain.ps"), dir.path() + "/plain.ps");
    // With its twin beside it, Qt's text no longer tells which was meant.
    std::ofstream(folder + kTwin) << "y";
    EXPECT_EQ(qtpaths::FindDecodedName(strShown), strShown);
}

TEST(AppFileNames, EachTwinConvertsFromItsOwnBytes) {
    apptest::CConfigFile config(nullptr);
    QTemporaryDir dir;
    const fs::path tmp = dir.path().toStdString();
    const std::string strFolder = dir.path().toStdString() + "/";
    fs::copy_file(fs::path(TRELVO_SOURCE_DIR) / "tests/data/ps_h264_alaw.ps", strFolder + kLatin1.toStdString());
    fs::copy_file(fs::path(TRELVO_SOURCE_DIR) / "tests/data/ps_h265_ulaw.ps", strFolder + kTwin.toStdString());
    const std::string strLatin1Out = strFolder + "lat\xE9in1.avi";
    const std::string strTwinOut = strFolder + "lat\xEF\xBF\xBDin1.avi";

    // Dropped: the row holds the Latin-1 name's bytes and shows U+FFFD.
    {
        CTrelvoDlg dlg(QStringList(), &CTrelvoDlg::RunConversionJob);
        DropUri(dlg, qtpaths::ToBytes(dir.path()) + "/" + kLatin1);
        ASSERT_EQ(dlg.GetList().GetRowCount(), 1);
        EXPECT_EQ(platform::WideToNarrow(dlg.GetList().GetRowText(0, COL_FILENAME)), kLatin1.toStdString());
        EXPECT_EQ(dlg.GetList().GetRowText(0, COL_SIZE),
                  std::to_wstring(fs::file_size(strFolder + kLatin1.toStdString())));
        EXPECT_EQ(dlg.GetModel()->index(0, COL_FILENAME).data().toString(), QString::fromUtf8(kTwin));
        dlg.OnConvert();
        ASSERT_TRUE(apptest::WaitFor([&] { return !dlg.IsJobRunning(); }));
    }
    ASSERT_TRUE(fs::exists(strLatin1Out));
    EXPECT_FALSE(fs::exists(strTwinOut));
    EXPECT_EQ(VideoOf(strLatin1Out, tmp), "h264");  // the H.264 recording, not the H.265 twin

    // Named on the command line, relative to a folder that is not UTF-8
    // either: the twin converts from its own bytes.
    const std::string strSub = strFolder +
                               "d\xFC"
                               "r";
    fs::create_directory(strSub);
    fs::rename(strFolder + kTwin.toStdString(), strSub + "/" + kTwin.toStdString());
    const fs::path oldCwd = fs::current_path();
    fs::current_path(strSub);
    QByteArray arg = kTwin;
    char szName[] = "trelvo";
    char* argv[] = {szName, arg.data(), nullptr};
    {
        CTrelvoDlg dlg(CTrelvoApp::FilesFromArguments(2, argv), &CTrelvoDlg::RunConversionJob);
        fs::current_path(oldCwd);
        ASSERT_EQ(dlg.GetList().GetRowCount(), 1);
        EXPECT_EQ(platform::WideToNarrow(dlg.GetSourceDir()), strSub + "/");
        ASSERT_TRUE(apptest::WaitFor([&] { return !dlg.IsJobRunning(); }));
    }
    ASSERT_TRUE(fs::exists(strSub + "/lat\xEF\xBF\xBDin1.avi"));
    EXPECT_FALSE(fs::exists(strSub + "/lat\xE9in1.avi"));
    EXPECT_EQ(VideoOf(strSub + "/lat\xEF\xBF\xBDin1.avi", tmp), "hevc");
}
