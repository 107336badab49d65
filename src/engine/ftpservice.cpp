// SPDX-License-Identifier: MIT
// FtpService: the job queue in front of the worker, its properties and the callbacks.
#include "ftpservice.h"

#include "bufferreleaser_p.h"
#include "ftpjob_p.h"
#include "ftplistparser_p.h"
#include "ftpworker_p.h"
#include "mlsdlisting_p.h"
#include "zendralogging_p.h"

#include <QDebug>
#include <QMetaObject>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <utility>

template class Service<zendra::FtpService>;

namespace zendra {

FtpService *FtpService::m_instance = nullptr;

FtpService::FtpService(QObject *parent)
    : QObject(parent)
    , m_certificatesDirectory(
          QStringLiteral("%1/certificates")
              .arg(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)))
    , m_worker(new FtpWorker())
    , m_verifyPeer(true)
    , m_verifyHost(true)
    , m_activateSsl(true)
    , m_certificateUpdates(0)
{
    connect(this, &FtpService::setCertificate, m_worker, &FtpWorker::setCertificate);
    connect(this, &FtpService::download, m_worker, &FtpWorker::downloadFile);
    connect(this, &FtpService::downloadInFile, m_worker, &FtpWorker::downloadInFile);
    connect(this, &FtpService::listDir, m_worker, &FtpWorker::listDirectory);
    connect(this, &FtpService::closeHandler, m_worker, &FtpWorker::closeHandler);
    connect(this, &FtpService::verifyPeerChanged, m_worker, &FtpWorker::setPeerVerification);
    connect(this, &FtpService::verifyHostChanged, m_worker, &FtpWorker::setHostVerification);
    connect(this, &FtpService::activateSslChanged, m_worker, &FtpWorker::setActivateSsl);
    connect(m_worker, &FtpWorker::requestFinished, this, &FtpService::onRequestFinished);
    connect(m_worker, &FtpWorker::certificateUpdateRequired, this, &FtpService::updateCertificate);
    m_worker->trustStore().setDirectory(m_certificatesDirectory);
}

FtpService::~FtpService()
{
    // The worker ends its transfer, libcurl and its thread on its own thread.
    m_worker->deleteLater();
    qDeleteAll(m_jobs);
}

void FtpService::downloadFile(const QString &url,
    const std::function<void(const QByteArray &)> &callback, const QString &filePath,
    const QString &username)
{
    addJob(url, callback, FtpJob::Download, filePath, username, QString());
    sendNextRequest();
}

void FtpService::listDirectory(const QString &url,
    const std::function<void(const QList<FtpFileInfo> &)> &callback, FtpFileInfo::FileType fileType,
    const QString &filePath, const QString &username)
{
    // Without a callback there is nobody to parse the listing for: the reply is discarded.
    std::function<void(const QByteArray &)> adapter;
    if (callback) {
        adapter = [callback, fileType](
                      const QByteArray &data) { callback(parseMlsdListing(data, fileType)); };
    }
    addJob(url, adapter, FtpJob::Listing, filePath, username, QString());
    sendNextRequest();
}

void FtpService::listDirectoryLeniently(const QString &url,
    const std::function<void(const QList<FtpFileInfo> &)> &callback, FtpFileInfo::FileType fileType,
    const QString &username)
{
    std::function<void(const QByteArray &)> adapter;
    if (callback) {
        adapter = [this, callback, fileType](const QByteArray &data) {
            if (m_worker->lastResult().listingCommand() != QLatin1String("LIST")) {
                callback(parseMlsdListing(data, fileType, true));
                return;
            }
            // The year that recent "ls -l" lines leave out is the server's; its zone is unknown.
            callback(parseListListing(data, fileType, QDateTime::currentDateTimeUtc().date()));
        };
    }
    addJob(url, adapter, FtpJob::Listing, QString(), username, QString())->setLenient();
    sendNextRequest();
}

void FtpService::downloadFile(const QString &url,
    const std::function<void(const QByteArray &)> &callback, const QString &filePath,
    TransferOptions options, const QString &username)
{
    // Without a local file there is nothing to continue: a plain download does the rest.
    if (!options.testFlag(Resume) || filePath.isEmpty()) {
        downloadFile(url, callback, filePath, username);
        return;
    }
    addJob(url, callback, FtpJob::ContinuedDownload, filePath, username, QString());
    sendNextRequest();
}

