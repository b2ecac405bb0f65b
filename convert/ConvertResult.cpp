#include "convert/ConvertResult.h"

#include "lang/MultiLanguage.h"
#include "platform/Platform.h"

namespace convert {

namespace {

struct SReasonName {
    EReason reason;
    const wchar_t* pszKey;
    const char* pszCode;
};

constexpr SReasonName kReasons[] = {
    {EReason::OpenInput, L"Trelvo.ReasonOpenInput", "open-input"},
    {EReason::ReadInput, L"Trelvo.ReasonReadInput", "read-input"},
    {EReason::NotRegularFile, L"Trelvo.ReasonNotRegularFile", "not-regular-file"},
    {EReason::NotRecorderStream, L"Trelvo.ReasonNotRecorderStream", "not-recorder-stream"},
    {EReason::EmptyInput, L"Trelvo.ReasonEmptyInput", "empty-input"},
    {EReason::UnsupportedVideo, L"Trelvo.ReasonUnsupportedVideo", "unsupported-video"},
    {EReason::NoKeyFrame, L"Trelvo.ReasonNoKeyFrame", "no-key-frame"},
    {EReason::WriteOutput, L"Trelvo.ReasonWriteOutput", "write-output"},
    {EReason::SameFile, L"Trelvo.ReasonSameFile", "same-file"},
    {EReason::NameUsed, L"Trelvo.ReasonNameUsed", "name-used"},
    {EReason::Stopped, L"Trelvo.ReasonStopped", "stopped"},
    {EReason::InputChanged, L"Trelvo.ReasonInputChanged", "input-changed"},
    {EReason::CodecChanged, L"Trelvo.ReasonCodecChanged", "codec-changed"},
    {EReason::AudioLeftOut, L"Trelvo.ReasonAudioLeftOut", "audio-left-out"},
    {EReason::Internal, L"Trelvo.ReasonInternal", "internal"},
};

const SReasonName* Find(EReason reason) {
    for (const SReasonName& r : kReasons) {
        if (r.reason == reason) return &r;
    }
    return nullptr;
}

}  // namespace

const wchar_t* ReasonKey(EReason reason) {
    const SReasonName* p = Find(reason);
    return p ? p->pszKey : L"";
}

const char* ReasonCode(EReason reason) {
    const SReasonName* p = Find(reason);
    return p ? p->pszCode : "";
}

std::wstring ReasonText(const SConversionResult& result) {
    if (result.reason == EReason::None) return {};
    std::wstring strText = CMultiLanguage::GetText(ReasonKey(result.reason));
    if (result.reason == EReason::NotRecorderStream && !result.strInputFormat.empty()) {
        // A file of a kind we know by name says which: "an MP4 file, not a recorder stream".
        const std::wstring strName =
            CMultiLanguage::GetText(L"Trelvo.File." + platform::NarrowToWide(result.strInputFormat));
        if (!strName.empty() && strName.find(L"File.") != 0)
            strText = strName + L", " + CMultiLanguage::GetText(L"Trelvo.ReasonOtherFile");
    }
    if (!result.strDetail.empty()) strText += L": " + platform::NarrowToWide(result.strDetail);
    return strText;
}

}  // namespace convert
