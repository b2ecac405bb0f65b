// File names between Qt and the engine, byte for byte (desktop build only).
//
// Qt 6.4 turns each undecodable byte of a name into U+FFFD (QFile::decodeName,
// QString::fromUtf8, QCoreApplication::arguments, QUrl::toLocalFile, its own
// file dialog), and QString::toStdWString does the same to a lone surrogate;
// "lat\xE9in1.ps" would come back as its twin "lat\xEF\xBF\xBDin1.ps". Here a
// name goes from bytes to QString to std::wstring with our own conversion: an
// undecodable byte stays the lone surrogate platform::NarrowToWide makes of it
// all the way, and only text shown to people gets U+FFFD.
#pragma once

#include <QByteArray>
#include <QString>

#include <string>

class QUrl;

namespace qtpaths {

QString FromBytes(const QByteArray& bytes);
QByteArray ToBytes(const QString& str);
QString FromWide(const std::wstring& str);
std::wstring ToWide(const QString& str);

// The path of a local file URL as its sender encoded it; empty for other URLs.
QString FromUrl(const QUrl& url);

// A name that came through Qt's own decoding: the one entry of its folder
// that Qt decodes to the same text, when there is exactly one (so a name with
// an undecodable byte still finds its file); else the name as it is.
QString FindDecodedName(const QString& strPath);

// A name or message as people should see it: stand-ins become U+FFFD.
QString ForDisplay(const std::wstring& str);

}  // namespace qtpaths
