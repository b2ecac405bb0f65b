// An output written under a temporary name beside its final one and renamed
// onto it only when complete, so that whatever happens (a failure, a stop, a
// crash, a full disk) a file already at the final name survives and no half
// file ever stands under it.
#pragma once

#include <string>

namespace platform {

class COutputFile {
public:
    explicit COutputFile(std::string strFinalPath);
    // Removes the temporary unless it was committed.
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // Makes a new, empty temporary in the final name's directory (created
    // exclusively, never through a link) after removing the temporaries that
    // dead processes left for the same name. False with the system's message.
    bool Create(std::string& strError);
    const std::string& TempPath() const { return m_strTemp; }
    const std::string& FinalPath() const { return m_strFinal; }

    // Puts the temporary's data on disk and renames it onto the final name.
    bool Commit(std::string& strError);
    // True once the temporary took the final name; a writer may still be
    // adding to it there.
    bool Committed() const { return m_bCommitted; }
    // Removes the temporary now.
    void Discard();

private:
    std::string m_strFinal;
    std::string m_strTemp;
    bool m_bCommitted = false;
};

// The prefix every temporary of strFinalPath's name starts with; a leftover is
// recognisable by it and by the process id that follows.
std::string TemporaryPrefix(const std::string& strFinalPath);

// Removes the temporaries of strFinalPath whose process no longer runs.
void RemoveStaleTemporaries(const std::string& strFinalPath);

}  // namespace platform