void FtpService::uploadFile(const QString &localFile, const QString &url,
    const ResultCallback &callback, TransferOptions options)
{
    FtpJobDetails details;
    details.localFile = localFile;
    details.options = int(options);
    addRequest(FtpJob::Upload, url, callback, QString(), details);
}

void FtpService::uploadData(const QByteArray &data, const QString &url,
    const ResultCallback &callback, TransferOptions options)
{
    FtpJobDetails details;
    details.data = data;
    details.options = int(options);
    addRequest(FtpJob::Upload, url, callback, QString(), details);
}

void FtpService::makeDirectory(
    const QString &url, const ResultCallback &callback, TransferOptions options)
{
    FtpJobDetails details;
    details.options = int(options);
    addRequest(FtpJob::MakeDirectory, url, callback, QString(), details);
}

void FtpService::removeDirectory(const QString &url, const ResultCallback &callback)
{
    addRequest(FtpJob::RemoveDirectory, url, callback, QString(), FtpJobDetails());
}

void FtpService::removeFile(const QString &url, const ResultCallback &callback)
{
    addRequest(FtpJob::RemoveFile, url, callback, QString(), FtpJobDetails());
}

void FtpService::rename(const QString &url, const QString &newName, const ResultCallback &callback)
{
    FtpJobDetails details;
    details.newName = newName;
    addRequest(FtpJob::Rename, url, callback, QString(), details);
}

void FtpService::addRequest(int type, const QString &url, const ResultCallback &callback,
    const QString &filePath, const FtpJobDetails &details)
{
    // The job's callback runs right after lastResult() became this request's outcome.
    std::function<void(const QByteArray &)> adapter;
    if (callback)
        adapter = [this, callback](const QByteArray &) { callback(lastResult()); };
    {
        QMutexLocker locker(&m_mutex);
        auto *job = new FtpJob(url, filePath, m_username, m_password, adapter, type);
        job->setDetails(details);
        m_jobs.append(job);
    }
    sendNextRequest();
}

void FtpService::setCredentials(const QString &username, const QString &password,
    const std::function<QString(const QString &)> &transform)
{
    // An empty transform throws here, before anything is stored.
    const QString transformedUsername = transform(username);
    const QString transformedPassword = transform(password);
    QMutexLocker locker(&m_mutex);
    m_username = transformedUsername;
    m_password = transformedPassword;
}

// Written on this thread only, so reading here needs no lock; writing does, against addJob().
QString FtpService::userName() const
{
    return m_username;
}

void FtpService::setUserName(const QString &userName)
{
    QMutexLocker locker(&m_mutex);
    m_username = userName;
}

QString FtpService::password() const
{
    return m_password;
}

void FtpService::setPassword(const QString &password)
{
    QMutexLocker locker(&m_mutex);
    m_password = password;
}

void FtpService::endSession(const QString &scheme, const QString &host)
{
    qCInfo(lcZendraFtp) << QStringLiteral(">> End %1 session to host %2").arg(scheme, host);
    Q_EMIT closeHandler(QStringLiteral("%1/%2").arg(scheme, host));
}

FtpResult FtpService::lastResult() const
{
    return m_worker->lastResult();
}

void FtpService::setMaximumAttempts(int attempts)
{
    m_worker->setMaximumAttempts(attempts);
}

int FtpService::maximumAttempts() const
{
    return m_worker->maximumAttempts();
}

bool FtpService::verifyPeer() const
{
    return m_verifyPeer;
}

bool FtpService::verifyHost() const
{
    return m_verifyHost;
}

bool FtpService::activateSsl() const
{
    return m_activateSsl;
}

void FtpService::setVerifyPeer(bool verify)
{
    if (verify == m_verifyPeer)
        return;
    m_verifyPeer = verify;
    Q_EMIT verifyPeerChanged(verify);
}

void FtpService::setVerifyHost(bool verify)
{
    if (verify == m_verifyHost)
        return;
    m_verifyHost = verify;
    Q_EMIT verifyHostChanged(verify);
}

