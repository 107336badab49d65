// SPDX-License-Identifier: MIT
#ifndef ZENDRA_FTPURL_H
#define ZENDRA_FTPURL_H

#include "zendra_export.h"

#include <QString>

namespace zendra {

class FtpFileInfo;

/// The percent-encoded URLs (RFC 3986) that FtpService expects: it hands every URL to libcurl
/// as it is, so a space, a '%' or a non-ASCII letter in a name has to be encoded first.
/// FtpDirectoryModel, FtpDownload and zendra-cli pass the URLs they are given through
/// fromUserInput(), and the model offers entryUrl() of each row.
class ZENDRA_EXPORT FtpUrl
{
public:
    FtpUrl() = delete;

    /// @p text as a URL for FtpService. Unchanged when its path (what follows "scheme://host")
    /// is already encoded: only characters that a URL path may hold, and every '%' followed by
    /// two hexadecimal digits. Otherwise the path is taken as typed, and every character but
    /// the letters, the digits, "-._~!$&'()*+,=:@" and '/' is percent-encoded as UTF-8, '%',
    /// '?', '#' and ';' among them. So "50%41.txt" (a valid escape) stays, and names "50A.txt".
    static QString fromUserInput(const QString &text);
    /// The URL of @p entry from a listing of @p directoryUrl: the directory that listing lists
    /// (fromUserInput() of @p directoryUrl up to its last '/'), the entry's name percent-encoded,
    /// and a '/' after a directory.
    static QString entryUrl(const QString &directoryUrl, const FtpFileInfo &entry);
};

} // namespace zendra

#endif // ZENDRA_FTPURL_H
