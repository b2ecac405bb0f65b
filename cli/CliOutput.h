// How trelvo-convert writes what it has to say: result lines that a file name
// cannot break, and one JSON object per file for scripts.
#pragma once

#include <string>

#include "convert/ConvertResult.h"

namespace cli {

// A file name for a plain result line: control characters and bytes that are
// not UTF-8 become \n, \t, \xHH escapes and a backslash is doubled, so one
// file gives one line whatever its name holds.
std::string EscapeForLine(const std::string& strBytes);

// A JSON string literal (quotes included). UTF-8 passes as it is; bytes that
// are not UTF-8 become \udcHH (the lone-surrogate form that keeps the exact
// bytes recoverable), control characters \uXXXX.
std::string JsonString(const std::string& strBytes);

struct SFileReport {
    std::string strInput;   // as given on the command line
    std::string strOutput;  // the output's path; empty when none was produced
    convert::SConversionResult result;
    std::string strReason;  // in the user's language, empty when whole
    double dWallSeconds = 0;
    // Not converted on purpose: its output exists and --no-overwrite keeps it.
    bool bSkipped = false;
    // A reason of the whole batch (the output directory), in place of the
    // result's own code.
    std::string strCode;
};

// "cam1.ps  Success  /out/cam1.mp4", "cam1.ps  Failed  <reason>" or
// "cam1.ps  Skipped  /out/cam1.mp4  (<reason>)", with the first two words in
// the user's language.
std::string ResultLine(const SFileReport& report, const std::string& strWord);
// One line of JSON with every field of the report.
std::string JsonLine(const SFileReport& report);

}  // namespace cli
