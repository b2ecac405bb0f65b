// libFuzzer target: one input through the whole MP4 conversion (reader,
// parser, writer, AAC), checking that success holds exactly when an output
// exists and that progress never passes its total.
#include <cstdlib>

#include "convert/ConversionList.h"
#include "convert/ConvertEngine.h"
#include "convert_fuzz.h"

namespace {

class CFuzzHost final : public IConversionHost {
public:
    int32_t GetRowCount() override { return 1; }
    bool IsRowChecked(int32_t) override { return true; }
    std::wstring GetRowText(int32_t, int32_t nColumn) override { return nColumn == COL_FILENAME ? L"in.h264" : L""; }
    void SetRowText(int32_t, int32_t nColumn, const std::wstring& strText) override {
        if (nColumn == COL_PROGRESS && std::stol(strText) > 100) std::abort();
    }
    std::wstring GetSourceDir(int32_t) override { return Dir(); }
    std::wstring GetSaveDir(int32_t) override { return Dir(); }
    void ShowMessage(const std::wstring&) override {}

private:
    static std::wstring Dir() {
        const std::string& s = fuzzing::ScratchDir();
        return std::wstring(s.begin(), s.end()) + L"/";
    }
};

}  // namespace

// The libraries' messages would cost more than the run itself.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::Quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string strIn = fuzzing::ScratchDir() + "/in.h264";
    const std::string strOut = fuzzing::ScratchDir() + "/in.mp4";
    std::remove(strOut.c_str());
    if (!fuzzing::WriteInput(strIn, data, size)) return 0;
    CFuzzHost host;
    convert::CMp4Backend backend;
    convert::CBatchOutputs batch;
    const convert::SConversionResult result = convert::Mp4ConvertRow(host, 0, backend, batch);
    if (result.bSuccess != fuzzing::Exists(strOut)) std::abort();
    return 0;
}
