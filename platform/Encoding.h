// Text between the wide strings the program keeps and the narrow bytes the C
// library and the file system take.
#pragma once

#include <string>

namespace platform {

// Wide path to the narrow encoding the C library expects (UTF-8), and back.
// File names are bytes: a byte that is not part of valid UTF-8 comes in as
// the lone surrogate U+DC80..U+DCFF and goes out as that byte again, so every
// byte string survives NarrowToWide and WideToNarrow unchanged. Other code
// points without a UTF-8 form (other surrogates, past U+10FFFF) become '?'.
std::string WideToNarrow(const std::wstring& strWide);
std::wstring NarrowToWide(const std::string& strNarrow);
// Text to show a person: every surrogate, such as a stand-in for a byte,
// becomes U+FFFD. Never for a name that is to be opened.
std::wstring DisplayText(const std::wstring& strText);

}  // namespace platform
