#include "AppTestSupport.h"

#include "platform/Platform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <fstream>
#include <sstream>

namespace apptest {

std::filesystem::path AppDir() {
    return std::filesystem::path(platform::WideToNarrow(GetAppDir()));
}

namespace {

std::filesystem::path ConfigPath() {
    return AppDir() / "Config.ini";
}

}  // namespace

CConfigFile::CConfigFile(const char* pszText) {
    std::ifstream in(ConfigPath(), std::ios::binary);
    if (in) {
        m_bHadFile = true;
        std::ostringstream ss;
        ss << in.rdbuf();
        m_strOld = ss.str();
    }
    in.close();
    std::filesystem::remove(ConfigPath());
    if (pszText != nullptr) std::ofstream(ConfigPath(), std::ios::binary) << pszText;
}

CConfigFile::~CConfigFile() {
    std::error_code ec;
    std::filesystem::remove(ConfigPath(), ec);
    if (m_bHadFile) std::ofstream(ConfigPath(), std::ios::binary) << m_strOld;
}

std::string CConfigFile::Read() {
    std::ifstream in(ConfigPath(), std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

CModalWatcher::CModalWatcher(std::function<void(QWidget*)> fnOther) : m_fnOther(std::move(fnOther)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
    m_timer.start(5);
}

CModalWatcher::~CModalWatcher() = default;

void CModalWatcher::Poll() {
    QWidget* pModal = QApplication::activeModalWidget();
    if (pModal == nullptr || !pModal->isVisible()) return;
    if (auto* pBox = qobject_cast<QMessageBox*>(pModal)) {
        m_boxes.push_back({pBox->icon(), pBox->windowTitle(), pBox->text()});
        pBox->done(m_answer);
    } else if (m_fnOther) {
        m_fnOther(pModal);
    }
}

bool WaitFor(const std::function<bool()>& fnDone) {
    QElapsedTimer timer;
    timer.start();
    while (!fnDone()) {
        if (timer.elapsed() > 60000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

std::filesystem::path CopyFixture(const char* pszName, const std::filesystem::path& dir, const char* pszAs) {
    const std::filesystem::path src = std::filesystem::path(TRELVO_SOURCE_DIR) / "tests" / "data" / pszName;
    std::filesystem::path dst = dir / pszAs;
    std::filesystem::copy_file(src, dst, std::filesystem::copy_options::overwrite_existing);
    return dst;
}

int DecodedVideoFrames(const std::filesystem::path& file) {
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                 QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                 QStringLiteral("stream=nb_read_frames"), QStringLiteral("-of"), QStringLiteral("csv=p=0"),
                 QString::fromStdString(file.string())});
    if (!probe.waitForFinished(60000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0) return -1;
    bool bOk = false;
    const int nFrames = QString::fromUtf8(probe.readAllStandardOutput()).trimmed().toInt(&bOk);
    return bOk ? nFrames : -1;
}

}  // namespace apptest
