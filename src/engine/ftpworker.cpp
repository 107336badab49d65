// SPDX-License-Identifier: MIT
// The FTP worker: every libcurl transfer of an FtpService, on the worker's own thread.
#include "ftpworker_p.h"

#include "workerthreads_p.h"
#include "zendralogging_p.h"

#include <QDataStream>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QMutexLocker>
#include <QSslCertificate>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVarLengthArray>

#include <algorithm>
#include <memory>
#include <utility>

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zendra {

namespace {

// Receives the bytes of the transfer in progress on this worker thread. A worker runs one
// transfer at a time, and each service has its own worker thread.
thread_local QDataStream *currentStream = nullptr;
// The reply buffer of a download into memory, until its first bytes arrive: then the size the
// server announced is known, and the buffer is sized once instead of growing page by page.
thread_local QByteArray *unsizedReply = nullptr;
// The sized buffer's pages: fresh memory costs a page fault per 4 KiB page when it is first
// written, so the worker faults its pages in ahead of the bytes, 8 MiB with one call (a third
// less system time than faulting each page). Huge pages cost more on virtual machines, where
// the kernel zeroes 2 MiB of never-used memory at a time. Reset by each transfer.
struct ReplyPages
{
    quintptr next = 0; // where the next byte goes
    quintptr faulted = 0; // pages below this are faulted in
    quintptr end = 0; // the end of the sized buffer's whole pages; 0: nothing to fault in
};
thread_local ReplyPages replyPages;
const quintptr faultAhead = quintptr(8) << 20;
thread_local CURL *currentHandle = nullptr;
// Larger announcements are not trusted with memory up front; such replies grow as they arrive.
const qint64 largestReservation = qint64(1) << 30;

// How long the worker waits on the sockets when nothing happens, as curl_easy_perform does
// (libcurl's own timers shorten it). Until the body flows, libcurl 7.87 to 8.6 miss events in
// two places, each costing a wait that progress would otherwise need: after some replies (the
// one to EPSV) they set the next step up only at their next look, watching no socket meanwhile,
// so the worker looks again at once whenever libcurl acted; and while a data connection's TLS
// handshake waits for the server, they watch only that connection, not the control connection
// where the reply to SIZE or RETR arrives, so the worker waits on it too while a command
// waits for its reply.
const int idleWaitMs = 1000;
// libcurl's own upload buffer size, which a handle gets back after an upload.
const long defaultUploadBuffer = 64 * 1024;

// Whether one of @p sockets has bytes to read.
bool readable(const QVarLengthArray<curl_waitfd, 2> &sockets)
{
    QVarLengthArray<pollfd, 2> fds;
    for (const curl_waitfd &socket : sockets)
        fds.append({socket.fd, POLLIN, 0});
    return ::poll(fds.data(), nfds_t(fds.size()), 0) > 0;
}

// Sizes an empty reply buffer for @p size bytes.
void reserveReply(QByteArray &reply, qsizetype size)
{
    reply.reserve(size);
    const quintptr page = quintptr(::sysconf(_SC_PAGESIZE));
    const quintptr begin = quintptr(reply.data());
    replyPages = {begin, begin, (begin + quintptr(size)) & ~(page - 1)};
}

// Faults in the pages of the sized buffer that the next @p length bytes reach, and those of the
// 8 MiB after them; stops where the buffer would have to grow (and move).
void faultInReply(qsizetype length)
{
    ReplyPages &pages = replyPages;
    pages.next += quintptr(length);
    if (pages.next > pages.end) {
        pages.end = 0;
        return;
    }
    if (pages.next <= pages.faulted)
        return;
    const quintptr page = quintptr(::sysconf(_SC_PAGESIZE));
    const quintptr from = pages.faulted & ~(page - 1);
    pages.faulted = std::min(pages.end, (pages.next + faultAhead) & ~(page - 1));
    ::madvise(reinterpret_cast<void *>(from), pages.faulted - from, MADV_POPULATE_WRITE);
}

// Whether the server answered MLSD as a command it does not know or implement.
bool refusesMlsd(const FtpTranscript &transcript)
{
    const int code = transcript.lastExchange("MLSD").replyCode;
    return code == 500 || code == 502 || code == 504;
}

void setStringOption(CURL *handle, CURLoption option, const QString &value)
{
    curl_easy_setopt(handle, option, value.toStdString().c_str());
}

// Whether the connection that @p handle runs on (for FTP, the control connection) is through its
// TLS handshake. libcurl tells only while the handle is attached to its connection.
bool tlsEstablished(CURL *handle)
{
    curl_tlssessioninfo *info = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info
        || info->backend != CURLSSLBACKEND_OPENSSL || !info->internals) {
        return false;
    }
    return SSL_is_init_finished(static_cast<SSL *>(info->internals)) == 1;
}

} // namespace

