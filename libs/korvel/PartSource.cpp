#include "libs/korvel/PartSource.h"

#include "libs/feed/Start.h"

#include <sys/stat.h>

#include <cstdio>
#include <new>

namespace korvel {

namespace {

uint64_t TotalBytes(const std::vector<std::string>& inputs) {
    uint64_t nTotal = 0;
    for (const std::string& strPath : inputs) {
        struct stat st {};
        if (::stat(strPath.c_str(), &st) == 0) nTotal += static_cast<uint64_t>(st.st_size);
    }
    return nTotal;
}

std::string BaseName(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

}  // namespace

CPartSource::CPartSource(std::vector<std::string> inputs, const KorvelPart& part)
    : m_inputs(std::move(inputs)),
      m_recording(
          m_inputs.size(), TotalBytes(m_inputs),
          [this](size_t i) -> std::unique_ptr<feed::IInputReader> {
              feed::EOpenError error = feed::EOpenError::None;
              std::unique_ptr<feed::CFileReader> pInput = feed::CFileReader::Open(m_inputs[i], error, m_strError);
              if (!pInput)
                  m_nFailure = error == feed::EOpenError::NotRegularFile ? KORVEL_ERR_NOT_REGULAR : KORVEL_ERR_INPUT;
              return pInput;
          },
          [] { return feed::CreateStartingParser(); }),
      m_nRecordedUs(part.nRecordedUs),
      m_nFrom(part.nFrom) {
    m_recording.SetCut(part.nFrom, part.nTo);
    if (part.bContinued) {
        feed::STimeline timeline;
        timeline.bStarted = true;
        timeline.bClockDerived = part.bClockDerived != 0;
        timeline.nEnd = part.nEnd;
        timeline.nClockEnd = part.nClockEnd;
        m_recording.Continue(timeline, part.nOrigin);
    }
}

feed::EFeedEnd CPartSource::Run(const feed::SFeedHooks& hooks) {
    m_nFailure = KORVEL_ERR_READ;
    m_strError.clear();
    const feed::SJoinEnd end = m_recording.Run(hooks);
    if (end.bNoParser) throw std::bad_alloc();
    if (end.end == feed::EFeedEnd::ReadError) {
        if (!end.bOpenFailed) m_strError = end.strError;
        // Which input it was, when there are several.
        if (m_inputs.size() > 1 && end.nInput < m_inputs.size()) {
            const std::string strName = BaseName(m_inputs[end.nInput]);
            m_strError = m_strError.empty() ? strName : strName + ": " + m_strError;
        }
    }
    return end.end;
}

bool CPartSource::Status(TessaroStatus& status) const {
    status = m_recording.Status();
    return true;
}

std::string CPartSource::CreationTime(int64_t nPts) const {
    const feed::CCut& cut = m_recording.Cut();
    if (m_nRecordedUs == KORVEL_NO_TIME || !cut.OriginKnown() || nPts == TESSARO_NO_TIME) return {};
    return feed::IsoUtc(feed::RecordedAt(m_nRecordedUs, cut.Origin(), nPts));
}

void CPartSource::Report(KorvelPart& part) const {
    const feed::CCut& cut = m_recording.Cut();
    const feed::STimeline& timeline = m_recording.Timeline();
    part.bContinued = cut.OriginKnown() ? 1 : 0;
    part.bClockDerived = timeline.bClockDerived ? 1 : 0;
    part.nOrigin = cut.Origin();
    part.nEnd = timeline.nEnd;
    part.nClockEnd = timeline.nClockEnd;
    part.bCutDone = cut.Done() ? 1 : 0;
    part.dStartsBefore = m_nFrom >= 0 ? static_cast<double>(cut.StartsBefore()) / feed::kTicksPerSecond : 0.0;
    const std::string strDate = cut.Started() ? CreationTime(cut.StartPts()) : std::string();
    std::snprintf(part.szCreationTime, sizeof part.szCreationTime, "%s", strDate.c_str());
}

}  // namespace korvel
