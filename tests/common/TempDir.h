// A directory of its own for one test, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "trelvo-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) m_path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Valid() const { return !m_path.empty(); }
    const std::filesystem::path& Root() const { return m_path; }
    // The directory with a trailing '/', as the program directory looks.
    std::string Dir() const { return m_path.string() + "/"; }
    std::wstring WDir() const { return m_path.wstring() + L"/"; }
    std::string Path(const std::string& strName) const { return Dir() + strName; }
    std::wstring WPath(const std::string& strName) const { return (m_path / strName).wstring(); }

private:
    std::filesystem::path m_path;
};

// Raw bytes in and out of files, so tests can compare them exactly.
inline bool WriteBytes(const std::string& strPath, const std::string& strBytes) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out << strBytes;
    return static_cast<bool>(out);
}

inline std::string ReadBytes(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