FtpWorker::FtpWorker() : QObject(nullptr), m_thread(new QThread)
{
    WorkerThreads::adopt(m_thread);
    m_thread->start(QThread::LowestPriority);
    moveToThread(m_thread);
    m_errorBuffer = QByteArray(CURL_ERROR_SIZE, '\0');
    curl_global_init(CURL_GLOBAL_ALL);
    // Also when a QML binding, not a setter, changes the policy.
    m_policy.requireTlsCopy
        = m_policy.requireTls.addNotifier([this] { m_requireTls = m_policy.requireTls.value(); });
    m_policy.requireVerifiedPeerCopy = m_policy.requireVerifiedPeer.addNotifier(
        [this] { m_requireVerifiedPeer = m_policy.requireVerifiedPeer.value(); });
}

FtpWorker::~FtpWorker()
{
    // Closing the handles ends their connections politely and frees them before libcurl's
    // global state goes.
    for (CURL *handle : std::as_const(m_handlers))
        cleanupHandle(handle);
    m_handlers.clear();
    curl_global_cleanup();
    // OpenSSL frees this thread's own state (its random generators) only when the thread exits,
    // which a host's exit can overtake: the application's teardown waits for the thread to
    // finish, not for its thread-local destructors. Free it here, on the worker's thread.
    OPENSSL_thread_stop();
    WorkerThreads::release(m_thread);
}

void FtpWorker::downloadFile(
    const QString &url, const QString &username, const QString &password, const QUuid &id)
{
    performRequest(url, username, password, id, "downloadFile", QString(), {});
}

void FtpWorker::downloadInFile(const QString &url, const QString &username, const QString &password,
    const QUuid &id, const QString &filePath)
{
    performRequest(url, username, password, id, "downloadInFile", filePath, {});
}

void FtpWorker::listDirectory(
    const QString &url, const QString &username, const QString &password, const QUuid &id)
{
    performRequest(url, username, password, id, "listDirectory", QString(), [](void *handle) {
        curl_easy_setopt(handle, CURLOPT_DIRLISTONLY, 1L);
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "MLSD");
    });
}

void FtpWorker::setCertificate(const QString &filePath)
{
    m_certificatePath = filePath;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QSslCertificate certificate(file.readAll(), QSsl::Pem);
    file.close();
    qCInfo(lcZendraFtp) << ">> Set certificate with common name: "
                        << certificate.subjectInfo(QSslCertificate::CommonName);
}

void FtpWorker::setPeerVerification(bool verify)
{
    qCDebug(lcZendraFtp) << ">> Set peer verification to: " << verify;
    m_verifyPeer = verify;
}

void FtpWorker::setHostVerification(bool verify)
{
    qCDebug(lcZendraFtp) << ">> Set host verification to: " << verify;
    m_verifyHost = verify;
}

void FtpWorker::setActivateSsl(bool activate)
{
    qCDebug(lcZendraFtp) << ">> Set activate ssl to: " << activate;
    m_activateSsl = activate;
}

void FtpWorker::closeHandler(const QString &key)
{
    const auto it = m_handlers.find(key);
    if (it == m_handlers.end())
        return;
    cleanupHandle(it.value());
    m_handlers.erase(it);
}

CURL *FtpWorker::prepareHandler(
    const QString &url, const QString &username, const QString &password, bool verifyPeer)
{
    const QUrl parsed(url);
    const QString key = QStringLiteral("%1/%2").arg(parsed.scheme()).arg(parsed.host());

    CURL *handle = nullptr;
    const auto it = m_handlers.constFind(key);
    if (it != m_handlers.constEnd()) {
        handle = it.value();
    } else {
        handle = curl_easy_init();
        m_handlers.insert(key, handle);
    }
    if (!handle)
        return handle;

    curl_easy_setopt(handle, CURLOPT_NOBODY, 0L);
    setStringOption(handle, CURLOPT_URL, url);
    setStringOption(handle, CURLOPT_USERNAME, username);
    setStringOption(handle, CURLOPT_PASSWORD, password);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, m_verifyHost ? 2L : 0L);
    m_preparedVerifyHost = m_verifyHost;
    m_preparedVerifyPeer = verifyPeer && m_verifyPeer;
    if (m_preparedVerifyPeer) {
        m_preparedAnchor = trustAnchor(parsed);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle, CURLOPT_CERTINFO, 0L);
        curl_easy_setopt(handle, CURLOPT_CAPATH, static_cast<char *>(nullptr));
        setStringOption(handle, CURLOPT_CAINFO, m_preparedAnchor.path);
    } else {
        m_preparedAnchor = TrustAnchor();
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle, CURLOPT_CAINFO, static_cast<char *>(nullptr));
    }
    curl_easy_setopt(handle, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_DEFAULT));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &FtpWorker::writeCallback);
    // Deliberately no off branch: a handle once asked for TLS keeps asking until it is closed.
    // Required, libcurl ends the transfer (64) when the server refuses TLS on either connection;
    // a peer can be verified only over TLS.
    if (m_requireTls || m_requireVerifiedPeer) {
        curl_easy_setopt(handle, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        curl_easy_setopt(handle, CURLOPT_FTPSSLAUTH, long(CURLFTPAUTH_SSL));
    } else if (m_activateSsl) {
        curl_easy_setopt(handle, CURLOPT_USE_SSL, long(CURLUSESSL_TRY));
        curl_easy_setopt(handle, CURLOPT_FTPSSLAUTH, long(CURLFTPAUTH_SSL));
    }
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, m_errorBuffer.data());
    // Undo what a listing or a certificate probe left on a reused handle.
    curl_easy_setopt(handle, CURLOPT_DIRLISTONLY, 0L);
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, static_cast<char *>(nullptr));
    // And what an upload, a remote operation or a resumed download left; only on such handles,
    // so that a handle that never served one is prepared exactly as before.
    if (m_extendedHandles.remove(handle)) {
        curl_easy_setopt(handle, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, static_cast<curl_read_callback>(nullptr));
        curl_easy_setopt(handle, CURLOPT_READDATA, static_cast<void *>(nullptr));
        curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, static_cast<curl_seek_callback>(nullptr));
        curl_easy_setopt(handle, CURLOPT_SEEKDATA, static_cast<void *>(nullptr));
        curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, curl_off_t(-1));
        curl_easy_setopt(handle, CURLOPT_RESUME_FROM_LARGE, curl_off_t(0));
        curl_easy_setopt(handle, CURLOPT_PREQUOTE, static_cast<curl_slist *>(nullptr));
        curl_easy_setopt(handle, CURLOPT_POSTQUOTE, static_cast<curl_slist *>(nullptr));
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, static_cast<curl_xferinfo_callback>(nullptr));
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, static_cast<void *>(nullptr));
        curl_easy_setopt(handle, CURLOPT_FTP_CREATE_MISSING_DIRS, long(CURLFTP_CREATE_DIR_NONE));
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 0L);
        curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, long(defaultUploadBuffer));
    }
    return handle;
}