void FtpService::setActivateSsl(bool activate)
{
    if (activate == m_activateSsl)
        return;
    m_activateSsl = activate;
    Q_EMIT activateSslChanged(activate);
}

void FtpService::setRequireTls(bool require)
{
    m_worker->requireTlsProperty() = require;
}

bool FtpService::requiresTls() const
{
    return m_worker->requireTlsProperty().value();
}

QBindable<bool> FtpService::bindableRequireTls()
{
    return QBindable<bool>(&m_worker->requireTlsProperty());
}

void FtpService::setRequireVerifiedPeer(bool require)
{
    m_worker->requireVerifiedPeerProperty() = require;
}

bool FtpService::requiresVerifiedPeer() const
{
    return m_worker->requireVerifiedPeerProperty().value();
}

QBindable<bool> FtpService::bindableRequireVerifiedPeer()
{
    return QBindable<bool>(&m_worker->requireVerifiedPeerProperty());
}

void FtpService::onRequestFinished(const QUuid &id, const QByteArray &data)
{
    FtpJob *job = nullptr;
    {
        QMutexLocker locker(&m_mutex);
        if (!m_jobs.isEmpty())
            job = m_jobs.takeFirst();
    }
    // Every answer belongs to the request in flight; a stray id costs it its callback.
    if (job && job->id() == id) {
        if (QTimer *timer = m_worker->progressReports().timer)
            timer->stop();
        deliverProgress(job->url(), true);
        m_worker->finishResult(id);
        job->finish(data);
    } else {
        m_worker->discardResult(id);
    }
    delete job;
    sendNextRequest();
    // The finished call holds its copy of the data until this returns; once it has dropped it,
    // a large buffer that the callback did not keep is freed away from this thread.
    if (data.size() >= BufferReleaser::threshold) {
        QMetaObject::invokeMethod(
            this, [held = data]() mutable { BufferReleaser::release(std::move(held)); },
            Qt::QueuedConnection);
    }
}

FtpJob *FtpService::addJob(const QString &url,
    const std::function<void(const QByteArray &)> &callback, int type, const QString &filePath,
    const QString &username, const QString &password)
{
    QMutexLocker locker(&m_mutex);
    auto *job = new FtpJob(url, filePath, username.isEmpty() ? m_username : username,
        password.isEmpty() ? m_password : password, callback, type);
    m_jobs.append(job);
    return job;
}

void FtpService::sendNextRequest()
{
    // Requests leave from the service's thread only, so that the head job is marked sent once
    // and the worker receives them in queue order whoever queued them.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this] { sendNextRequest(); }, Qt::QueuedConnection);
        return;
    }
    finishCancelledJobs();

    QUuid id;
    int type;
    QString url;
    QString username;
    QString password;
    QString filePath;
    bool lenient;
    FtpJobDetails details;
    {
        QMutexLocker locker(&m_mutex);
        if (m_jobs.isEmpty())
            return;
        FtpJob *job = m_jobs.first();
        if (job->sent())
            return;
        job->setSent();
        id = job->id();
        type = job->type();
        url = job->url();
        username = job->username();
        password = job->password();
        filePath = job->filePath();
        lenient = job->lenient();
        details = job->details();
    }

    m_worker->resetProgress();
    m_worker->trustStore().requestUpdates = 0;
    FtpWorker::ProgressReports &progress = m_worker->progressReports();
    progress.received = progress.total = -1;
    if (!progress.handlers.isEmpty() && progress.timer)
        progress.timer->start();

    if (lenient)
        m_worker->listLeniently(id);
    // Emitted without the lock: a directly connected receiver may queue new requests.
    if (type == FtpJob::Listing) {
        Q_EMIT listDir(url, username, password, id);
    } else if (type != FtpJob::Download) {
        // The later kinds have no signal of their own: a queued call keeps them in line with
        // the signals' deliveries.
        QMetaObject::invokeMethod(
            m_worker,
            [worker = m_worker, type, url, username, password, id, filePath, details] {
                worker->startRequest(type, url, username, password, id, filePath, details);
            },
            Qt::QueuedConnection);
    } else if (!filePath.isEmpty()) {
        Q_EMIT downloadInFile(url, username, password, id, filePath);
    } else {
        Q_EMIT download(url, username, password, id);
    }
}

