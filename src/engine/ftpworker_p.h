// SPDX-License-Identifier: MIT
#ifndef ZENDRA_FTPWORKER_P_H
#define ZENDRA_FTPWORKER_P_H

#include "certificateinfo.h"
#include "ftpjob_p.h"
#include "ftpresult.h"
#include "ftptranscript_p.h"
#include "ftptruststore_p.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QProperty>
#include <QSet>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <curl/curl.h>

#include <atomic>
#include <functional>
#include <memory>
#include <unordered_map>

QT_BEGIN_NAMESPACE
class QIODevice;
class QThread;
class QTimer;
QT_END_NAMESPACE

namespace zendra {

// Performs the libcurl transfers of FtpService on a thread of its own, one request at a time,
// with one cached easy handle per scheme and host.
class FtpWorker : public QObject
{
    Q_OBJECT

public:
    FtpWorker();
    ~FtpWorker() override;

    // The outcome of request @p id, recorded before its requestFinished was emitted; it becomes
    // lastResult(). Called on the service's thread when that answer arrives.
    FtpResult finishResult(const QUuid &id);
    // Drops the outcome of request @p id, whose answer the service discards.
    void discardResult(const QUuid &id);
    // What finishResult() returned last; a default result before that.
    FtpResult lastResult() const;
    // Runs of a request after which a certificate failure ends it instead of repeating it;
    // 0 repeats without limit. Any thread.
    void setMaximumAttempts(int attempts);
    int maximumAttempts() const;

    // The verified-TLS policy of FtpService: TLS required rather than tried, and requests that
    // would not verify their peer refused. The properties are the service's, on its thread only
    // (QML binds to them); the worker reads copies that follow every change. Any thread.
    QProperty<bool> &requireTlsProperty() { return m_policy.requireTls; }
    QProperty<bool> &requireVerifiedPeerProperty() { return m_policy.requireVerifiedPeer; }
    bool requiresTls() const;
    bool requiresVerifiedPeer() const;
    // Ends the request that waits for its repetition after a certificate failure with that
    // failure instead, or with code 60 and @p reason when one is given, naming the root of
    // @p fingerprint. Any thread; applied on the worker's, before a repetition that follows.
    void refuseRepetition(
        const QString &reason = QString(), const QString &fingerprint = QString());
    // Under the policy a repetition waits for the store's verdict instead of 500 ms: this (or
    // refuseRepetition()) starts it, after the settings sent before. Any thread.
    void repeatNow();
    // What the worker knew of the chain it sent for an update: how it fails
    // QSslCertificate::verify() without a host name, the request's URL, and whether the
    // repetition waits for the store's verdict. valid is false for a chain it did not send.
    struct ChainCheck
    {
        bool valid = false;
        QList<QSslCertificate> chain;
        QList<QSslError> errors;
        QString url;
        bool awaitsVerdict = false;
    };
    // Takes the check of @p chain. Service's thread.
    ChainCheck takeChainCheck(const QList<QSslCertificate> &chain);
    // Who vouched for the CA file at @p path and the fingerprint of its root, for the results
    // of the requests verified with it; told before the file is handed over. Any thread.
    void noteCertificateTrust(
        const QString &path, FtpResult::Trust trust, const QString &rootFingerprint);
    // The roots pinned to servers and the host's approvals. Pins: any thread; the rest: the
    // service's.
    FtpTrustStore &trustStore() { return m_trustStore; }
    // Ends request @p id with CURLE_ABORTED_BY_CALLBACK as soon as the worker sees it, also
    // before it starts; wakes the worker's wait. Any thread.
    void cancel(const QUuid &id);
    // Ends a request with CURLE_OPERATION_TIMEDOUT once no byte moved for @p msecs; 0 never.
    // Any thread; applies from the next look at the transfer on.
    void setStallTimeout(int msecs);
    int stallTimeout() const;
    // Bytes received so far by the request in flight, and the size the server announced (-1
    // when it did not). Any thread.
    qint64 bytesReceived() const;
    qint64 bytesTotal() const;
    // Forgets the progress of the previous request; called before a request is sent.
    void resetProgress();
    // Makes listing @p id fall back to LIST when the server refuses MLSD; called before the
    // listing is sent. Any thread.
    void listLeniently(const QUuid &id);
    // Records @p url as cancelled before it was sent and returns that outcome as lastResult().
    FtpResult finishCancelled(const QString &url);
    // The service's side of the progress reports, on the service's thread only: its handler,
    // the timer (a child of the service) that polls the counters above, and what it reported
    // last. Kept with the worker, so that the service's own members stay its queue and settings.
    struct ProgressReports
    {
        // By id: 0 is the handler of setProgressHandler(), others come from addProgressHandler().
        QMap<int, std::function<void(const QString &url, qint64 bytesReceived, qint64 bytesTotal)>>
            handlers;
        int lastId = 0;
        QTimer *timer = nullptr;
        qint64 received = -1;
        qint64 total = -1;
    };
    ProgressReports &progressReports() { return m_progressReports; }

