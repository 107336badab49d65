// SPDX-License-Identifier: MIT
#ifndef ZENDRA_FTPSERVICE_H
#define ZENDRA_FTPSERVICE_H

#include "certificateinfo.h"
#include "ftpfileinfo.h"
#include "ftpresult.h"
#include "service.h"
#include "zendra_export.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QProperty>
#include <QString>
#include <QUuid>
#include <QtQmlIntegration/qqmlintegration.h>

#include <functional>

QT_BEGIN_NAMESPACE
class QSslCertificate;
QT_END_NAMESPACE

namespace zendra {

class FtpJob;
class FtpWorker;
struct FtpJobDetails;

/// FTP and FTPS client: downloads into memory or a local file, MLSD listings, uploads and remote
/// file operations, queued and performed one at a time on a worker thread. Callbacks run on the
/// thread that created the service. Also the QML element FtpService.
class ZENDRA_EXPORT FtpService : public QObject, public Service<FtpService>
{
    Q_OBJECT
    QML_ELEMENT
    /// Whether the server certificate is verified (default true); see verifyPeer().
    Q_PROPERTY(bool verifyPeer READ verifyPeer WRITE setVerifyPeer NOTIFY verifyPeerChanged)
    /// Whether the certificate must name the URL's host (default true); see verifyHost().
    Q_PROPERTY(bool verifyHost READ verifyHost WRITE setVerifyHost NOTIFY verifyHostChanged)
    /// Whether ftp:// connections ask for TLS (default true); see activateSsl().
    Q_PROPERTY(bool activateSsl READ activateSsl WRITE setActivateSsl NOTIFY activateSslChanged)
    // The policy is bindable rather than notifying: a signal would shift the methods that follow.
    /// Whether TLS is required (default false); see setRequireTls().
    Q_PROPERTY(bool requireTls READ requiresTls WRITE setRequireTls BINDABLE bindableRequireTls)
    /// Whether a verified server is required (default false); see setRequireVerifiedPeer().
    Q_PROPERTY(bool requireVerifiedPeer READ requiresVerifiedPeer WRITE setRequireVerifiedPeer
            BINDABLE bindableRequireVerifiedPeer)
    // The credentials, for QML: values set together with the element's, so before any
    // Component.onCompleted queues a request. Without NOTIFY for the same reason as the policy.
    /// The default user name; see setUserName().
    Q_PROPERTY(QString userName READ userName WRITE setUserName)
    /// The password; see setPassword().
    Q_PROPERTY(QString password READ password WRITE setPassword)

public:
    /// Choices for the requests that write to the server or continue a transfer; each request
    /// ignores those that do not concern it.
    enum TransferOption {
        /// The defaults: an upload goes to a temporary name beside its target and is renamed to
        /// it only once every byte arrived; a download starts from the first byte.
        DefaultTransfer = 0x0,
        /// Continue what an earlier request left: a download into a local file from that file's
        /// size (the server's restart offset); an upload from the remote file's size (SIZE, then
        /// APPE), written in place. Where the server refuses to append, the upload starts anew.
        Resume = 0x1,
        /// Upload straight to the target name: no temporary name and no rename, for servers that
        /// refuse renames; a failed upload leaves a partial file under the target name.
        InPlace = 0x2,
        /// Create the missing remote folders of the URL (uploads and makeDirectory()).
        CreateDirectories = 0x4
    };
    /// A combination of TransferOption values.
    Q_DECLARE_FLAGS(TransferOptions, TransferOption)

    /// Receives the outcome of an upload or a remote operation (the same as lastResult()).
    using ResultCallback = std::function<void(const FtpResult &result)>;

    /// Builds the service and its worker thread and registers it as the process's instance.
    explicit FtpService(QObject *parent = nullptr);
    /// Drops queued requests without calling their callbacks and ends the worker.
    ~FtpService() override;