void FtpWorker::performRequest(const QString &url, const QString &username, const QString &password,
    const QUuid &id, const char *requestName, const QString &filePath,
    std::function<void(void *)> configure)
{
    const auto failure = m_certificateFailures.constFind(id);
    if (failure != m_certificateFailures.constEnd() && failure->refused) {
        const CertificateFailure refused = *failure;
        recordResult(id, url, refused.code, refused.errorString, false, false, false, {}, nullptr,
            {QString(), FtpResult::NoTrust, refused.fingerprint});
        Q_EMIT requestFinished(id, QByteArray());
        return;
    }

    const QString name = QString::fromUtf8(requestName).toUpper();
    QByteArray data;
    qCDebug(lcZendraFtp) << ">> [FTP " << name << " ] " << url;
    ++m_attempts[id];
    {
        QMutexLocker locker(&m_controlMutex);
        m_runningId = id;
        m_cancelRunning = m_cancelledId == id;
    }
    // A retry goes on from where the progress stood.
    const auto known = m_transfers.constFind(id);
    if (known == m_transfers.cend() || !known->resume) {
        m_bytesReceived = 0;
        m_bytesTotal = -1;
    }
    m_progressOffset = 0;
    m_uploadTotal = -1;
    m_sourceFailed = false;

    if (m_requireVerifiedPeer && !(m_verifyPeer && m_verifyHost)) {
        qCWarning(lcZendraFtp) << ">> [FTP " << name << " ] " << url
                               << "refused: the server would not be verified";
        recordResult(id, url, CURLE_PEER_FAILED_VERIFICATION,
            QStringLiteral("Refused: peer or host verification is off, and a verified server is "
                           "required"));
        Q_EMIT requestFinished(id, data);
        return;
    }

    // Downloads and listings have no entry until they are retried.
    const auto transferEntry = m_transfers.find(id);
    Transfer *transfer = transferEntry == m_transfers.end() ? nullptr : &transferEntry.value();
    if (transfer && transfer->type == FtpJob::Upload) {
        QString error;
        if (!openSource(*transfer, &error)) {
            recordResult(id, url, -1, error);
            Q_EMIT requestFinished(id, data);
            return;
        }
        m_source = transfer->source.get();
        m_uploadTotal = m_bytesTotal = m_source->size();
    }
    // A resumed download appends to what the file or the reply holds, from the server's restart
    // offset; an upload learns its offset from the server when libcurl seeks its source.
    const bool resumeDownload = transfer && transfer->resume && !m_source;

    QFile file(filePath);
    std::unique_ptr<QDataStream> stream;
    if (!filePath.isEmpty()) {
        if (!file.open(resumeDownload ? QIODevice::Append : QIODevice::WriteOnly)) {
            recordResult(id, url, -1, file.errorString());
            Q_EMIT requestFinished(id, data);
            return;
        }
        stream = std::make_unique<QDataStream>(&file);
        if (resumeDownload)
            m_progressOffset = file.size();
    } else if (resumeDownload) {
        data = std::move(transfer->partial);
        stream = std::make_unique<QDataStream>(&data, QIODevice::WriteOnly);
        stream->device()->seek(data.size());
        m_progressOffset = data.size();
    } else {
        stream = std::make_unique<QDataStream>(&data, QIODevice::WriteOnly);
        unsizedReply = &data;
    }
    currentStream = stream.get();
    m_bytesReceived = m_progressOffset;

    CURL *handle = prepareHandler(url, username, password, true);
    currentHandle = handle;
    if (configure)
        configure(handle);
    if (handle && m_progressOffset > 0) {
        m_extendedHandles.insert(handle);
        curl_easy_setopt(handle, CURLOPT_RESUME_FROM_LARGE, curl_off_t(m_progressOffset));
    }
    FtpTranscript transcript;
    const bool afterUpload = m_uploadedOn.contains(handle);
    const CURLcode performed = perform(handle, transcript);
    // libcurl reports a source that failed to read as a cancel; it is the local file's fault.
    CURLcode code = m_sourceFailed ? CURLE_READ_ERROR : performed;
    const char *listingCommand
        = configure && qstrcmp(requestName, "listDirectory") == 0 ? "MLSD" : nullptr;
    if (listingCommand && code != CURLE_OK && data.isEmpty() && refusesMlsd(transcript)) {
        QMutexLocker locker(&m_controlMutex);
        if (m_lenientListings.contains(id)) {
            locker.unlock();
            qCDebug(lcZendraFtp) << ">> [FTP " << name << " ] " << url << "MLSD refused with"
                                 << transcript.lastExchange("MLSD").reply << "- listing with LIST";
            listingCommand = "LIST";
            curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, listingCommand);
            code = perform(handle, transcript);
        }
    }
    currentStream = nullptr;
    unsizedReply = nullptr;
    currentHandle = nullptr;
    m_source = nullptr;
    stream.reset();
    if (transfer
        && !(transcript.lastExchange("STOR").command.isEmpty()
            && transcript.lastExchange("APPE").command.isEmpty())) {
        transfer->stored = true;
    }
    long verifyResult = -1;
    if (handle)
        curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    const bool encrypted = m_tlsEstablished && m_dataProtected;
    const bool peerVerified = m_tlsEstablished && m_preparedVerifyPeer && verifyResult == X509_V_OK;
    const bool hostVerified = m_tlsEstablished && m_preparedVerifyHost;
    // libcurl closes the connection of a transfer that the worker broke off; the handle goes
    // too, so that the next request starts from a fresh one.
    if (performed == CURLE_ABORTED_BY_CALLBACK || performed == CURLE_OPERATION_TIMEDOUT)
        abandonHandle(handle);

    bool certificateFailure = false;
    if (code == CURLE_OK) {
        if (!filePath.isEmpty())
            data = filePath.toLatin1();
        qCInfo(lcZendraFtp) << ">> [FTP " << name << " ] " << url << "finished with success";
    } else {
        certificateFailure = code == CURLE_SSL_CERTPROBLEM || code == CURLE_PEER_FAILED_VERIFICATION
            || code == CURLE_SSL_CACERT_BADFILE;
        qCWarning(lcZendraFtp) << ">> [FTP " << name << " ] " << url << "finished with error "
                               << int(code)
                               << QString(m_errorBuffer.constData()).toLocal8Bit().constData();
    }
    if (!filePath.isEmpty())
        file.close();
    const bool sessionRefused = refusedSession(
        url, handle, transfer && transfer->type == FtpJob::Upload, afterUpload, code, transcript);

    QString errorString;
    if (code != CURLE_OK) {
        // The server's own words, unless the worker broke the transfer off itself.
        if (code != CURLE_ABORTED_BY_CALLBACK && code != CURLE_OPERATION_TIMEDOUT)
            errorString = FtpTranscript::refusal(transcript.lastReply());
        if (errorString.isEmpty() && m_errorBuffer.at(0))
            errorString = QString::fromLocal8Bit(m_errorBuffer.constData());
        else if (errorString.isEmpty())
            errorString = QString::fromUtf8(curl_easy_strerror(code));
    }
    const auto repeat
        = [=] { performRequest(url, username, password, id, requestName, filePath, configure); };
    if (sessionRefused) {
        // The refused STOR made the file it was to write.
        if (transfer && transfer->stored && !transfer->temporaryName.isEmpty())
            removeTemporaryFile(url, username, password, *transfer, name);
        repeatLater(id, 0, repeat);
        return;
    }
    if (!certificateFailure
        && retryLater(id, code, transcript, handle, data,
            qstrcmp(requestName, "listDirectory") != 0, repeat)) {
        return;
    }
    const int maximumAttempts = m_maximumAttempts;
    if (!certificateFailure || (maximumAttempts > 0 && m_attempts.value(id) >= maximumAttempts)) {
        if (code != CURLE_OK && transfer && transfer->stored && !transfer->temporaryName.isEmpty())
            removeTemporaryFile(url, username, password, *transfer, name);
        recordResult(id, url, int(code), errorString, encrypted, peerVerified, hostVerified,
            transcript.lastReply(), listingCommand,
            peerVerified ? m_preparedAnchor : TrustAnchor());
        // Moved: the service, not this thread, should hold the last reference to a large reply.
        Q_EMIT requestFinished(id, std::move(data));
        return;
    }

    m_certificateFailures.insert(id, {int(code), errorString, false, QString()});
    const QList<QStringList> chain = readCertificate(url, username, password);
    QList<CertificateInfo> certificates;
    certificates.reserve(chain.size());
    for (const QStringList &lines : chain)
        certificates.append(CertificateInfo(lines));
    // The store logs how the chain fails verification, which loads the system's CA list and
    // takes longer than the rest of an update. Checked here, before the repetition's 500 ms
    // start, it no longer delays the new root on its way to the repetition.
    ChainCheck check {true, {}, {}, url, bool(m_requireVerifiedPeer)};
    check.chain.reserve(certificates.size());
    for (const CertificateInfo &info : std::as_const(certificates))
        check.chain.append(info.certificate());
    if (!check.chain.isEmpty())
        check.errors = QSslCertificate::verify(check.chain, QString());
    {
        QMutexLocker locker(&m_resultsMutex);
        m_chainCheck = check;
    }
    for (auto it = m_handlers.begin(); it != m_handlers.end();) {
        cleanupHandle(it.value());
        it = m_handlers.erase(it);
    }
    Q_EMIT certificateUpdateRequired(certificates);
    // The job stays in flight: the same request runs again, with whatever settings arrive
    // in the meantime.
    repeatLater(id, check.awaitsVerdict ? -1 : 500, repeat);
}

