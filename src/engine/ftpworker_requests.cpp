// SPDX-License-Identifier: MIT
// FtpWorker's later request kinds, on the worker's thread: uploads (to a temporary name, renamed
// on success), remote file operations, resumed downloads, and the retries of transfers that a
// dropped or stalled connection ended. They run through performRequest() like downloads and
// listings, with a Transfer that carries their state from one attempt to the next.
#include "ftpworker_p.h"

#include "ftpservice.h"
#include "zendralogging_p.h"

#include <QBuffer>
#include <QDebug>
#include <QFile>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QUrl>

#include <algorithm>

namespace zendra {

namespace {

// Bytes handed to libcurl per read: larger than its default, fewer calls per upload.
const long uploadBuffer = 512 * 1024;
// How long the removal of a failed upload's temporary file may take, login included.
const long temporaryRemovalLimitMs = 10000;
// The first pause before a retry, doubled for each further one up to the longest.
const int firstRetryPauseMs = 250;
const int longestRetryPauseMs = 2000;

// The folder URL (with its trailing slash) and the last segment of @p url, as written in the URL
// and as the server gets it in a command. False when @p url names no entry below the login
// folder, or a name that a command cannot carry.
bool splitUrl(const QString &url, QString *folderUrl, QString *encodedName, QByteArray *name)
{
    QString text = url;
    while (text.endsWith(u'/'))
        text.chop(1);
    const qsizetype authority = text.indexOf(QLatin1String("://"));
    const qsizetype slash = text.lastIndexOf(u'/');
    if (authority < 0 || slash <= authority + 2)
        return false;
    *folderUrl = text.left(slash + 1);
    *encodedName = text.mid(slash + 1);
    *name = QByteArray::fromPercentEncoding(encodedName->toUtf8());
    return !name->isEmpty() && !name->contains('\r') && !name->contains('\n');
}

std::shared_ptr<curl_slist> commandList(const QList<QByteArray> &commands)
{
    curl_slist *list = nullptr;
    for (const QByteArray &command : commands)
        list = curl_slist_append(list, command.constData());
    return std::shared_ptr<curl_slist>(list, &curl_slist_free_all);
}

// Failures of the connection rather than of the request: a transfer cut short, a connection
// that broke or fell silent, a data connection that could not be made. A reconnect refused
// counts once the request has been cut off before.
bool isRetryable(CURLcode code, bool retrying)
{
    switch (code) {
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
    case CURLE_FTP_CANT_GET_HOST:
        return true;
    case CURLE_COULDNT_CONNECT:
        return retrying;
    default:
        return false;
    }
}

} // namespace

void FtpWorker::startRequest(int type, const QString &url, const QString &username,
    const QString &password, const QUuid &id, const QString &filePath, const FtpJobDetails &details)
{
    Transfer transfer;
    transfer.type = type;
    transfer.details = details;
    const auto options = FtpService::TransferOptions(details.options);
    transfer.resume = options.testFlag(FtpService::Resume);
    const char *requestName = type == FtpJob::ContinuedDownload ? "continueDownload"
        : type == FtpJob::Upload ? (details.localFile.isEmpty() ? "uploadData" : "uploadFile")
        : type == FtpJob::MakeDirectory   ? "makeDirectory"
        : type == FtpJob::RemoveDirectory ? "removeDirectory"
        : type == FtpJob::RemoveFile      ? "removeFile"
                                          : "rename";
    if (type == FtpJob::ContinuedDownload) {
        transfer.resume = true;
        m_transfers.insert(id, transfer);
        performRequest(url, username, password, id, requestName, filePath, {});
        return;
    }

    // The others work in the folder of the URL's last segment, which libcurl enters as it does
    // for a download; the commands name the entry relative to it.
    QString encodedName;
    QByteArray name;
    const QByteArray newName = details.newName.toUtf8();
    if (!splitUrl(url, &transfer.folderUrl, &encodedName, &name) || newName.contains('\r')
        || newName.contains('\n') || (type == FtpJob::Upload && url.endsWith(u'/'))) {
        qCWarning(lcZendraFtp) << ">> [FTP " << QString::fromUtf8(requestName).toUpper() << " ] "
                               << url << "refused: the URL names no remote entry";
        recordResult(id, url, CURLE_URL_MALFORMAT,
            QStringLiteral("The URL names no file or folder below the login folder"));
        Q_EMIT requestFinished(id, QByteArray());
        return;
    }
    transfer.targetUrl = transfer.folderUrl;
    switch (type) {
    case FtpJob::Upload:
        transfer.targetUrl = url;
        if (!options.testFlag(FtpService::InPlace) && !transfer.resume) {
            QByteArray suffix(6, Qt::Uninitialized);
            const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
            for (char &letter : suffix)
                letter = letters[QRandomGenerator::global()->bounded(int(sizeof letters) - 1)];
            transfer.temporaryName = name + ".part-" + suffix;
            transfer.targetUrl = transfer.folderUrl + encodedName + QLatin1String(".part-")
                + QLatin1String(suffix);
            transfer.commands = commandList({"RNFR " + transfer.temporaryName, "RNTO " + name});
        }
        break;
    case FtpJob::MakeDirectory:
        // libcurl makes each folder of the path that it cannot enter, this one included.
        if (options.testFlag(FtpService::CreateDirectories))
            transfer.targetUrl = transfer.folderUrl + encodedName + u'/';
        else
            transfer.commands = commandList({"MKD " + name});
        break;
    case FtpJob::RemoveDirectory:
        transfer.commands = commandList({"RMD " + name});
        break;
    case FtpJob::RemoveFile:
        transfer.commands = commandList({"DELE " + name});
        break;
    default:
        transfer.commands = commandList({"RNFR " + name, "RNTO " + newName});
        break;
    }
    m_transfers.insert(id, transfer);
    performRequest(url, username, password, id, requestName, QString(), [this, id](void *handle) {
        const auto it = m_transfers.find(id);
        if (it != m_transfers.end())
            configureTransfer(static_cast<CURL *>(handle), it.value());
    });
}

void FtpWorker::configureTransfer(CURL *handle, Transfer &transfer)
{
    if (!handle)
        return;
    m_extendedHandles.insert(handle);
    curl_easy_setopt(handle, CURLOPT_URL, transfer.targetUrl.toStdString().c_str());
    if (FtpService::TransferOptions(transfer.details.options)
            .testFlag(FtpService::CreateDirectories)) {
        curl_easy_setopt(handle, CURLOPT_FTP_CREATE_MISSING_DIRS, long(CURLFTP_CREATE_DIR_RETRY));
    }
    if (transfer.type != FtpJob::Upload) {
        // Enter the folder, send the commands, transfer nothing. Commands sent before a
        // transfer go through libcurl's state machine, so the worker's loop waits for their
        // replies and a cancel or the stall limit ends the wait.
        curl_easy_setopt(handle, CURLOPT_PREQUOTE, transfer.commands.get());
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
        return;
    }
    // The rename follows the upload; libcurl waits for its replies itself and asks the
    // progress callback whether to go on.
    curl_easy_setopt(handle, CURLOPT_POSTQUOTE, transfer.commands.get());
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &FtpWorker::abortCallback);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, &FtpWorker::readCallback);
    curl_easy_setopt(handle, CURLOPT_READDATA, this);
    curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, &FtpWorker::seekCallback);
    curl_easy_setopt(handle, CURLOPT_SEEKDATA, this);
    curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, curl_off_t(m_uploadTotal));
    curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, uploadBuffer);
    // -1: libcurl asks the server for the size of what is there (SIZE), seeks the source past
    // it and appends (APPE); with nothing there it stores from the start.
    curl_easy_setopt(
        handle, CURLOPT_RESUME_FROM_LARGE, transfer.resume ? curl_off_t(-1) : curl_off_t(0));
}

