// What an input is, told before any output is named for it, and what became
// of each of its streams, told after.
#pragma once

#include "convert/ConvertResult.h"
#include "libs/tessaro/tessaro.h"

#include <string>

namespace convert {

// Reads the first bytes of a regular file: a failure (an empty input, a file
// that is not a recorder stream) when it is refused, else success. Either
// way strInputFormat says what the bytes showed. A file that cannot be read
// here is left for the conversion to report.
SConversionResult ProbeInput(const std::string& strPath);

// The input's format and its streams' fates from the parser's status; bMp4:
// the output is MP4 (which encodes G.711 as AAC) rather than AVI.
void DescribeInput(const TessaroStatus& status, bool bMp4, SConversionResult& result);

}  // namespace convert
