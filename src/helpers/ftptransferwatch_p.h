// SPDX-License-Identifier: MIT
// Internal: what FtpDownload and FtpUpload share, the one request each runs on the process's
// FtpService and watches. On the service's thread.
#ifndef ZENDRA_FTPTRANSFERWATCH_P_H
#define ZENDRA_FTPTRANSFERWATCH_P_H

#include <QPointer>
#include <QString>

#include <functional>

namespace zendra {

class FtpService;

class FtpTransferWatch
{
public:
    ~FtpTransferWatch() { stop(); }

    // Watches a new request for @p url on @p service: @p onProgress gets its progress reports.
    // Returns the request's number, which answers to it carry.
    quint64 watch(FtpService *service, const QString &url,
        const std::function<void(qint64 bytes, qint64 total)> &onProgress);
    // Whether @p request is the one watched, and not stopped since.
    bool isCurrent(quint64 request) const { return request == m_request && m_handler; }
    // Stops watching, so that answers to the request are ignored from now on.
    void stop();
    // Stops watching and cancels the request.
    void cancel();

    // The service of the process, or null with @p error saying why @p action cannot run.
    static FtpService *service(const QString &action, QString *error);
    // A local path given as a path or a "file:" URL.
    static QString localPath(const QString &pathOrUrl);

private:
    quint64 m_request = 0;
    QPointer<FtpService> m_service;
    QString m_url;
    int m_handler = 0;
};

} // namespace zendra

#endif // ZENDRA_FTPTRANSFERWATCH_P_H