    // Runs request @p id of a kind after the first two (FtpJob::Type), which reach the worker
    // through a queued call rather than a signal. Worker's thread.
    void startRequest(int type, const QString &url, const QString &username,
        const QString &password, const QUuid &id, const QString &filePath,
        const FtpJobDetails &details);
    // Transfers that fail on a dropped or stalled connection run up to @p retries more times.
    // Any thread; applies to the failures that follow.
    void setRetries(int retries);
    int retries() const;

Q_SIGNALS:
    void requestFinished(QUuid id, QByteArray data);
    void certificateUpdateRequired(QList<zendra::CertificateInfo> certificateChain);

public Q_SLOTS:
    void downloadFile(
        const QString &url, const QString &username, const QString &password, const QUuid &id);
    void downloadInFile(const QString &url, const QString &username, const QString &password,
        const QUuid &id, const QString &filePath);
    void listDirectory(
        const QString &url, const QString &username, const QString &password, const QUuid &id);
    void setCertificate(const QString &filePath);
    // Also called directly from the service's thread, hence the atomic flag.
    void setPeerVerification(bool verify);
    void setHostVerification(bool verify);
    void setActivateSsl(bool activate);
    void closeHandler(const QString &key);

private:
    CURL *prepareHandler(
        const QString &url, const QString &username, const QString &password, bool verifyPeer);
    void performRequest(const QString &url, const QString &username, const QString &password,
        const QUuid &id, const char *requestName, const QString &filePath,
        std::function<void(void *)> configure);
    QList<QStringList> readCertificate(
        const QString &url, const QString &username, const QString &password);
    CURLcode perform(CURL *handle, FtpTranscript &transcript);
    // Starts the repetitions that wait for the store's verdict.
    void startRepetitions();
    void cleanupHandle(CURL *handle);
    static size_t writeCallback(char *ptr, size_t size, size_t nmemb, void *userdata);
    using TrustAnchor = FtpTrustAnchor;
    // The CA file that verifies the server of @p url: its pin under the policy, else the file
    // of setCertificate(), which under the policy counts only when someone but a server vouched.
    TrustAnchor trustAnchor(const QUrl &url);
    // Called right before requestFinished(@p id).
    void recordResult(const QUuid &id, const QString &url, int code, const QString &errorString,
        bool encrypted = false, bool peerVerified = false, bool hostVerified = false,
        const FtpTranscript::Exchange &reply = {}, const char *listingCommand = nullptr,
        const TrustAnchor &anchor = {});
    // Why perform() should end the transfer early: CURLE_OK to go on.
    CURLcode abortReason(qint64 sinceLastMoveMs) const;
    void setAbortMessage(CURLcode abort);
    // Restarts the stall clock when @p moved differs from the bytes moved so far.
    void noteMoved(curl_off_t moved);
    // Closes @p handle and its connection and forgets it.
    void dropHandle(CURL *handle);
    // The same for a transfer that the worker broke off: libcurl may still take the connection
    // for a sound one and wait for the server's goodbye, which a silent server never sends.
    void abandonHandle(CURL *handle);
    // Runs @p run on the worker's thread after @p delayMs, or at once when request @p id is
    // cancelled meanwhile.
    void repeatLater(const QUuid &id, int delayMs, const std::function<void()> &run);