void FtpService::setProgressHandler(const ProgressHandler &handler)
{
    setProgressHandler(0, handler);
}

int FtpService::addProgressHandler(const ProgressHandler &handler)
{
    const int id = ++m_worker->progressReports().lastId;
    setProgressHandler(id, handler);
    return id;
}

void FtpService::removeProgressHandler(int id)
{
    if (id > 0)
        setProgressHandler(id, ProgressHandler());
}

void FtpService::setProgressHandler(int id, const ProgressHandler &handler)
{
    FtpWorker::ProgressReports &progress = m_worker->progressReports();
    if (handler)
        progress.handlers.insert(id, handler);
    else
        progress.handlers.remove(id);
    if (!progress.timer) {
        progress.timer = new QTimer(this);
        progress.timer->setInterval(100);
        connect(progress.timer, &QTimer::timeout, this, [this] {
            QString url;
            {
                QMutexLocker locker(&m_mutex);
                if (m_jobs.isEmpty() || !m_jobs.first()->sent())
                    return;
                url = m_jobs.first()->url();
            }
            deliverProgress(url, false);
        });
    }
    QMutexLocker locker(&m_mutex);
    if (!progress.handlers.isEmpty() && !m_jobs.isEmpty() && m_jobs.first()->sent())
        progress.timer->start();
    else if (progress.handlers.isEmpty())
        progress.timer->stop();
}

void FtpService::cancel()
{
    // The predicate runs under m_mutex, with the queue not empty.
    cancelJobs([this](const FtpJob &job) { return &job == m_jobs.first(); });
}

void FtpService::cancelAll()
{
    cancelJobs([](const FtpJob &) { return true; });
}

void FtpService::cancelRequestsFor(const QString &url)
{
    cancelJobs([&url](const FtpJob &job) { return job.url() == url; });
}

void FtpService::cancelJobs(const std::function<bool(const FtpJob &)> &which)
{
    QUuid inFlight;
    {
        QMutexLocker locker(&m_mutex);
        for (FtpJob *job : std::as_const(m_jobs)) {
            if (which(*job))
                job->setCancelled();
        }
        if (!m_jobs.isEmpty() && m_jobs.first()->sent() && m_jobs.first()->cancelled())
            inFlight = m_jobs.first()->id();
    }
    // The queued jobs end when the one in flight has ended, each from sendNextRequest().
    if (!inFlight.isNull())
        m_worker->cancel(inFlight);
    else
        QMetaObject::invokeMethod(
            this, [this] { sendNextRequest(); }, Qt::QueuedConnection);
}

void FtpService::setStallTimeout(int msecs)
{
    m_worker->setStallTimeout(msecs);
}

int FtpService::stallTimeout() const
{
    return m_worker->stallTimeout();
}

void FtpService::setRetries(int retries)
{
    m_worker->setRetries(retries);
}

int FtpService::retries() const
{
    return m_worker->retries();
}

void FtpService::finishCancelledJobs()
{
    for (;;) {
        std::unique_ptr<FtpJob> job;
        {
            QMutexLocker locker(&m_mutex);
            if (m_jobs.isEmpty() || m_jobs.first()->sent() || !m_jobs.first()->cancelled())
                return;
            job.reset(m_jobs.takeFirst());
        }
        m_worker->finishCancelled(job->url());
        job->finish(QByteArray());
    }
}

void FtpService::deliverProgress(const QString &url, bool last)
{
    FtpWorker::ProgressReports &progress = m_worker->progressReports();
    if (progress.handlers.isEmpty())
        return;
    const qint64 received = m_worker->bytesReceived();
    const qint64 total = m_worker->bytesTotal();
    if (!last && received == progress.received && total == progress.total)
        return;
    progress.received = received;
    progress.total = total;
    // A copy: a handler may add or remove handlers.
    const auto handlers = progress.handlers;
    for (const ProgressHandler &handler : handlers)
        handler(url, received, total);
}

} // namespace zendra