void FtpWorker::repeatLater(const QUuid &id, int delayMs, const std::function<void()> &run)
{
    // A cancel starts it at once (see cancel()), so that it ends without waiting out the pause.
    auto *repetition = new QTimer(this);
    repetition->setSingleShot(true);
    m_repetitions.insert(id, repetition);
    connect(repetition, &QTimer::timeout, this, [this, id, repetition, run] {
        m_repetitions.remove(id);
        repetition->deleteLater();
        run();
    });
    // Under the policy the store decides, maybe after asking the host for as long as that takes:
    // a negative delay leaves the repetition to startRepetitions().
    if (delayMs >= 0)
        repetition->start(delayMs);
}

QList<QStringList> FtpWorker::readCertificate(
    const QString &url, const QString &username, const QString &password)
{
    qCDebug(lcZendraFtp) << ">> [READ CERTIFICATE] " << url;
    // A server that is not verified gets no credentials when a verified one is required: the
    // chain arrives with the handshake, before the login, which then fails (67). Without a login
    // the chain may be read whatever host it names, so that the store can say why it fails.
    const bool withoutLogin = m_requireVerifiedPeer;
    CURL *handle = withoutLogin ? prepareHandler(url, QString(), QString(), false)
                                : prepareHandler(url, username, password, false);
    if (withoutLogin)
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle, CURLOPT_CERTINFO, 1L);
    curl_easy_setopt(handle, CURLOPT_DIRLISTONLY, 1L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, static_cast<curl_write_callback>(nullptr));
    FtpTranscript transcript;
    const CURLcode code = perform(handle, transcript);
    if (code != CURLE_OK) {
        qCWarning(lcZendraFtp) << ">> [READ CERTIFICATE] " << url << "finished with error "
                               << int(code)
                               << QString(m_errorBuffer.constData()).toLocal8Bit().constData();
        if (!withoutLogin || code != CURLE_LOGIN_DENIED)
            return {};
    }

    curl_certinfo *certificateInfo = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_CERTINFO, &certificateInfo) != CURLE_OK
        || !certificateInfo) {
        return {};
    }
    QList<QStringList> chain;
    for (int index = 0; index < certificateInfo->num_of_certs; ++index) {
        QStringList lines;
        for (curl_slist *node = certificateInfo->certinfo[index]; node; node = node->next)
            lines.append(QString::fromUtf8(node->data));
        chain.append(lines);
    }
    qCInfo(lcZendraFtp) << ">> [READ CERTIFICATE] " << url << "finished with success";
    return chain;
}

