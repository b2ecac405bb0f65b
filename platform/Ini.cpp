#include "Ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "Encoding.h"

namespace platform {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\v' || c == L'\f';
}

std::wstring_view Trim(std::wstring_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Case folding that does not depend on the process locale: ASCII, Latin-1,
// Greek and Cyrillic capitals.
wchar_t FoldCase(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return c + 32;
    if (c < 0x80) return c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F))
        return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

// The whole file, or nothing when it cannot be read.
bool ReadFileBytes(const std::string& strPath, std::string& strOut) {
    strOut.clear();
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(strPath.c_str(), "rb"), &std::fclose);
    if (!file) return false;
    char buf[8192];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, file.get())) > 0) strOut.append(buf, n);
    return !std::ferror(file.get());
}

// One physical line of the file: [begin, end) without its line break,
// [end, next) the break itself ("\n", "\r\n" or nothing at the end).
struct Line {
    size_t begin;
    size_t end;
    size_t next;
};

std::vector<Line> SplitLines(const std::string& text, size_t start) {
    std::vector<Line> lines;
    size_t pos = start;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back({pos, text.size(), text.size()});
            break;
        }
        size_t end = nl;
        if (end > pos && text[end - 1] == '\r') --end;
        lines.push_back({pos, end, nl + 1});
        pos = nl + 1;
    }
    return lines;
}

enum class LineKind { Other, Section, Entry };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::wstring strName;   // section or key, trimmed
    std::wstring strValue;  // entry value, trimmed
};

ParsedLine ParseLine(std::string_view raw) {
    ParsedLine parsed;
    const std::wstring wide = NarrowToWide(std::string(raw));
    std::wstring_view s = Trim(wide);
    if (s.empty() || s.front() == L';') return parsed;
    if (s.front() == L'[') {
        const size_t close = s.rfind(L']');
        if (close == std::wstring_view::npos) return parsed;  // not a header, not an entry
        parsed.kind = LineKind::Section;
        parsed.strName = Trim(s.substr(1, close - 1));
        return parsed;
    }
    const size_t eq = s.find(L'=');
    if (eq == std::wstring_view::npos) return parsed;
    parsed.kind = LineKind::Entry;
    parsed.strName = Trim(s.substr(0, eq));
    parsed.strValue = Trim(s.substr(eq + 1));
    return parsed;
}

// Text after an optional BOM.
size_t ContentStart(const std::string& text) {
    return text.compare(0, kBom.size(), kBom) == 0 ? kBom.size() : 0;
}

bool FindValue(const std::string& text, std::wstring_view section, std::wstring_view key, std::wstring& strValue) {
    bool inSection = false;
    for (const Line& line : SplitLines(text, ContentStart(text))) {
        ParsedLine parsed = ParseLine(std::string_view(text).substr(line.begin, line.end - line.begin));
        if (parsed.kind == LineKind::Section) {
            // The first section of that name is the one that counts.
            if (inSection) return false;
            inSection = EqualNoCase(parsed.strName, section);
        } else if (inSection && parsed.kind == LineKind::Entry && EqualNoCase(parsed.strName, key)) {
            strValue = std::move(parsed.strValue);
            return true;
        }
    }
    return false;
}

// A value in matching single or double quotes is read without them.
void StripQuotes(std::wstring& s) {
    const size_t n = s.size();
    if (n >= 2 && (s[0] == L'"' || s[0] == L'\'') && s[n - 1] == s[0]) {
        s.pop_back();
        s.erase(0, 1);
    }
}

bool ValidName(std::wstring_view s) {
    return !s.empty();
}

bool HasLineBreak(std::wstring_view s) {
    return s.find_first_of(L"\r\n") != std::wstring_view::npos || s.find(L'\0') != std::wstring_view::npos;
}

