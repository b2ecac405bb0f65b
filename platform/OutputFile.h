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
    const std::string& RequestedPath() const { return m_strRequested; }

    // Puts the temporary's data on disk and renames it onto the final name.
    bool Commit(std::string& strError);
    // As Commit, but a file that stands at the final name stays: the output
    // then takes the first free name of "<name>.part.<ext>",
    // "<name>.part-2.<ext>" ... beside it, and FinalPath() says which.
    bool CommitBeside(std::string& strError);
    // True once the temporary took the final name; a writer may still be
    // adding to it there.
    bool Committed() const { return m_bCommitted; }
    // Removes the temporary now.
    void Discard();

private:
    bool Sync(std::string& strError);

    std::string m_strRequested;
    std::string m_strFinal;
    std::string m_strTemp;
    bool m_bCommitted = false;
};

// What stands at an output's name. Only a regular file (or a link to one) may
// be replaced; a device, FIFO, socket or directory never is, nor removed.
enum class EOutputName {
    Free,     // nothing (or a link that leads nowhere)
    Regular,  // a regular file, or a link to one
    Stream,   // a FIFO or a character device, or a link to one
    Other,    // a directory, block device, socket, or a link to one
};
// With strWhat set to what it is ("a FIFO", "a character device" ...).
EOutputName ExamineOutputName(const std::string& strPath, std::string& strWhat);
// True when a file may be made at strPath by replacing what stands there;
// else false with the reason, naming the path.
bool MayReplaceOutput(const std::string& strPath, std::string& strError);

// "<dir>/<name>.part.<ext>" for n 1, "<dir>/<name>.part-<n>.<ext>" after.
std::string PartName(const std::string& strFinalPath, int n);

// The prefix every temporary of strFinalPath's name starts with; a leftover is
// recognisable by it and by the process id that follows.
std::string TemporaryPrefix(const std::string& strFinalPath);

// Removes the temporaries of strFinalPath whose process no longer runs.
void RemoveStaleTemporaries(const std::string& strFinalPath);

}  // namespace platform