    /// Queues a download of @p url. With an empty @p filePath the callback receives the bytes,
    /// otherwise the file is written to @p filePath and the callback receives its path.
    /// A non-empty @p username overrides the default one for this request.
    void downloadFile(const QString &url, const std::function<void(const QByteArray &)> &callback,
        const QString &filePath = QString(), const QString &username = QString());
    /// Queues a download of @p url into the local file @p filePath as the other downloadFile()
    /// does; with Resume in @p options an existing @p filePath is continued from its size
    /// instead of replaced (one it already holds whole stays as it is).
    void downloadFile(const QString &url, const std::function<void(const QByteArray &)> &callback,
        const QString &filePath, TransferOptions options, const QString &username = QString());
    /// Queues an upload of the local file @p localFile to @p url (a file, not a folder). By
    /// default the bytes go to "<name>.part-XXXXXX" in the target folder, renamed to the target
    /// name only on success; a failed or cancelled upload removes that file again. The callback
    /// gets the outcome; -1 when @p localFile cannot be read.
    void uploadFile(const QString &localFile, const QString &url, const ResultCallback &callback,
        TransferOptions options = DefaultTransfer);
    /// Queues an upload of @p data to @p url, as uploadFile() does.
    void uploadData(const QByteArray &data, const QString &url, const ResultCallback &callback,
        TransferOptions options = DefaultTransfer);
    /// Queues the making of the remote folder @p url; with CreateDirectories the missing folders
    /// above it too, and a folder that exists already is no failure.
    void makeDirectory(const QString &url, const ResultCallback &callback,
        TransferOptions options = DefaultTransfer);
    /// Queues the removal of the empty remote folder @p url.
    void removeDirectory(const QString &url, const ResultCallback &callback);
    /// Queues the deletion of the remote file @p url.
    void removeFile(const QString &url, const ResultCallback &callback);
    /// Queues the renaming of the remote file or folder @p url to @p newName: a name in the same
    /// folder, or a path relative to that folder or absolute on the server, which moves it.
    void rename(const QString &url, const QString &newName, const ResultCallback &callback);
    /// Queues an MLSD listing of @p url; the callback receives the valid entries of type
    /// @p fileType, or all valid entries for FtpFileInfo::All.
    void listDirectory(const QString &url,
        const std::function<void(const QList<FtpFileInfo> &)> &callback,
        FtpFileInfo::FileType fileType = FtpFileInfo::All, const QString &filePath = QString(),
        const QString &username = QString());
    /// Queues a listing of @p url that works on every server: as listDirectory(), but when the
    /// server refuses MLSD the listing is made with LIST and its lines are read with
    /// FtpFileInfo::fromListLine() (lastResult().listingCommand() says which), and MLSD entries
    /// without a "unique" fact are kept, with their name as id.
    void listDirectoryLeniently(const QString &url,
        const std::function<void(const QList<FtpFileInfo> &)> &callback,
        FtpFileInfo::FileType fileType = FtpFileInfo::All, const QString &username = QString());
    /// Stores transform(username) and transform(password) as the default credentials.
    /// Throws std::bad_function_call, changing nothing, when @p transform is empty.
    void setCredentials(const QString &username, const QString &password,
        const std::function<QString(const QString &)> &transform);
    /// The user name of requests that name none: what setCredentials() or setUserName() stored.
    QString userName() const;
    /// Stores @p userName as it is as the default user name, as setCredentials() does with its
    /// transform; requests queued before keep theirs.
    void setUserName(const QString &userName);
    /// The password of every request: what setCredentials() or setPassword() stored.
    QString password() const;
    /// Stores @p password as it is as the password, as setCredentials() does with its transform;
    /// requests queued before keep theirs.
    void setPassword(const QString &password);
    /// Closes the cached connection to @p host for @p scheme ("ftp" or "ftps").
    void endSession(const QString &scheme, const QString &host);
    /// Copies the CA file at @p path into the certificates directory (replacing a file of the
    /// same name only when @p force is set) and makes the worker use it. A file that already is
    /// the one in the directory is never replaced by itself, only used again.
    bool loadCertificate(const QString &path, bool force);
    /// The outcome of the request whose callback is running; outside a callback, that of the
    /// last request whose callback ran. Call it on the thread that created the service.
    FtpResult lastResult() const;
    /// Ends a request with its certificate failure once it has run @p attempts times, instead of
    /// repeating it until an attempt ends otherwise (a host-name mismatch never does while
    /// verifyHost is on). 0, the default, sets no limit. Applies from the next attempt on.
    void setMaximumAttempts(int attempts);
    /// The limit set by setMaximumAttempts(); 0 for none.
    int maximumAttempts() const;

