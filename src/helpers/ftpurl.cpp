// SPDX-License-Identifier: MIT
// FtpUrl: percent-encoding for the URLs that FtpService passes to libcurl unchanged.
#include "ftpurl.h"

#include "ftpfileinfo.h"

#include <QUrl>

namespace zendra {

namespace {

// What a path keeps unencoded besides the unreserved characters: the sub-delimiters without
// ';' (libcurl reads ";type=" as the FTP transfer type), ':', '@' and, between names, '/'.
const QByteArray nameCharacters = QByteArrayLiteral("!$&'()*+,=:@");
const QByteArray pathCharacters = nameCharacters + '/';

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Where the path starts: after "scheme://host[:port]", or at 0 in text without "://".
qsizetype pathStart(QStringView url)
{
    const qsizetype authority = url.indexOf(u"://");
    if (authority < 0)
        return 0;
    const qsizetype slash = url.indexOf(u'/', authority + 3);
    return slash < 0 ? url.size() : slash;
}

bool isEncodedPath(QStringView path)
{
    for (qsizetype i = 0; i < path.size(); ++i) {
        const QChar c = path[i];
        if (c == u'%') {
            if (i + 2 >= path.size() || !isHexDigit(path[i + 1]) || !isHexDigit(path[i + 2]))
                return false;
            i += 2;
        } else if (c.unicode() >= 0x80
            || !(c.isLetterOrNumber() || c == u'-' || c == u'.' || c == u'_' || c == u'~'
                || c == u';' || pathCharacters.contains(char(c.unicode())))) {
            return false;
        }
    }
    return true;
}

} // namespace

QString FtpUrl::fromUserInput(const QString &text)
{
    const qsizetype start = pathStart(text);
    const QStringView path = QStringView(text).sliced(start);
    if (isEncodedPath(path))
        return text;
    return text.left(start)
        + QString::fromLatin1(QUrl::toPercentEncoding(path.toString(), pathCharacters));
}

QString FtpUrl::entryUrl(const QString &directoryUrl, const FtpFileInfo &entry)
{
    QString url = fromUserInput(directoryUrl);
    const qsizetype start = pathStart(url);
    const qsizetype lastSlash = url.lastIndexOf(u'/');
    if (lastSlash >= start)
        url.truncate(lastSlash + 1);
    else
        url += u'/';
    url += QString::fromLatin1(QUrl::toPercentEncoding(entry.name(), nameCharacters));
    const FtpFileInfo::FileType type = entry.type();
    if (type == FtpFileInfo::Dir || type == FtpFileInfo::CurrentDir
        || type == FtpFileInfo::ParentDir)
        url += u'/';
    return url;
}

} // namespace zendra