bool FtpWorker::openSource(Transfer &transfer, QString *error)
{
    if (!transfer.source) {
        if (transfer.details.localFile.isEmpty()) {
            auto buffer = std::make_shared<QBuffer>();
            buffer->setData(transfer.details.data);
            transfer.source = buffer;
        } else {
            transfer.source = std::make_shared<QFile>(transfer.details.localFile);
        }
        // Unbuffered: libcurl asks for large blocks, which a file reads straight into its buffer.
        if (!transfer.source->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            *error = transfer.source->errorString();
            transfer.source.reset();
            return false;
        }
    }
    // Each attempt starts at the beginning; a resumed one seeks on from there.
    return transfer.source->seek(0);
}

bool FtpWorker::retryLater(const QUuid &id, CURLcode code, const FtpTranscript &transcript,
    CURL *handle, QByteArray &data, bool continuable, const std::function<void()> &repeat)
{
    const auto existing = m_transfers.find(id);
    Transfer *transfer = existing == m_transfers.end() ? nullptr : &existing.value();
    const int type = transfer ? transfer->type : FtpJob::Download;
    // A server that refuses to append gets the whole file, at once and not as a retry.
    if (code == CURLE_UPLOAD_FAILED && type == FtpJob::Upload && transfer->resume
        && transcript.lastExchange("APPE").replyCode >= 400) {
        transfer->resume = false;
        transfer->appendRefused = true;
        repeatLater(id, 0, repeat);
        return true;
    }
    const bool operation
        = type != FtpJob::Download && type != FtpJob::ContinuedDownload && type != FtpJob::Upload;
    const int retries = transfer ? transfer->retries : 0;
    if (operation || retries >= m_retries || !isRetryable(code, retries > 0))
        return false;

    Transfer &retried = m_transfers[id];
    ++retried.retries;
    // A listing's reply cannot be continued: it starts again.
    retried.resume = continuable && !retried.appendRefused;
    retried.partial = continuable ? std::move(data) : QByteArray();
    // The connection that broke goes; the next attempt logs in anew.
    dropHandle(handle);
    const int pause
        = std::min(firstRetryPauseMs << std::min(retried.retries - 1, 8), longestRetryPauseMs);
    qCInfo(lcZendraFtp) << ">> [FTP RETRY] attempt" << m_attempts.value(id) + 1 << "in" << pause
                        << "ms after error" << int(code);
    repeatLater(id, pause, repeat);
    return true;
}