    /// Receives the progress of the request in flight: its URL, the bytes received so far and
    /// the size the server announced (-1 when it did not).
    using ProgressHandler
        = std::function<void(const QString &url, qint64 bytesReceived, qint64 bytesTotal)>;
    /// Calls @p handler on this thread while a request runs, at most ten times a second when
    /// bytes arrive, and once when it ends, before its callback. An empty handler stops the calls.
    void setProgressHandler(const ProgressHandler &handler);
    /// Adds @p handler beside the one of setProgressHandler(), so that several watchers (each
    /// FtpDownload, for one) get the same calls; returns its id for removeProgressHandler().
    int addProgressHandler(const ProgressHandler &handler);
    /// Removes the handler that addProgressHandler() returned @p id for.
    void removeProgressHandler(int id);
    /// Cancels the request in flight: its callback runs once, soon, with what arrived so far
    /// (into a file: nothing), and lastResult().isCancelled() is true. Its connection is closed.
    void cancel();
    /// Cancels the request in flight and every queued one; each callback runs once, in queue
    /// order, the queued ones with empty data and lastResult().isCancelled() true.
    void cancelAll();
    /// Cancels every request for @p url, in flight or queued, as cancelAll() does; a queued one's
    /// callback runs when its turn comes.
    void cancelRequestsFor(const QString &url);
    /// Ends a request with libcurl's time-out code 28 once no byte moved for @p msecs, and goes
    /// on with the queue. 0, the default, waits for ever.
    void setStallTimeout(int msecs);
    /// The limit set by setStallTimeout(); 0 for none.
    int stallTimeout() const;
    /// Lets a transfer (a download, an upload or a listing) that fails on a dropped or stalled
    /// connection go on up to @p retries more times, after a pause of 250 ms that doubles up to
    /// 2 s, from where it stopped (a listing starts again). Its callback still runs once, and
    /// lastResult().attempts() counts the runs. A refused login, a missing file or a certificate
    /// failure is never retried. 0, the default, retries nothing. A stalled connection is one
    /// that setStallTimeout() ends.
    void setRetries(int retries);
    /// The count set by setRetries(); 0 for none.
    int retries() const;

    /// Whether the server certificate is verified against the CA file (default true). It does
    /// not change when a failed certificate recovery switches the worker's verification off.
    bool verifyPeer() const;
    /// Whether the server certificate must name the host of the URL (default true).
    bool verifyHost() const;
    /// Whether TLS is asked for on ftp:// connections (default true); a handle that asked once
    /// keeps asking until its session ends.
    bool activateSsl() const;
    /// Sets verifyPeer for the requests that start afterwards; emits verifyPeerChanged on change.
    void setVerifyPeer(bool verify);
    /// Sets verifyHost for the requests that start afterwards; emits verifyHostChanged on change.
    void setVerifyHost(bool verify);
    /// Sets activateSsl for the connections opened afterwards; emits activateSslChanged on change.
    void setActivateSsl(bool activate);

    /// Makes connections opened afterwards require TLS on the control and the data connection,
    /// also for ftp:// URLs and whatever activateSsl says; a server that refuses it ends the
    /// request with code 64. Off by default, when TLS is only tried.
    void setRequireTls(bool require);
    /// Whether TLS is required; see setRequireTls().
    bool requiresTls() const;
    /// requireTls as a bindable property: QML bindings and QProperty observers follow it.
    QBindable<bool> bindableRequireTls();
    /// Refuses requests whose server would not be verified, and requires TLS as setRequireTls()
    /// does: with verifyPeer or verifyHost off a request ends at once with code 60, and where a
    /// certificate recovery would switch peer verification off the request ends with its
    /// certificate failure instead. Off by default.
    void setRequireVerifiedPeer(bool require);
    /// Whether a verified server is required; see setRequireVerifiedPeer().
    bool requiresVerifiedPeer() const;
    /// requireVerifiedPeer as a bindable property, as bindableRequireTls().
    QBindable<bool> bindableRequireVerifiedPeer();

