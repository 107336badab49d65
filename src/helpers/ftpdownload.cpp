// SPDX-License-Identifier: MIT
// FtpDownload: one download into a local file through FtpService, replacing the file only on
// success; for QML and C++ hosts, on the service's thread.
#include "ftpdownload.h"

#include "ftpservice.h"
#include "ftpurl.h"

#include <QFile>
#include <QRandomGenerator>
#include <QUrl>

#include <cstdio>

namespace zendra {

namespace {

// A new file beside @p target for the download, made as any new file is (its mode from the
// umask), or with the mode of @p target when that exists: the rename keeps the file's mode, and
// QTemporaryFile would make it 0600. Empty, with @p error set, when none can be made.
QString createPartFile(const QString &target, QString *error)
{
    static constexpr char letters[]
        = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString name = target + QStringLiteral(".part-");
        for (int i = 0; i < 6; ++i)
            name += QLatin1Char(letters[QRandomGenerator::global()->bounded(62)]);
        QFile part(name);
        if (part.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (QFile::exists(target))
                part.setPermissions(QFile::permissions(target));
            return name;
        }
        if (!QFile::exists(name)) {
            *error = part.errorString();
            return QString();
        }
    }
    *error = FtpDownload::tr("No free temporary name");
    return QString();
}

} // namespace

FtpDownload::FtpDownload(QObject *parent) : QObject(parent) { }

FtpDownload::~FtpDownload()
{
    stopWatching();
}

QString FtpDownload::url() const
{
    return m_url;
}

void FtpDownload::setUrl(const QString &url)
{
    if (url == m_url)
        return;
    m_url = url;
    Q_EMIT urlChanged();
}

QString FtpDownload::localFile() const
{
    return m_localFile;
}

void FtpDownload::setLocalFile(const QString &localFile)
{
    if (localFile == m_localFile)
        return;
    m_localFile = localFile;
    Q_EMIT localFileChanged();
}

FtpDownload::Status FtpDownload::status() const
{
    return m_status;
}

qint64 FtpDownload::bytesReceived() const
{
    return m_bytesReceived;
}

qint64 FtpDownload::bytesTotal() const
{
    return m_bytesTotal;
}

qreal FtpDownload::progress() const
{
    return m_bytesTotal > 0 ? qreal(m_bytesReceived) / qreal(m_bytesTotal) : 0;
}

QString FtpDownload::errorString() const
{
    return m_errorString;
}

FtpResult::Trust FtpDownload::trust() const
{
    return m_trust;
}

void FtpDownload::start()
{
    if (m_status == Downloading)
        return;
    const quint64 request = ++m_request;
    setProgress(0, -1);
    const QUrl fileUrl(m_localFile);
    const QString target = fileUrl.isLocalFile() ? fileUrl.toLocalFile() : m_localFile;
    if (m_url.isEmpty() || target.isEmpty()) {
        finish(Error, tr("A download needs a url and a localFile"));
        return;
    }
    if (!Service<FtpService>::hasInstance()) {
        finish(Error, tr("No FtpService exists: create one before downloading %1").arg(m_url));
        return;
    }
    QString error;
    const QString partPath = createPartFile(target, &error);
    if (partPath.isEmpty()) {
        finish(Error, tr("Cannot write beside %1: %2").arg(target, error));
        return;
    }

    FtpService *service = &Service<FtpService>::instance();
    stopWatching();
    m_service = service;
    m_remote = FtpUrl::fromUserInput(m_url);
    m_status = Downloading;
    m_errorString.clear();
    Q_EMIT statusChanged();
    QPointer<FtpDownload> self(this);
    const QString remote = m_remote;
    m_progressHandler = service->addProgressHandler(
        [self, request, remote](const QString &url, qint64 received, qint64 total) {
            if (self && self->m_request == request && url == remote)
                self->setProgress(received, total);
        });
    service->downloadFile(
        remote,
        [self, request, service, partPath, target](const QByteArray &) {
            const FtpResult result = service->lastResult();
            const bool current = self && self->m_request == request;
            if (!current || !result.isSuccess()) {
                QFile::remove(partPath);
                if (current && result.isCancelled())
                    self->finish(Cancelled, QString());
                else if (current)
                    self->finish(Error, result.errorString(), result.trust());
                return;
            }
            if (std::rename(
                    QFile::encodeName(partPath).constData(), QFile::encodeName(target).constData())
                != 0) {
                QFile::remove(partPath);
                self->finish(Error, tr("Cannot replace %1").arg(target), result.trust());
                return;
            }
            self->finish(Finished, QString(), result.trust());
        },
        partPath);
}

void FtpDownload::cancel()
{
    if (m_status != Downloading)
        return;
    ++m_request;
    if (m_service)
        m_service->cancelRequestsFor(m_remote);
    finish(Cancelled, QString());
}

void FtpDownload::finish(Status status, const QString &errorString, FtpResult::Trust trust)
{
    stopWatching();
    m_errorString = errorString;
    m_trust = trust;
    m_status = status;
    Q_EMIT statusChanged();
}

void FtpDownload::stopWatching()
{
    if (m_service && m_progressHandler)
        m_service->removeProgressHandler(m_progressHandler);
    m_progressHandler = 0;
}

void FtpDownload::setProgress(qint64 received, qint64 total)
{
    if (received == m_bytesReceived && total == m_bytesTotal)
        return;
    m_bytesReceived = received;
    m_bytesTotal = total;
    Q_EMIT progressChanged();
}

} // namespace zendra