void FtpWorker::recordResult(const QUuid &id, const QString &url, int code,
    const QString &errorString, bool encrypted, bool peerVerified, bool hostVerified,
    const FtpTranscript::Exchange &reply, const char *listingCommand, const TrustAnchor &anchor)
{
    m_certificateFailures.remove(id);
    {
        QMutexLocker locker(&m_controlMutex);
        m_lenientListings.remove(id);
    }
    m_transfers.remove(id);
    FtpResult result(url, code, errorString, m_attempts.take(id));
    result.setProtection(encrypted, peerVerified, hostVerified);
    result.setTrust(anchor.trust, anchor.fingerprint);
    result.setReply(
        reply.replyCode, QString::fromUtf8(reply.reply), QString::fromUtf8(reply.command));
    result.setListingCommand(QString::fromLatin1(listingCommand));
    QMutexLocker locker(&m_resultsMutex);
    m_results.insert(id, result);
}

FtpResult FtpWorker::finishResult(const QUuid &id)
{
    QMutexLocker locker(&m_resultsMutex);
    m_lastResult = m_results.take(id);
    return m_lastResult;
}

void FtpWorker::discardResult(const QUuid &id)
{
    QMutexLocker locker(&m_resultsMutex);
    m_results.remove(id);
}

FtpResult FtpWorker::lastResult() const
{
    QMutexLocker locker(&m_resultsMutex);
    return m_lastResult;
}