    /// Asked on this thread, under setRequireVerifiedPeer(true), when the server of @p url
    /// presents a @p root CA that nobody but the server itself vouches for, with the root's
    /// SHA-256 @p fingerprint. Return true to pin the root to that server (host and port).
    using RootApprovalHandler = std::function<bool(
        const QString &url, const QSslCertificate &root, const QString &fingerprint)>;
    /// Sets the handler asked before a root is pinned. Without one, or when it answers false,
    /// such a request ends with its certificate failure; lastResult().rootFingerprint() names
    /// the root for pinRoot().
    void setRootApprovalHandler(const RootApprovalHandler &handler);
    /// Accepts the root CA of SHA-256 @p fingerprint (as FtpResult::rootFingerprint() writes it)
    /// for the server of @p url, its host and port: pinned at once when that server presented it
    /// before, else when it does. False for a malformed fingerprint or URL, or while another root
    /// is pinned to that server.
    bool pinRoot(const QString &url, const QString &fingerprint);
    /// Removes the root pinned to the server of @p url, and an acceptance not used yet; true
    /// when a pin was removed. Until then a server presenting another root is refused.
    bool removePinnedRoot(const QString &url);
    /// The fingerprint of the root pinned to the server of @p url; empty when none.
    QString pinnedRoot(const QString &url) const;

Q_SIGNALS:
    /// Declared for hosts; the library never emits it.
    void refreshCertificate(
        const QString &url, const QString &username, const QString &password, const QUuid &id);
    /// A download into memory is handed to the worker.
    void download(
        const QString &url, const QString &username, const QString &password, const QUuid &id);
    /// A download into a local file is handed to the worker.
    void downloadInFile(const QString &url, const QString &username, const QString &password,
        const QUuid &id, const QString &filePath);
    /// A listing is handed to the worker.
    void listDir(
        const QString &url, const QString &username, const QString &password, const QUuid &id);
    /// The worker is to verify peers against the CA file at @p filePath.
    void setCertificate(const QString &filePath);
    /// The worker is to close its cached handle for @p key ("scheme/host").
    void closeHandler(const QString &key);
    /// The verifyPeer property changed to @p verify.
    void verifyPeerChanged(bool verify);
    /// The verifyHost property changed to @p verify.
    void verifyHostChanged(bool verify);
    /// The activateSsl property changed to @p activate.
    void activateSslChanged(bool activate);

private Q_SLOTS:
    void onRequestFinished(const QUuid &id, const QByteArray &data);
    void updateCertificate(const QList<CertificateInfo> &certificates);

private:
    friend class Service<FtpService>;
    // Lets the autotests call the worker-facing slots with compile-time checks.
    friend class FtpServiceTestAccess;

    void addRequest(int type, const QString &url, const ResultCallback &callback,
        const QString &filePath, const FtpJobDetails &details);
    FtpJob *addJob(const QString &url, const std::function<void(const QByteArray &)> &callback,
        int type, const QString &filePath, const QString &username, const QString &password);
    void sendNextRequest();
    static QSslCertificate rootCertificate(const QList<QSslCertificate> &chain);
    void finishCancelledJobs();
    void cancelJobs(const std::function<bool(const FtpJob &)> &which);
    void deliverProgress(const QString &url, bool last);
    void setProgressHandler(int id, const ProgressHandler &handler);
    static bool replaceOrRemoveCertificate(const QString &source, const QString &destination);
    void giveUpVerification(bool refuse, const QString &reason = QString());
    enum class RootVerdict { Refused, Pinned, Vouched };
    RootVerdict judgeRoot(const QString &url, const QList<QSslCertificate> &chain,
        const QSslCertificate &root, FtpResult::Trust trust);
    FtpResult::Trust trustOf(const QSslCertificate &root, const QString &url, bool listed) const;

    static FtpService *m_instance;

    QString m_certificatesDirectory;
    QString m_username;
    QString m_password;
    FtpWorker *m_worker;
    QList<FtpJob *> m_jobs;
    QMutex m_mutex;
    bool m_verifyPeer;
    bool m_verifyHost;
    bool m_activateSsl;
    int m_certificateUpdates;
};

} // namespace zendra

Q_DECLARE_OPERATORS_FOR_FLAGS(zendra::FtpService::TransferOptions)

extern template class Service<zendra::FtpService>;

#endif // ZENDRA_FTPSERVICE_H
