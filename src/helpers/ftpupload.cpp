// SPDX-License-Identifier: MIT
// FtpUpload: one upload of a local file through FtpService, which replaces the remote file only
// on success; for QML and C++ hosts, on the service's thread.
#include "ftpupload.h"

#include "ftpservice.h"
#include "ftptransferwatch_p.h"
#include "ftpurl.h"

#include <QPointer>

namespace zendra {

FtpUpload::FtpUpload(QObject *parent) : QObject(parent), m_watch(new FtpTransferWatch) { }

FtpUpload::~FtpUpload() = default;

QString FtpUpload::url() const
{
    return m_url;
}

void FtpUpload::setUrl(const QString &url)
{
    if (url == m_url)
        return;
    m_url = url;
    Q_EMIT urlChanged();
}

QString FtpUpload::localFile() const
{
    return m_localFile;
}

void FtpUpload::setLocalFile(const QString &localFile)
{
    if (localFile == m_localFile)
        return;
    m_localFile = localFile;
    Q_EMIT localFileChanged();
}

bool FtpUpload::createDirectories() const
{
    return m_createDirectories;
}

void FtpUpload::setCreateDirectories(bool create)
{
    if (create == m_createDirectories)
        return;
    m_createDirectories = create;
    Q_EMIT createDirectoriesChanged();
}

FtpUpload::Status FtpUpload::status() const
{
    return m_status;
}

qint64 FtpUpload::bytesSent() const
{
    return m_bytesSent;
}

qint64 FtpUpload::bytesTotal() const
{
    return m_bytesTotal;
}

qreal FtpUpload::progress() const
{
    return m_bytesTotal > 0 ? qreal(m_bytesSent) / qreal(m_bytesTotal) : 0;
}

QString FtpUpload::errorString() const
{
    return m_errorString;
}

void FtpUpload::start()
{
    if (m_status == Uploading)
        return;
    setProgress(0, -1);
    const QString source = FtpTransferWatch::localPath(m_localFile);
    QString error;
    FtpService *service = m_url.isEmpty() || source.isEmpty()
        ? nullptr
        : FtpTransferWatch::service(tr("uploading to %1").arg(m_url), &error);
    if (!service) {
        finish(Error, error.isEmpty() ? tr("An upload needs a url and a localFile") : error);
        return;
    }
    m_status = Uploading;
    m_errorString.clear();
    Q_EMIT statusChanged();
    const QString remote = FtpUrl::fromUserInput(m_url);
    const quint64 request = m_watch->watch(
        service, remote, [this](qint64 sent, qint64 total) { setProgress(sent, total); });
    QPointer<FtpUpload> self(this);
    service->uploadFile(
        source, remote,
        [self, request](const FtpResult &result) {
            if (!self || !self->m_watch->isCurrent(request))
                return;
            if (result.isSuccess())
                self->finish(Finished, QString());
            else
                self->finish(result.isCancelled() ? Cancelled : Error,
                    result.isCancelled() ? QString() : result.errorString());
        },
        m_createDirectories ? FtpService::CreateDirectories : FtpService::DefaultTransfer);
}

void FtpUpload::cancel()
{
    if (m_status != Uploading)
        return;
    m_watch->cancel();
    finish(Cancelled, QString());
}

void FtpUpload::finish(Status status, const QString &errorString)
{
    m_watch->stop();
    m_errorString = errorString;
    m_status = status;
    Q_EMIT statusChanged();
}

void FtpUpload::setProgress(qint64 sent, qint64 total)
{
    if (sent == m_bytesSent && total == m_bytesTotal)
        return;
    m_bytesSent = sent;
    m_bytesTotal = total;
    Q_EMIT progressChanged();
}

} // namespace zendra