void FtpWorker::setMaximumAttempts(int attempts)
{
    m_maximumAttempts = qMax(0, attempts);
}

int FtpWorker::maximumAttempts() const
{
    return m_maximumAttempts;
}

bool FtpWorker::requiresTls() const
{
    return m_requireTls;
}

bool FtpWorker::requiresVerifiedPeer() const
{
    return m_requireVerifiedPeer;
}

void FtpWorker::refuseRepetition(const QString &reason, const QString &fingerprint)
{
    // Queued like setCertificate, so it reaches the repetition that the same update answers.
    QMetaObject::invokeMethod(
        this,
        [this, reason, fingerprint] {
            for (CertificateFailure &failure : m_certificateFailures) {
                failure.refused = true;
                failure.fingerprint = fingerprint;
                if (!reason.isEmpty()) {
                    failure.code = CURLE_PEER_FAILED_VERIFICATION;
                    failure.errorString = reason;
                }
            }
            startRepetitions();
        },
        Qt::QueuedConnection);
}

void FtpWorker::repeatNow()
{
    QMetaObject::invokeMethod(
        this, [this] { startRepetitions(); }, Qt::QueuedConnection);
}

void FtpWorker::startRepetitions()
{
    for (QTimer *repetition : std::as_const(m_repetitions)) {
        if (!repetition->isActive())
            repetition->start(0);
    }
}

FtpWorker::ChainCheck FtpWorker::takeChainCheck(const QList<QSslCertificate> &chain)
{
    QMutexLocker locker(&m_resultsMutex);
    if (!m_chainCheck.valid || m_chainCheck.chain != chain)
        return ChainCheck();
    return std::exchange(m_chainCheck, ChainCheck());
}

void FtpWorker::noteCertificateTrust(
    const QString &path, FtpResult::Trust trust, const QString &rootFingerprint)
{
    QMetaObject::invokeMethod(
        this,
        [=] {
            m_caFiles.insert(path, {path, trust, rootFingerprint});
        },
        Qt::QueuedConnection);
}

FtpWorker::TrustAnchor FtpWorker::trustAnchor(const QUrl &url)
{
    if (m_requireVerifiedPeer) {
        const FtpTrustStore::Pin pin = m_trustStore.pin(FtpTrustStore::serverKey(url));
        if (!pin.path.isEmpty())
            return {pin.path, FtpResult::PinnedTrust, pin.fingerprint};
    }
    if (m_certificatePath.isEmpty())
        return {m_certificatePath, FtpResult::NoTrust, QString()};
    // A file the host handed over itself, unless the store said otherwise.
    const TrustAnchor anchor
        = m_caFiles.value(m_certificatePath, {m_certificatePath, FtpResult::ImportedTrust, {}});
    // Under the policy a root that a server vouched for itself verifies nothing.
    if (m_requireVerifiedPeer && anchor.trust == FtpResult::FirstUseTrust)
        return {QString(), FtpResult::NoTrust, QString()};
    return anchor;
}

