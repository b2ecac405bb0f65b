// Helpers shared by the desktop program's tests.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace apptest {

// The program directory of the tests (GetAppDir()) as a path.
std::filesystem::path AppDir();

// Writes Config.ini in the program directory for the lifetime of the object
// (no file when the text is null) and puts back what was there before.
class CConfigFile {
public:
    explicit CConfigFile(const char* pszText);
    ~CConfigFile();
    CConfigFile(const CConfigFile&) = delete;
    CConfigFile& operator=(const CConfigFile&) = delete;

    static std::string Read();

private:
    bool m_bHadFile = false;
    std::string m_strOld;
};

struct SBox {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString strTitle;
    QString strText;
};

// Answers every modal window that opens while it lives: message boxes are
// recorded and closed with OK, anything else goes to the handler (which must
// close it). Runs on the interface thread through the event loop.
class CModalWatcher {
public:
    explicit CModalWatcher(std::function<void(QWidget*)> fnOther = {});
    ~CModalWatcher();

    std::vector<SBox> m_boxes;
    // The button every box is answered with.
    QMessageBox::StandardButton m_answer = QMessageBox::Ok;

private:
    void Poll();
    QTimer m_timer;
    std::function<void(QWidget*)> m_fnOther;
};

// Runs the event loop until the condition holds (or a generous limit passes,
// which fails the calling test through the return value).
bool WaitFor(const std::function<bool()>& fnDone);

// A copy of a file from tests/data in a directory.
std::filesystem::path CopyFixture(const char* pszName, const std::filesystem::path& dir, const char* pszAs);

// Number of video frames a real decoder reads from the file (ffprobe);
// -1 when it cannot be read at all.
int DecodedVideoFrames(const std::filesystem::path& file);

}  // namespace apptest
