// SPDX-License-Identifier: MIT
// FtpDownload: one download into a local file through FtpService, replacing the file only on
// success; for QML and C++ hosts, on the service's thread.
#include "ftpdownload.h"

#include "ftpservice.h"
#include "ftptransferwatch_p.h"
#include "ftpurl.h"

#include <QFile>
#include <QPointer>
#include <QRandomGenerator>

#include <cstdio>

namespace zendra {

namespace {

// A new file beside @p target for the download, made as any new file is (its mode from the
// umask): QTemporaryFile would make it 0600. Empty, with @p error set, when none can be made.
QString createPartFile(const QString &target, QString *error)
{
    static constexpr char letters[]
        = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString name = target + QStringLiteral(".part-");
        for (int i = 0; i < 6; ++i)
            name += QLatin1Char(letters[QRandomGenerator::global()->bounded(62)]);
        QFile part(name);
        if (part.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return name;
        if (!QFile::exists(name)) {
            *error = part.errorString();
            return QString();
        }
    }
    *error = FtpDownload::tr("No free temporary name");
    return QString();
}

} // namespace

FtpDownload::FtpDownload(QObject *parent) : QObject(parent), m_watch(new FtpTransferWatch) { }

FtpDownload::~FtpDownload() = default;

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

bool FtpDownload::resume() const
{
    return m_resume;
}

void FtpDownload::setResume(bool resume)
{
    if (resume == m_resume)
        return;
    m_resume = resume;
    Q_EMIT resumeChanged();
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
    setProgress(0, -1);
    const QString target = FtpTransferWatch::localPath(m_localFile);
    QString error;
    FtpService *service = m_url.isEmpty() || target.isEmpty()
        ? nullptr
        : FtpTransferWatch::service(tr("downloading %1").arg(m_url), &error);
    if (!service) {
        finish(Error, error.isEmpty() ? tr("A download needs a url and a localFile") : error);
        return;
    }
    // A download to continue keeps its bytes under one name; the others get a fresh one.
    QString partPath = target + QStringLiteral(".part");
    if (!m_resume) {
        partPath = createPartFile(target, &error);
        if (partPath.isEmpty()) {
            finish(Error, tr("Cannot write beside %1: %2").arg(target, error));
            return;
        }
    }

    m_status = Downloading;
    m_errorString.clear();
    Q_EMIT statusChanged();
    const QString remote = FtpUrl::fromUserInput(m_url);
    const quint64 request = m_watch->watch(
        service, remote, [this](qint64 received, qint64 total) { setProgress(received, total); });
    QPointer<FtpDownload> self(this);
    const bool keep = m_resume;
    service->downloadFile(
        remote,
        [self, request, service, partPath, target, keep](const QByteArray &) {
            const FtpResult result = service->lastResult();
            const bool current = self && self->m_watch->isCurrent(request);
            if (!current || !result.isSuccess()) {
                if (!keep)
                    QFile::remove(partPath);
                if (current && result.isCancelled())
                    self->finish(Cancelled, QString());
                else if (current)
                    self->finish(Error, result.errorString(), result.trust());
                return;
            }
            // The rename keeps the new file's mode: a replaced file keeps its own.
            if (QFile::exists(target))
                QFile::setPermissions(partPath, QFile::permissions(target));
            if (std::rename(
                    QFile::encodeName(partPath).constData(), QFile::encodeName(target).constData())
                != 0) {
                if (!keep)
                    QFile::remove(partPath);
                self->finish(Error, tr("Cannot replace %1").arg(target), result.trust());
                return;
            }
            self->finish(Finished, QString(), result.trust());
        },
        partPath, m_resume ? FtpService::Resume : FtpService::DefaultTransfer);
}

void FtpDownload::cancel()
{
    if (m_status != Downloading)
        return;
    m_watch->cancel();
    finish(Cancelled, QString());
}

void FtpDownload::finish(Status status, const QString &errorString, FtpResult::Trust trust)
{
    m_watch->stop();
    m_errorString = errorString;
    m_trust = trust;
    m_status = status;
    Q_EMIT statusChanged();
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