// Rewrites the file through a sibling temporary file so that a failure half
// way never leaves a truncated Config.ini behind.
bool ReplaceFile(const std::string& strPath, const std::string& strContent) {
    std::string target = strPath;
    bool existed = false;
    mode_t mode = 0666;  // a new file gets the umask applied by open()
    struct stat st {};
    if (::stat(strPath.c_str(), &st) == 0) {
        // A read-only file stays unwritten, as on the original platform.
        if (!S_ISREG(st.st_mode) || ::access(strPath.c_str(), W_OK) != 0) return false;
        existed = true;
        mode = st.st_mode & 07777;
        // Write through a symbolic link rather than replacing the link.
        std::unique_ptr<char, void (*)(void*)> real(::realpath(strPath.c_str(), nullptr), &std::free);
        if (real) target = real.get();
    }
    static std::atomic<unsigned> s_nCounter{0};
    int fd = -1;
    std::string tmp;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        tmp = target + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(s_nCounter++);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, existed ? 0600 : mode);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = !existed || ::fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < strContent.size()) {
        ssize_t n = ::write(fd, strContent.data() + done, strContent.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

// Names or values that would break the line structure could inject or hide
// entries; they are refused.
bool IsSafeEntry(const std::wstring& strSection, const std::wstring& strKey, const std::wstring& strValue) {
    const std::wstring_view section = Trim(strSection);
    const std::wstring_view key = Trim(strKey);
    return ValidName(section) && ValidName(key) && !HasLineBreak(strSection) && !HasLineBreak(strKey) &&
           !HasLineBreak(strValue) && key.find(L'=') == std::wstring_view::npos && key.front() != L'[' &&
           key.front() != L';' && section.find(L']') == std::wstring_view::npos;
}

// The file's text, empty for a file that is not there yet; false for one
// that is there but cannot be read, which must not be clobbered.
bool ReadForRewrite(const std::string& strPath, std::string& text) {
    if (ReadFileBytes(strPath, text)) return true;
    struct stat st {};
    if (::stat(strPath.c_str(), &st) == 0) return false;
    text.clear();
    return true;
}

}  // namespace

std::wstring GetProfileString(const std::wstring& strSection, const std::wstring& strKey,
                              const std::wstring& strDefault, size_t nBufferChars, const std::wstring& strFile) {
    if (nBufferChars == 0) return {};
    std::wstring strValue;
    std::string text;
    const std::wstring_view section = Trim(strSection);
    const std::wstring_view key = Trim(strKey);
    bool found = ValidName(section) && ValidName(key) && ReadFileBytes(WideToNarrow(strFile), text) &&
                 FindValue(text, section, key, strValue);
    if (found) {
        StripQuotes(strValue);
    } else {
        // Trailing blanks of the default are dropped, as the platform does.
        strValue = strDefault;
        while (!strValue.empty() && IsBlank(strValue.back())) strValue.pop_back();
    }
    if (strValue.size() > nBufferChars - 1) strValue.resize(nBufferChars - 1);
    return strValue;
}

int32_t GetProfileInt(const std::wstring& strSection, const std::wstring& strKey, int32_t nDefault,
                      const std::wstring& strFile) {
    const std::wstring strValue = GetProfileString(strSection, strKey, L"", 64, strFile);
    if (strValue.empty()) return nDefault;
    size_t i = 0;
    while (i < strValue.size() && IsBlank(strValue[i])) ++i;
    bool negative = false;
    if (i < strValue.size() && (strValue[i] == L'+' || strValue[i] == L'-')) negative = strValue[i++] == L'-';
    unsigned base = 10;
    if (i + 1 < strValue.size() && strValue[i] == L'0' && (strValue[i + 1] == L'x' || strValue[i + 1] == L'X')) {
        base = 16;
        i += 2;
    }
    // Accumulate modulo 2^32 like the platform's converter: no overflow trap.
    uint32_t result = 0;
    for (; i < strValue.size(); ++i) {
        const wchar_t c = strValue[i];
        unsigned digit = 0;
        if (c >= L'0' && c <= L'9')
            digit = static_cast<unsigned>(c - L'0');
        else if (base == 16 && c >= L'a' && c <= L'f')
            digit = static_cast<unsigned>(c - L'a' + 10);
        else if (base == 16 && c >= L'A' && c <= L'F')
            digit = static_cast<unsigned>(c - L'A' + 10);
        else
            break;
        result = result * base + digit;
    }
    if (negative) result = 0u - result;
    return static_cast<int32_t>(result);
}

bool WriteProfileString(const std::wstring& strSection, const std::wstring& strKey, const std::wstring& strValue,
                        const std::wstring& strFile) {
    if (!IsSafeEntry(strSection, strKey, strValue)) return false;
    const std::wstring_view section = Trim(strSection);
    const std::wstring_view key = Trim(strKey);
    const std::string strPath = WideToNarrow(strFile);
    std::string text;
    if (!ReadForRewrite(strPath, text)) return false;
    const std::vector<Line> lines = SplitLines(text, ContentStart(text));
    // New lines follow the file's own convention.
    const std::string_view eol = !lines.empty() && lines.front().next - lines.front().end == 2 ? "\r\n" : "\n";

    const std::string narrowValue = WideToNarrow(strValue);
    bool inSection = false;
    bool sectionSeen = false;
    size_t insertAt = std::string::npos;  // after the last entry of the section
    for (const Line& line : lines) {
        std::string_view raw = std::string_view(text).substr(line.begin, line.end - line.begin);
        ParsedLine parsed = ParseLine(raw);
        if (parsed.kind == LineKind::Section) {
            if (inSection) break;
            if (!sectionSeen && EqualNoCase(parsed.strName, section)) {
                inSection = sectionSeen = true;
                insertAt = line.next;
                if (line.next == line.end) {  // header is the unterminated last line
                    text += eol;
                    insertAt = text.size();
                }
            }
            continue;
        }
        if (!inSection || parsed.kind != LineKind::Entry) continue;
        if (EqualNoCase(parsed.strName, key)) {
            // Keep the stored spelling of the key and this line's break.
            std::string replacement = WideToNarrow(parsed.strName) + "=" + narrowValue;
            text.replace(line.begin, line.end - line.begin, replacement);
            return ReplaceFile(strPath, text);
        }
        insertAt = line.next;
        if (line.next == line.end) {
            text += eol;
            insertAt = text.size();
        }
    }

    std::string entry = WideToNarrow(std::wstring(key));
    entry.append("=").append(narrowValue).append(eol);
    if (sectionSeen) {
        text.insert(insertAt, entry);
    } else {
        if (!text.empty() && text.size() > ContentStart(text) && text.back() != '\n') text += eol;
        // Appended piece by piece: GCC 12 warns falsely on "[" + std::string.
        text.append("[").append(WideToNarrow(std::wstring(section))).append("]").append(eol).append(entry);
    }
    return ReplaceFile(strPath, text);
}

}  // namespace platform
