#include "cli/CliOutput.h"

#include <cstdint>
#include <cstdio>

namespace cli {

namespace {

// Length of the valid UTF-8 sequence at p (1..4), or 0 when it is not one.
size_t Utf8Length(const unsigned char* p, size_t n) {
    const unsigned char b = p[0];
    size_t nLen = 0;
    uint32_t c = 0;
    uint32_t nMin = 0;
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0) {
        nLen = 2, c = b & 0x1F, nMin = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        nLen = 3, c = b & 0x0F, nMin = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        nLen = 4, c = b & 0x07, nMin = 0x10000;
    } else {
        return 0;
    }
    if (nLen > n) return 0;
    for (size_t i = 1; i < nLen; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < nMin || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return nLen;
}

std::string Hex(const char* pszFormat, unsigned v) {
    char sz[16];
    std::snprintf(sz, sizeof sz, pszFormat, v);
    return sz;
}

}  // namespace

std::string EscapeForLine(const std::string& strBytes) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(strBytes.data());
    const size_t n = strBytes.size();
    for (size_t i = 0; i < n;) {
        const unsigned char b = p[i];
        const size_t nLen = Utf8Length(p + i, n - i);
        if (b == '\\') {
            out += "\\\\";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b < 0x20 || b == 0x7F || nLen == 0) {
            out += Hex("\\x%02x", b);
        } else {
            out.append(strBytes, i, nLen);
            i += nLen;
            continue;
        }
        ++i;
    }
    return out;
}

std::string JsonString(const std::string& strBytes) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(strBytes.data());
    const size_t n = strBytes.size();
    for (size_t i = 0; i < n;) {
        const unsigned char b = p[i];
        const size_t nLen = Utf8Length(p + i, n - i);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b == '\t') {
            out += "\\t";
        } else if (nLen == 0) {
            out += Hex("\\udc%02x", b);
        } else if (b < 0x20 || b == 0x7F) {
            out += Hex("\\u%04x", b);
        } else {
            out.append(strBytes, i, nLen);
            i += nLen;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

namespace {

// What a successful output holds beyond the plain conversion, for the
// result line: where a part starts, what was joined, where it goes on.
std::string Notes(const SFileReport& report) {
    const convert::SConversionResult& r = report.result;
    std::string strNotes = report.strReason;
    auto add = [&](const std::string& strNote) { strNotes += (strNotes.empty() ? "" : "; ") + strNote; };
    if (r.dStartsBefore >= 0) {
        char sz[64];
        std::snprintf(sz, sizeof sz, "starts %.3f s before --from", r.dStartsBefore);
        add(sz);
    }
    if (r.nJoined > 1) add("joined " + std::to_string(r.nJoined) + " inputs");
    if (!r.strContinuedIn.empty()) add("continues in " + r.strContinuedIn + ": " + r.strChange);
    if (r.bTimeNotInName) add("no recording time in the name");
    return strNotes;
}

}  // namespace

std::string ResultLine(const SFileReport& report, const std::string& strWord) {
    std::string strLine = EscapeForLine(report.strInput) + "  " + (report.bSkipped ? "Skipped" : strWord) + "  ";
    if (report.bSkipped) {
        strLine += EscapeForLine(report.strOutput) + "  (" + EscapeForLine(report.strReason) + ")";
    } else if (report.result.bSuccess) {
        strLine += EscapeForLine(report.strOutput);
        const std::string strNotes = Notes(report);
        if (!strNotes.empty()) strLine += "  (" + EscapeForLine(strNotes) + ")";
    } else {
        strLine += EscapeForLine(report.strReason.empty() ? std::string("(no output)") : report.strReason);
    }
    return strLine;
}

std::string JsonLine(const SFileReport& report) {
    const convert::SConversionResult& r = report.result;
    char szNumbers[200];
    std::snprintf(szNumbers, sizeof szNumbers,
                  "\"pictures\":%llu,\"dropped_at_start\":%llu,\"seconds\":%.3f,\"bytes\":%llu,\"wall_seconds\":%.3f",
                  static_cast<unsigned long long>(r.nPictures), static_cast<unsigned long long>(r.nDroppedAtStart),
                  r.dMediaSeconds, static_cast<unsigned long long>(r.nOutputBytes), report.dWallSeconds);
    std::string strLine = "{\"input\":" + JsonString(report.strInput) + ",\"output\":";
    strLine += r.bSuccess || report.bSkipped ? JsonString(report.strOutput) : "null";
    const char* pszResult = report.bSkipped ? "skipped" : r.bSuccess ? "success" : "failed";
    strLine += std::string(",\"result\":\"") + pszResult + "\",\"whole\":";
    strLine += r.Whole() ? "true" : "false";
    strLine += ",\"reason\":";
    if (!report.strCode.empty())
        strLine += JsonString(report.strCode);
    else
        strLine += r.reason == convert::EReason::None ? "null" : JsonString(convert::ReasonCode(r.reason));
    strLine += ",\"message\":";
    strLine += report.strReason.empty() ? "null" : JsonString(report.strReason);
    strLine += std::string(",") + szNumbers;
    // Fields of the options that were asked for, only then.
    if (r.dStartsBefore >= 0) {
        char sz[64];
        std::snprintf(sz, sizeof sz, ",\"starts_before_from\":%.3f", r.dStartsBefore);
        strLine += sz;
    }
    if (!r.strCreationTime.empty() || r.bTimeNotInName)
        strLine += ",\"creation_time\":" + (r.strCreationTime.empty() ? "null" : JsonString(r.strCreationTime));
    // What the input was and what became of each of its streams.
    strLine += ",\"input_format\":" + (r.strInputFormat.empty() ? "null" : JsonString(r.strInputFormat));
    if (r.nContinuityErrors > 0) strLine += ",\"continuity_errors\":" + std::to_string(r.nContinuityErrors);
    strLine += ",\"streams\":[";
    for (size_t i = 0; i < r.streams.size(); ++i) {
        const convert::SStreamFate& f = r.streams[i];
        strLine += (i ? ",{" : "{") + std::string("\"kind\":") + JsonString(f.strKind) +
                   ",\"codec\":" + JsonString(f.strCodec) + ",\"id\":" + std::to_string(f.nId) +
                   ",\"fate\":" + JsonString(f.strFate);
        if (!f.strReason.empty()) strLine += ",\"reason\":" + JsonString(f.strReason);
        strLine += "}";
    }
    strLine += "]";
    if (r.nJoined > 0) {
        strLine += ",\"joined\":" + std::to_string(r.nJoined) + ",\"continued_in\":";
        strLine += r.strContinuedIn.empty() ? "null" : JsonString(r.strContinuedIn);
        strLine += ",\"change\":";
        strLine += r.strChange.empty() ? "null" : JsonString(r.strChange);
    }
    return strLine + "}";
}

}  // namespace cli
