// SPDX-License-Identifier: MIT
#ifndef ZENDRA_FTPJOB_P_H
#define ZENDRA_FTPJOB_P_H

#include <QByteArray>
#include <QString>
#include <QUuid>

#include <functional>

namespace zendra {

// What a request of the kinds after the first two carries besides its URL.
struct FtpJobDetails
{
    QByteArray data; // an upload's bytes, when they come from memory
    QString localFile; // an upload's source file
    QString newName; // a rename's new name or path
    int options = 0; // FtpService::TransferOptions
};

// One queued request of FtpService, matched to the worker's answer by its id.
class FtpJob
{
public:
    // Downloads and listings reach the worker through the service's signals, the later kinds
    // through FtpWorker::startRequest().
    enum Type {
        Download = 0,
        Listing = 1,
        ContinuedDownload = 2,
        Upload = 3,
        MakeDirectory = 4,
        RemoveDirectory = 5,
        RemoveFile = 6,
        Rename = 7
    };

    FtpJob(const QString &url, const QString &filePath, const QString &username,
        const QString &password, const std::function<void(const QByteArray &)> &callback, int type);

    QUuid id() const { return m_id; }
    QString url() const { return m_url; }
    QString filePath() const { return m_filePath; }
    QString username() const { return m_username; }
    QString password() const { return m_password; }
    std::function<void(const QByteArray &)> callback() const { return m_callback; }
    int type() const { return m_type; }
    bool sent() const { return m_sent; }

    const FtpJobDetails &details() const { return m_details; }
    void setDetails(const FtpJobDetails &details) { m_details = details; }

    void setSent() { m_sent = true; }
    // A cancelled job that was not sent yet ends without a transfer.
    bool cancelled() const { return m_cancelled; }
    void setCancelled() { m_cancelled = true; }
    // A listing that falls back to LIST when the server refuses MLSD.
    bool lenient() const { return m_lenient; }
    void setLenient() { m_lenient = true; }
    // Runs the callback, if there is one.
    void finish(const QByteArray &data);

private:
    QUuid m_id;
    QString m_url;
    QString m_filePath;
    QString m_username;
    QString m_password;
    std::function<void(const QByteArray &)> m_callback;
    int m_type;
    bool m_sent = false;
    bool m_cancelled = false;
    bool m_lenient = false;
    FtpJobDetails m_details;
};

} // namespace zendra

#endif // ZENDRA_FTPJOB_P_H