// ProFTPD (and servers like it) accept a data connection only in the TLS session of the control
// connection. Over TLS 1.3 each data connection takes up a session ticket, and the server sends
// a fresh one on it, which libcurl 7.88 learns when it reads: a download's data connection gives
// the next one its ticket, an upload's never does, and the data connection after an upload on
// the same control connection gets 425. Such a request runs again at once on a fresh connection,
// and from then on that server's connection goes after each upload over TLS; servers that
// accept it keep their connection.
bool FtpWorker::refusedSession(const QString &url, CURL *handle, bool upload, bool afterUpload,
    CURLcode code, const FtpTranscript &transcript)
{
    if (!m_tlsEstablished)
        return false;
    const QUrl parsed(url);
    const QString key = QStringLiteral("%1/%2").arg(parsed.scheme()).arg(parsed.host());
    const QList<FtpTranscript::Exchange> &exchanges = transcript.exchanges();
    if (code != CURLE_OK && afterUpload
        && std::any_of(exchanges.cbegin(), exchanges.cend(),
            [](const FtpTranscript::Exchange &exchange) { return exchange.replyCode == 425; })) {
        qCInfo(lcZendraFtp) << ">> [FTP RETRY]" << url
                            << "on a fresh connection: the server refused the TLS session of the "
                               "data connection after an upload";
        m_sessionRenewals.insert(key);
        dropHandle(handle);
        return true;
    }
    if (upload && m_sessionRenewals.contains(key))
        dropHandle(handle);
    else if (upload)
        m_uploadedOn.insert(handle);
    return false;
}

void FtpWorker::removeTemporaryFile(const QString &url, const QString &username,
    const QString &password, const Transfer &transfer, const QString &name)
{
    {
        // A cancel ended the upload; the removal is its last step, and a further cancel ends it.
        QMutexLocker locker(&m_controlMutex);
        m_cancelRunning = false;
    }
    CURL *handle = prepareHandler(url, username, password, true);
    if (!handle)
        return;
    const std::shared_ptr<curl_slist> commands = commandList({"DELE " + transfer.temporaryName});
    m_extendedHandles.insert(handle);
    curl_easy_setopt(handle, CURLOPT_URL, transfer.folderUrl.toStdString().c_str());
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle, CURLOPT_PREQUOTE, commands.get());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, temporaryRemovalLimitMs);
    FtpTranscript transcript;
    const CURLcode code = perform(handle, transcript);
    curl_easy_setopt(handle, CURLOPT_PREQUOTE, static_cast<curl_slist *>(nullptr));
    if (code == CURLE_OK)
        return;
    if (code == CURLE_ABORTED_BY_CALLBACK || code == CURLE_OPERATION_TIMEDOUT)
        abandonHandle(handle);
    qCWarning(lcZendraFtp) << ">> [FTP " << name << " ] " << url
                           << "could not remove its temporary file"
                           << QString::fromUtf8(transfer.temporaryName) << "error" << int(code)
                           << transcript.lastReply().reply.constData();
}

void FtpWorker::setRetries(int retries)
{
    m_retries = qMax(0, retries);
}

int FtpWorker::retries() const
{
    return m_retries;
}

size_t FtpWorker::readCallback(char *buffer, size_t size, size_t count, void *worker)
{
    auto *self = static_cast<FtpWorker *>(worker);
    const qint64 read = self->m_source->read(buffer, qint64(size * count));
    if (read >= 0)
        return size_t(read);
    self->m_sourceFailed = true;
    return CURL_READFUNC_ABORT;
}

int FtpWorker::seekCallback(void *worker, curl_off_t offset, int origin)
{
    auto *self = static_cast<FtpWorker *>(worker);
    if (origin != SEEK_SET || !self->m_source->seek(offset))
        return CURL_SEEKFUNC_CANTSEEK;
    self->m_progressOffset = offset;
    return CURL_SEEKFUNC_OK;
}

} // namespace zendra
