#include "Encoding.h"

#include <cstdint>
#include <type_traits>

// UTF-8 <-> UTF-32 (wchar_t is 32 bits here)

namespace platform {

namespace {

static_assert(sizeof(wchar_t) == 4, "wide strings are expected to hold UTF-32");

bool IsValidCodePoint(uint32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// An undecodable byte b (0x80..0xFF) travels as the lone surrogate 0xDC00 + b.
constexpr uint32_t kByteEscape = 0xDC00;
bool IsByteEscape(uint32_t c) {
    return c >= kByteEscape + 0x80 && c <= kByteEscape + 0xFF;
}

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string WideToNarrow(const std::wstring& strWide) {
    std::string out;
    out.reserve(strWide.size());
    for (wchar_t wc : strWide) {
        const auto c = static_cast<uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wc));
        if (IsByteEscape(c))
            out += static_cast<char>(c - kByteEscape);
        else  // like a code page lacking the character: its default character
            AppendUtf8(out, IsValidCodePoint(c) ? c : '?');
    }
    return out;
}

std::wstring NarrowToWide(const std::string& strNarrow) {
    std::wstring out;
    out.reserve(strNarrow.size());
    const auto* p = reinterpret_cast<const unsigned char*>(strNarrow.data());
    const size_t n = strNarrow.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            out += static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        size_t len = 0;
        uint32_t c = 0;
        uint32_t min = 0;
        if ((b & 0xE0) == 0xC0) {
            len = 2, c = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3, c = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4, c = b & 0x07, min = 0x10000;
        }
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if (ok && (c < min || !IsValidCodePoint(c))) ok = false;
        if (ok) {
            out += static_cast<wchar_t>(c);
            i += len;
        } else {
            // Kept as it is, so that the name still opens the same file.
            out += static_cast<wchar_t>(kByteEscape + b);
            ++i;  // resynchronise on the next byte
        }
    }
    return out;
}

std::wstring DisplayText(const std::wstring& strText) {
    std::wstring out = strText;
    for (wchar_t& wc : out) {
        const auto c = static_cast<uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wc));
        if (c >= 0xD800 && c <= 0xDFFF) wc = L'\xFFFD';
    }
    return out;
}

}  // namespace platform