// Runs the transfer set up on @p handle to its end, as curl_easy_perform would, but waiting on
// the control connection too where libcurl does not (see idleWaitMs). Used with every libcurl
// version, so that there is one code path.
CURLcode FtpWorker::perform(CURL *handle, FtpTranscript &transcript)
{
    m_tlsEstablished = false;
    m_dataProtected = false;
    replyPages = {};
    if (!handle)
        return CURLE_BAD_FUNCTION_ARGUMENT;
    transcript.clear();
    const auto [it, created] = m_multis.try_emplace(handle);
    Connections &connections = it->second;
    if (created) {
        connections.multi.reset(curl_multi_init());
        curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &FtpWorker::openSocket);
        curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, &connections);
        curl_easy_setopt(handle, CURLOPT_CLOSESOCKETFUNCTION, &FtpWorker::closeSocket);
        curl_easy_setopt(handle, CURLOPT_CLOSESOCKETDATA, &connections);
    }
    CURLM *multi = connections.multi.get();
    if (!multi) {
        m_multis.erase(it);
        return CURLE_OUT_OF_MEMORY;
    }
    const CURLMcode added = curl_multi_add_handle(multi, handle);
    if (added != CURLM_OK)
        return added == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
    transcript.attach(handle);
    connections.transcript = &transcript;
    // A reused connection that the transfer ends up closing is known only by this.
    const QList<ControlSocket> reusable = connections.controlSockets;

    {
        QMutexLocker locker(&m_controlMutex);
        m_runningMulti = multi;
    }
    // The certificate probe runs without a stream; its reply is not the request's progress.
    const bool tracked = currentStream != nullptr;
    m_sinceMove.start();
    m_moved = 0;
    m_callbackAbort = CURLE_OK;

    CURLcode code = CURLE_OK;
    CURLMcode status = CURLM_OK;
    QVarLengthArray<curl_waitfd, 2> control;
    bool controlUnread = false;
    for (bool done = false; !done && status == CURLM_OK;) {
        const CURLcode abort = abortReason(m_sinceMove.elapsed());
        if (abort != CURLE_OK) {
            code = abort;
            setAbortMessage(abort);
            break;
        }
        const quint64 activity = transcript.activity();
        int running = 0;
        status = curl_multi_perform(multi, &running);
        m_tlsEstablished = m_tlsEstablished || tlsEstablished(handle);
        int queued = 0;
        const CURLMsg *message
            = status == CURLM_OK && !running ? curl_multi_info_read(multi, &queued) : nullptr;
        done = message && message->msg == CURLMSG_DONE;
        if (done) {
            code = message->data.result;
            // The source's read failure ends the transfer the same way.
            if (code == CURLE_ABORTED_BY_CALLBACK && m_callbackAbort != CURLE_OK) {
                code = m_callbackAbort;
                setAbortMessage(code);
            }
        } else if (status == CURLM_OK) {
            const bool acted = transcript.activity() != activity;
            // A reply that woke the worker but that libcurl left unread would wake it again at
            // once: it waits for libcurl's own sockets until libcurl acts.
            bool woken = false;
            for (const curl_waitfd &socket : std::as_const(control))
                woken = woken || socket.revents;
            controlUnread = !acted && (controlUnread || (woken && readable(control)));
            curl_off_t received = 0;
            curl_off_t sent = 0;
            curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &received);
            curl_easy_getinfo(handle, CURLINFO_SIZE_UPLOAD_T, &sent);
            // Bytes in either direction: a body flows, or an upload's bytes leave.
            const curl_off_t moved = received + sent;
            control.clear();
            if (!moved && !controlUnread && transcript.awaitsReply()) {
                for (const ControlSocket &socket : std::as_const(connections.controlSockets))
                    control.append({socket.socket, CURL_WAIT_POLLIN, 0});
            }
            int waitMs = acted && !moved ? 0 : idleWaitMs;
            // Look again when the stall limit would run out.
            if (const int stall = m_stallTimeout; stall > 0)
                waitMs = int(std::clamp<qint64>(stall - m_sinceMove.elapsed() + 1, 0, waitMs));
            if (tracked)
                updateProgress(handle);
            int events = 0;
            status = curl_multi_poll(multi, control.data(), uint(control.size()), waitMs, &events);
            noteMoved(moved);
            if (events > 0)
                m_sinceMove.restart();
        }
    }
    connections.transcript = nullptr;
    {
        QMutexLocker locker(&m_controlMutex);
        m_runningMulti = nullptr;
    }
    // With TLS only tried, libcurl carries the data in clear when the server refuses PROT P and
    // does not say so; the server's answer does. A connection that logged in during this
    // transfer shows it in the transcript, one that was reused remembers its login's. libcurl
    // names the connection it kept (until the handle leaves the multi handle); one that it
    // closed was the only one there, or the transfer logged in anew.
    curl_socket_t kept = CURL_SOCKET_BAD;
    curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &kept);
    const auto socket
        = std::find_if(connections.controlSockets.begin(), connections.controlSockets.end(),
            [kept](const ControlSocket &control) { return control.socket == kept; });
    const ControlSocket *before = socket != connections.controlSockets.end() ? &*socket
        : reusable.size() == 1                                               ? &reusable.first()
                                                                             : nullptr;
    const FtpTranscript::Exchange protection = transcript.lastExchange("PROT");
    if (!protection.command.isEmpty())
        m_dataProtected = protection.command == "PROT P" && protection.replyCode / 100 == 2;
    else
        m_dataProtected = before && before->dataProtected;
    // A request on a reused connection may run whole within one look (libcurl sends the
    // commands that follow a transfer in one go), and libcurl names a transfer's TLS only while
    // it runs: the connection's login tells.
    if (transcript.lastExchange("USER").command.isEmpty())
        m_tlsEstablished = m_tlsEstablished || (before && before->tls);
    if (socket != connections.controlSockets.end()) {
        socket->tls = m_tlsEstablished;
        socket->dataProtected = m_dataProtected;
    }
    if (tracked)
        updateProgress(handle);
    // Failures of the multi interface itself, mapped as curl_easy_perform maps them.
    if (status == CURLM_OUT_OF_MEMORY)
        code = CURLE_OUT_OF_MEMORY;
    else if (status != CURLM_OK)
        code = CURLE_BAD_FUNCTION_ARGUMENT;
    curl_multi_remove_handle(multi, handle);
    FtpTranscript::detach(handle);
    return code;
}

// A socket that libcurl opens before the transfer sent its first command carries a control
// connection; data connections follow a reply (EPSV, PASV) or precede PORT.
curl_socket_t FtpWorker::openSocket(void *client, curlsocktype purpose, curl_sockaddr *address)
{
    Q_UNUSED(purpose);
    auto *connections = static_cast<Connections *>(client);
    const curl_socket_t socket = ::socket(address->family, address->socktype, address->protocol);
    if (socket != CURL_SOCKET_BAD && connections->transcript
        && connections->transcript->exchanges().isEmpty()) {
        connections->controlSockets.append({socket, false, false});
    }
    return socket;
}

