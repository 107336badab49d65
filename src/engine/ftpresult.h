// SPDX-License-Identifier: MIT
#ifndef ZENDRA_FTPRESULT_H
#define ZENDRA_FTPRESULT_H

#include "zendra_export.h"

#include <QSharedDataPointer>
#include <QString>
#include <QtCore/qobjectdefs.h>

namespace zendra {

class FtpResultPrivate;

/// The outcome of one FTP request: whether it succeeded and, if not, libcurl's code and text.
/// FtpService::lastResult() gives the outcome of the request whose callback is running.
class ZENDRA_EXPORT FtpResult
{
    Q_GADGET

public:
    /// Who vouched for the root CA that the server's chain was verified against.
    enum Trust {
        NoTrust, ///< The server was not verified (no TLS, verification off, or a failure).
        SystemTrust, ///< A CA of the system's list (the default SSL configuration's CAs).
        ImportedTrust, ///< A CA file that the host imported with FtpService::loadCertificate().
        /// A root that only the server's own chain supplied, learned on first use: the server
        /// vouched for itself. Never under FtpService::setRequireVerifiedPeer(true).
        FirstUseTrust,
        PinnedTrust ///< The root pinned to this server (host and port) when the host accepted it.
    };
    Q_ENUM(Trust)

    /// A result of no request: not a success, code() -1, empty url(), attempts() 0.
    FtpResult();
    /// A result of a request to @p url whose last attempt ended with libcurl's @p code (0 for
    /// success, -1 when no transfer was attempted) and @p errorString, after @p attempts runs.
    FtpResult(const QString &url, int code, const QString &errorString, int attempts);
    /// Copies @p other; the copy shares its data.
    FtpResult(const FtpResult &other);
    /// Makes this result a copy of @p other.
    FtpResult &operator=(const FtpResult &other);
    /// Destroys the result.
    ~FtpResult();

    /// True when the request's last attempt succeeded (code() is 0).
    bool isSuccess() const;
    /// libcurl's code of the last attempt (a CURLcode): 0 on success, for example 7 when the
    /// server could not be reached, 67 when the login was refused, 78 when the remote file does
    /// not exist; -1 when no transfer was attempted (the local file could not be opened).
    int code() const;
    /// Why the last attempt failed: where the server refused a command, its reply and what it
    /// refused ("the server does not support MLSD (500 Unknown command.)"), otherwise libcurl's
    /// description (for code -1, why the local file could not be opened); empty on success.
    QString errorString() const;
    /// The URL of the request.
    QString url() const;
    /// How many times the request ran: more than 1 when certificate failures made the service
    /// repeat it.
    int attempts() const;

    /// True when TLS protected the last attempt's control connection and the server accepted
    /// data protection (PROT P) on that connection, so that its data connections were protected.
    bool isEncrypted() const;
    /// True when the server's certificate chain was verified against the CA file on the last
    /// attempt's TLS connection.
    bool isPeerVerified() const;
    /// True when the server's certificate was checked to name the URL's host on the last
    /// attempt's TLS connection.
    bool isHostVerified() const;
    /// Records how the last attempt was protected; a result starts with all three false.
    void setProtection(bool encrypted, bool peerVerified, bool hostVerified);
    /// The code of the server's last reply in the last attempt (550, say, when it refused the
    /// file); 0 when the server never answered.
    int replyCode() const;
    /// That reply's last line as the server sent it, code included ("550 No such file").
    QString reply() const;
    /// The command that reply answered ("RETR pub/a.txt", "MLSD"); empty for the greeting.
    QString replyCommand() const;
    /// Records the server's last reply; a result starts without one.
    void setReply(int code, const QString &reply, const QString &command);
    /// For a listing, the command whose reply it parsed: "MLSD", or "LIST" when the server
    /// refused MLSD in a lenient listing (FtpService::listDirectoryLeniently()); else empty.
    QString listingCommand() const;
    /// Records the command of a listing; a result starts without one.
    void setListingCommand(const QString &command);
    /// Who vouched for the root CA that verified the server on the last attempt; NoTrust when
    /// isPeerVerified() is false.
    Trust trust() const;
    /// The SHA-256 fingerprint ("SHA256:" and 32 hex bytes joined by colons) of the root the
    /// trust rests on, or of the root that a verified-peer policy refused; empty when unknown
    /// (an imported file may hold several CAs).
    QString rootFingerprint() const;
    /// Records where the trust came from; a result starts with NoTrust and no fingerprint.
    void setTrust(Trust trust, const QString &rootFingerprint);
    /// True when the host cancelled the request (code() is 42, CURLE_ABORTED_BY_CALLBACK),
    /// which tells a cancel from a failure.
    bool isCancelled() const;

private:
    QSharedDataPointer<FtpResultPrivate> d;
};

} // namespace zendra

#endif // ZENDRA_FTPRESULT_H
