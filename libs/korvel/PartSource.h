// The AVI conversion's source for KorvelConvertPart: inputs joined on one
// timeline and cut to the part asked for.
#pragma once

#include <string>
#include <vector>

#include "libs/feed/Recording.h"
#include "libs/korvel/AviConversion.h"

namespace korvel {

class CPartSource final : public ISource {
public:
    CPartSource(std::vector<std::string> inputs, const KorvelPart& part);
    uint64_t Size() const override { return m_recording.TotalBytes(); }
    feed::EFeedEnd Run(const feed::SFeedHooks& hooks) override;
    bool Status(TessaroStatus& status) const override;
    int32_t ReadFailure() const override { return m_nFailure; }
    std::string ErrorText() const override { return m_strError; }
    std::string CreationTime(int64_t nPts) const override;
    // Where the last run left the timeline and the cut.
    void Report(KorvelPart& part) const;

private:
    std::vector<std::string> m_inputs;
    feed::CRecording m_recording;
    int64_t m_nRecordedUs;
    int64_t m_nFrom;
    int32_t m_nFailure = KORVEL_ERR_READ;
    std::string m_strError;
};

}  // namespace korvel
