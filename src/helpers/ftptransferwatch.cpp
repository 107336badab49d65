// SPDX-License-Identifier: MIT
// FtpTransferWatch: the request of an FtpDownload or FtpUpload element and its progress.
#include "ftptransferwatch_p.h"

#include "ftpservice.h"

#include <QCoreApplication>
#include <QUrl>

namespace zendra {

quint64 FtpTransferWatch::watch(FtpService *service, const QString &url,
    const std::function<void(qint64 bytes, qint64 total)> &onProgress)
{
    stop();
    const quint64 request = ++m_request;
    m_service = service;
    m_url = url;
    // The element may go before the service: the handler goes with it (stop()), and an answer
    // that arrives later finds another request number or none watched.
    m_handler = service->addProgressHandler(
        [this, request, onProgress](const QString &reported, qint64 bytes, qint64 total) {
            if (isCurrent(request) && reported == m_url)
                onProgress(bytes, total);
        });
    return request;
}

void FtpTransferWatch::stop()
{
    if (m_service && m_handler)
        m_service->removeProgressHandler(m_handler);
    m_handler = 0;
}

void FtpTransferWatch::cancel()
{
    if (m_service && m_handler)
        m_service->cancelRequestsFor(m_url);
    stop();
}

FtpService *FtpTransferWatch::service(const QString &action, QString *error)
{
    if (Service<FtpService>::hasInstance())
        return &Service<FtpService>::instance();
    *error = QCoreApplication::translate("zendra", "No FtpService exists: create one before %1")
                 .arg(action);
    return nullptr;
}

QString FtpTransferWatch::localPath(const QString &pathOrUrl)
{
    const QUrl url(pathOrUrl);
    return url.isLocalFile() ? url.toLocalFile() : pathOrUrl;
}

} // namespace zendra
