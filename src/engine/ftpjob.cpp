// SPDX-License-Identifier: MIT
// One queued request of FtpService; internal.
#include "ftpjob_p.h"

namespace zendra {

FtpJob::FtpJob(const QString &url, const QString &filePath, const QString &username,
               const QString &password, const std::function<void(const QByteArray &)> &callback,
               int type)
    : m_id(QUuid::createUuid())
    , m_url(url)
    , m_filePath(filePath)
    , m_username(username)
    , m_password(password)
    , m_callback(callback)
    , m_type(type)
{
}

void FtpJob::finish(const QByteArray &data)
{
    if (m_callback)
        m_callback(data);
}

} // namespace zendra
