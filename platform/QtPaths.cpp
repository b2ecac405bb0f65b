#include "platform/QtPaths.h"

#include "platform/Platform.h"

#include <QUrl>

#include <dirent.h>

#include <memory>
#include <vector>

namespace qtpaths {

QString FromBytes(const QByteArray& bytes) {
    return FromWide(platform::NarrowToWide(bytes.toStdString()));
}

QByteArray ToBytes(const QString& str) {
    return QByteArray::fromStdString(platform::WideToNarrow(ToWide(str)));
}

QString FromWide(const std::wstring& str) {
    QString out;
    out.reserve(static_cast<qsizetype>(str.size()));
    for (wchar_t wc : str) {
        const auto c = static_cast<char32_t>(wc);
        if (c > 0xFFFF && c <= 0x10FFFF) {
            out += QChar(QChar::highSurrogate(c));
            out += QChar(QChar::lowSurrogate(c));
        } else {
            // A lone surrogate goes in as it is; so would anything else.
            out += QChar(static_cast<char16_t>(c <= 0xFFFF ? c : 0xFFFD));
        }
    }
    return out;
}

std::wstring ToWide(const QString& str) {
    std::wstring out;
    out.reserve(static_cast<size_t>(str.size()));
    for (qsizetype i = 0; i < str.size(); ++i) {
        const QChar c = str[i];
        if (c.isHighSurrogate() && i + 1 < str.size() && str[i + 1].isLowSurrogate()) {
            out += static_cast<wchar_t>(QChar::surrogateToUcs4(c, str[i + 1]));
            ++i;
        } else {
            out += static_cast<wchar_t>(c.unicode());  // a lone surrogate stays one
        }
    }
    return out;
}

QString FromUrl(const QUrl& url) {
    if (!url.isLocalFile()) return {};
    // QUrl keeps a percent-encoded byte that is not UTF-8 as it came.
    if (!url.host().isEmpty()) return url.toLocalFile();
    return FromBytes(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
}

QString FindDecodedName(const QString& strPath) {
    if (!strPath.contains(QChar(QChar::ReplacementCharacter))) return strPath;
    const qsizetype slash = strPath.lastIndexOf(QLatin1Char('/'));
    const QString strDir = slash < 0 ? QStringLiteral(".") : strPath.left(slash + 1);
    const QString strName = strPath.mid(slash + 1);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(ToBytes(strDir).constData()), &::closedir);
    if (!dir) return strPath;
    std::vector<QByteArray> matches;
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const QByteArray name(pEntry->d_name);
        if (QString::fromUtf8(name) == strName) matches.push_back(name);
    }
    // Two names that Qt shows alike cannot be told apart any more.
    if (matches.size() != 1) return strPath;
    return (slash < 0 ? QString() : strDir) + FromBytes(matches.front());
}

QString ForDisplay(const std::wstring& str) {
    return FromWide(platform::DisplayText(str));
}

}  // namespace qtpaths
