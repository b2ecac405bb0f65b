// libFuzzer target: one input through the AVI library, checking that success
// holds exactly when an output exists and that progress never passes its
// total.
#include <cstdlib>

#include "convert_fuzz.h"
#include "libs/korvel/korvel.h"

namespace {

void Progress(uint64_t nPosition, uint64_t nTotal, void*) {
    if (nPosition > nTotal) std::abort();
}

}  // namespace

// The libraries' messages would cost more than the run itself.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::Quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string strIn = fuzzing::ScratchDir() + "/in.h264";
    const std::string strOut = fuzzing::ScratchDir() + "/in.avi";
    std::remove(strOut.c_str());
    if (!fuzzing::WriteInput(strIn, data, size)) return 0;
    KorvelResult result{};
    const int32_t nCode = KorvelConvert(strIn.c_str(), strOut.c_str(), Progress, nullptr, nullptr, &result);
    if ((nCode >= 0) != fuzzing::Exists(strOut) || nCode != result.nCode) std::abort();
    return 0;
}