int FtpWorker::closeSocket(void *client, curl_socket_t socket)
{
    QList<ControlSocket> &sockets = static_cast<Connections *>(client)->controlSockets;
    sockets.removeIf([socket](const ControlSocket &control) { return control.socket == socket; });
    return ::close(socket);
}

// The progress of the attempt in flight, counted from the start of the whole file: a resumed
// download or upload starts at its offset.
void FtpWorker::updateProgress(CURL *handle)
{
    curl_off_t moved = 0;
    if (m_uploadTotal >= 0) {
        curl_easy_getinfo(handle, CURLINFO_SIZE_UPLOAD_T, &moved);
        m_bytesReceived = m_progressOffset + moved;
        m_bytesTotal = m_uploadTotal;
        return;
    }
    curl_off_t total = -1;
    curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &moved);
    curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &total);
    m_bytesReceived = m_progressOffset + moved;
    m_bytesTotal = total < 0 ? -1 : m_progressOffset + total;
}

void FtpWorker::cancel(const QUuid &id)
{
    QMutexLocker locker(&m_controlMutex);
    m_cancelledId = id;
    if (id != m_runningId)
        return;
    m_cancelRunning = true;
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            if (QTimer *repetition = m_repetitions.value(id))
                repetition->start(0);
        },
        Qt::QueuedConnection);
    // Ends the worker's wait on the sockets, however long the server stays silent.
    if (m_runningMulti)
        curl_multi_wakeup(m_runningMulti);
}

void FtpWorker::setStallTimeout(int msecs)
{
    m_stallTimeout = qMax(0, msecs);
}

int FtpWorker::stallTimeout() const
{
    return m_stallTimeout;
}

qint64 FtpWorker::bytesReceived() const
{
    return m_bytesReceived;
}

qint64 FtpWorker::bytesTotal() const
{
    return m_bytesTotal;
}

void FtpWorker::resetProgress()
{
    m_bytesReceived = 0;
    m_bytesTotal = -1;
}

void FtpWorker::listLeniently(const QUuid &id)
{
    QMutexLocker locker(&m_controlMutex);
    m_lenientListings.insert(id);
}

FtpResult FtpWorker::finishCancelled(const QString &url)
{
    QMutexLocker locker(&m_resultsMutex);
    m_lastResult = FtpResult(url, CURLE_ABORTED_BY_CALLBACK, QStringLiteral("Cancelled"), 0);
    return m_lastResult;
}

CURLcode FtpWorker::abortReason(qint64 sinceLastMoveMs) const
{
    if (m_cancelRunning)
        return CURLE_ABORTED_BY_CALLBACK;
    const int stall = m_stallTimeout;
    return stall > 0 && sinceLastMoveMs >= stall ? CURLE_OPERATION_TIMEDOUT : CURLE_OK;
}

void FtpWorker::setAbortMessage(CURLcode abort)
{
    const QByteArray reason = abort == CURLE_ABORTED_BY_CALLBACK
        ? QByteArrayLiteral("Cancelled")
        : QByteArrayLiteral("No data moved for ") + QByteArray::number(m_stallTimeout)
            + QByteArrayLiteral(" ms");
    qstrncpy(m_errorBuffer.data(), reason.constData(), size_t(m_errorBuffer.size()));
}

void FtpWorker::noteMoved(curl_off_t moved)
{
    if (moved == m_moved)
        return;
    m_moved = moved;
    m_sinceMove.restart();
}

int FtpWorker::abortCallback(
    void *worker, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded)
{
    auto *self = static_cast<FtpWorker *>(worker);
    self->noteMoved(downloaded + uploaded);
    self->m_callbackAbort = self->abortReason(self->m_sinceMove.elapsed());
    return self->m_callbackAbort != CURLE_OK;
}

void FtpWorker::abandonHandle(CURL *handle)
{
    const auto it = m_multis.find(handle);
    if (it != m_multis.end()) {
        for (const ControlSocket &control : std::as_const(it->second.controlSockets))
            ::shutdown(control.socket, SHUT_RDWR);
    }
    dropHandle(handle);
}

void FtpWorker::dropHandle(CURL *handle)
{
    for (auto it = m_handlers.begin(); it != m_handlers.end(); ++it) {
        if (it.value() == handle) {
            cleanupHandle(handle);
            m_handlers.erase(it);
            return;
        }
    }
}

// The connection stays in the multi handle's cache between transfers, while the easy handle is
// not attached to it, so cleaning up the multi handle is what closes the connection.
void FtpWorker::cleanupHandle(CURL *handle)
{
    m_extendedHandles.remove(handle);
    m_uploadedOn.remove(handle);
    m_multis.erase(handle);
    curl_easy_cleanup(handle);
}

size_t FtpWorker::writeCallback(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    Q_UNUSED(userdata);
    if (unsizedReply) {
        curl_off_t announced = -1;
        curl_easy_getinfo(currentHandle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        if (announced > 0 && announced <= largestReservation)
            reserveReply(*unsizedReply, qsizetype(announced));
        unsizedReply = nullptr;
    }
    const int length = int(size * nmemb);
    if (replyPages.end)
        faultInReply(length);
    return size_t(currentStream->writeRawData(ptr, length));
}

} // namespace zendra