    // What a request of the later kinds, or one that is retried, carries from one attempt to
    // the next. Worker's thread only.
    struct Transfer
    {
        int type = FtpJob::Download;
        FtpJobDetails details;
        QString targetUrl; // what libcurl works on: a temporary name, the folder of the URL, ...
        QString folderUrl; // the folder that holds the URL's last segment
        QByteArray temporaryName; // a safe upload's name until its rename; empty in place
        std::shared_ptr<QIODevice> source; // an upload's bytes
        std::shared_ptr<curl_slist> commands; // sent after the transfer, in the folder
        QByteArray partial; // what a download into memory received so far
        bool resume = false; // the next attempt continues what the last one left
        bool appendRefused = false; // the server refused to continue an upload
        bool stored = false; // an attempt sent STOR or APPE
        int retries = 0;
    };
    // Sets the options of @p transfer on @p handle, which the next prepareHandler() undoes.
    void configureTransfer(CURL *handle, Transfer &transfer);
    // Opens @p transfer's source for an attempt; false with @p error when it cannot be read.
    bool openSource(Transfer &transfer, QString *error);
    // Whether request @p id goes on after @p code, from the @p data it received when that is
    // @p continuable; then it is scheduled already.
    bool retryLater(const QUuid &id, CURLcode code, const FtpTranscript &transcript, CURL *handle,
        QByteArray &data, bool continuable, const std::function<void()> &repeat);
    // Whether the server refused the TLS session of a data connection because of an upload
    // before it on the same connection; then @p handle is gone, so that the request can run
    // again on a fresh one.
    bool refusedSession(const QString &url, CURL *handle, bool upload, bool afterUpload,
        CURLcode code, const FtpTranscript &transcript);
    // Deletes the temporary file that a failed upload left, within a bounded time.
    void removeTemporaryFile(const QString &url, const QString &username, const QString &password,
        const Transfer &transfer, const QString &name);
    void updateProgress(CURL *handle);
    static size_t readCallback(char *buffer, size_t size, size_t count, void *worker);
    static int seekCallback(void *worker, curl_off_t offset, int origin);
    // Asked by libcurl while it waits for replies itself (the commands after an upload).
    static int abortCallback(void *worker, curl_off_t downloadTotal, curl_off_t downloaded,
        curl_off_t uploadTotal, curl_off_t uploaded);

