// SPDX-License-Identifier: MIT
// The roots that FtpService pins to servers under its verified-peer policy, one PEM file per
// server (host and port) beside "root_ca.pem", and what the host accepted or refused before a pin
// exists. Owned by the worker, which reads the pins off the service's thread. Internal.
#ifndef ZENDRA_FTPTRUSTSTORE_P_H
#define ZENDRA_FTPTRUSTSTORE_P_H

#include "ftpresult.h"

#include <QHash>
#include <QMutex>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <functional>

namespace zendra {

// A CA file that verifies servers, who vouched for it, and its root's fingerprint (empty when
// unknown).
struct FtpTrustAnchor
{
    QString path;
    FtpResult::Trust trust = FtpResult::NoTrust;
    QString fingerprint;
};

class FtpTrustStore
{
public:
    // Asked on the service's thread whether to pin a root that nobody but its server vouches for.
    using ApprovalHandler = std::function<bool(
        const QString &url, const QSslCertificate &root, const QString &fingerprint)>;

    struct Pin
    {
        QString path; // empty when the server has no pin
        QSslCertificate root;
        QString fingerprint;
    };

    // "SHA256:AB:CD:..." of the certificate's DER form, as openssl x509 -fingerprint shows it.
    static QString fingerprint(const QSslCertificate &certificate);
    // @p text in fingerprint()'s form, whatever its case, colons and "SHA256:" prefix; empty when
    // it is no SHA-256 fingerprint.
    static QString normalizedFingerprint(const QString &text);
    // "host:port" of @p url, the port defaulting to the scheme's; empty without a host.
    static QString serverKey(const QUrl &url);
    // Whether a file of the certificates directory is the store's own (a pin or the recovery's
    // "root_ca.pem") rather than a CA file the host imported.
    static bool isStoreFile(const QString &fileName);

    // The certificates directory; set once, before the first pin is read.
    void setDirectory(const QString &directory);
    // The root pinned to @p server, read from its file the first time. Any thread.
    Pin pin(const QString &server);
    // Writes @p root as the pin of @p server, creating the directory. Any thread.
    bool setPin(const QString &server, const QSslCertificate &root);
    // Removes the pin of @p server and the acceptance waiting for it; true when a pin was removed.
    bool removePin(const QString &server);

    // The service's thread only: the host's handler, the roots it accepted by fingerprint before
    // their server presented them, the root each server last had refused, and the certificate
    // updates of the request in flight (under the policy).
    ApprovalHandler handler;
    QHash<QString, QString> accepted;
    QHash<QString, QSslCertificate> refused;
    int requestUpdates = 0;

private:
    QString pinPath(const QString &server) const;

    QMutex m_mutex;
    QString m_directory;
    // Pins read or written so far, by server; an entry without a path records that none exists.
    QHash<QString, Pin> m_pins;
};

} // namespace zendra

#endif // ZENDRA_FTPTRUSTSTORE_P_H