    QString m_certificatePath;
    std::atomic<bool> m_verifyPeer {true};
    bool m_verifyHost = true;
    bool m_activateSsl = true;
    QThread *m_thread;
    QByteArray m_errorBuffer;
    // The transfer's bytes moved so far in either direction and the time since they last moved,
    // seen by perform()'s loop and by abortCallback; what the callback broke off. Worker's thread.
    curl_off_t m_moved = 0;
    QElapsedTimer m_sinceMove;
    CURLcode m_callbackAbort = CURLE_OK;
    QHash<QString, CURL *> m_handlers;
    // What each cached handle's transfers run on: a multi handle that holds its connections,
    // and the sockets of their control connections, which libcurl opens and closes through
    // openSocket() and closeSocket(), each with whether the server accepted PROT P at its
    // login: libcurl sends it once per connection, and the transfers that reuse the connection
    // are protected as its login arranged.
    // A control connection and what its login established: TLS on it, and PROT P.
    struct ControlSocket
    {
        curl_socket_t socket;
        bool tls;
        bool dataProtected;
    };
    struct Connections
    {
        // Declared first: the multi handle's cleanup closes the sockets.
        QList<ControlSocket> controlSockets;
        std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi {nullptr, &curl_multi_cleanup};
        // The transcript of the transfer in progress; null between transfers.
        const FtpTranscript *transcript = nullptr;
    };
    static curl_socket_t openSocket(void *client, curlsocktype purpose, curl_sockaddr *address);
    static int closeSocket(void *client, curl_socket_t socket);
    std::unordered_map<CURL *, Connections> m_multis;
    std::atomic<int> m_maximumAttempts {0};
    // Runs of each request in flight so far, on the worker's thread only.
    QHash<QUuid, int> m_attempts;
    // Outcomes cross from the worker's thread to the service's under this lock.
    mutable QMutex m_resultsMutex;
    QHash<QUuid, FtpResult> m_results;
    FtpResult m_lastResult;

    std::atomic<bool> m_requireTls {false};
    std::atomic<bool> m_requireVerifiedPeer {false};
    struct Policy
    {
        QProperty<bool> requireTls {false};
        QProperty<bool> requireVerifiedPeer {false};
        QPropertyNotifier requireTlsCopy;
        QPropertyNotifier requireVerifiedPeerCopy;
    };
    Policy m_policy;
    // What the handle prepared last verifies, whether its transfer got through a TLS handshake
    // on the control connection and whether the server accepted PROT P for the data
    // connections: the protection of the attempt.
    bool m_preparedVerifyPeer = false;
    bool m_preparedVerifyHost = false;
    TrustAnchor m_preparedAnchor;
    bool m_tlsEstablished = false;
    bool m_dataProtected = false;
    // The failure of each request that waits for its repetition, on the worker's thread only.
    struct CertificateFailure
    {
        int code = 0;
        QString errorString;
        bool refused = false;
        QString fingerprint;
    };
    QHash<QUuid, CertificateFailure> m_certificateFailures;
    // The last chain sent for an update, under m_resultsMutex.
    ChainCheck m_chainCheck;
    // Who vouched for each CA file the service handed over; worker's thread only.
    QHash<QString, TrustAnchor> m_caFiles;
    FtpTrustStore m_trustStore;
    // Cancel, stall limit and progress, shared with the service's thread.
    mutable QMutex m_controlMutex;
    QUuid m_cancelledId;
    QSet<QUuid> m_lenientListings;
    QUuid m_runningId;
    CURLM *m_runningMulti = nullptr;
    std::atomic<bool> m_cancelRunning {false};
    std::atomic<int> m_stallTimeout {0};
    std::atomic<qint64> m_bytesReceived {0};
    std::atomic<qint64> m_bytesTotal {-1};
    ProgressReports m_progressReports;
    // The pending repetition of each request after a certificate failure or before a retry;
    // worker's thread only.
    QHash<QUuid, QTimer *> m_repetitions;

    std::atomic<int> m_retries {0};
    // Worker's thread only: the requests that carry state from one attempt to the next, the
    // handles whose options go beyond those of a download, and the attempt in progress: the
    // bytes before its first (a resumed transfer), an upload's size (-1 for a download) and
    // source, and whether reading that source failed.
    QHash<QUuid, Transfer> m_transfers;
    QSet<CURL *> m_extendedHandles;
    // The handles that ran an upload over TLS, and the servers (by handler key) that refused a
    // data connection after one; see refusedSession().
    QSet<CURL *> m_uploadedOn;
    QSet<QString> m_sessionRenewals;
    qint64 m_progressOffset = 0;
    qint64 m_uploadTotal = -1;
    QIODevice *m_source = nullptr;
    bool m_sourceFailed = false;
};

} // namespace zendra

#endif // ZENDRA_FTPWORKER_P_H
