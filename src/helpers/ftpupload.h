// SPDX-License-Identifier: MIT
#ifndef ZENDRA_FTPUPLOAD_H
#define ZENDRA_FTPUPLOAD_H

#include "zendra_export.h"

#include <QObject>
#include <QString>
#include <QtQmlIntegration/qqmlintegration.h>

#include <memory>

namespace zendra {

class FtpTransferWatch;

/// One upload of a local file to a remote file, through the process's FtpService, with its
/// status and progress as properties for QML (the element FtpUpload) and C++.
///
/// The bytes go to a temporary name in the remote folder, which replaces the remote file only
/// when every byte arrived: a failed or cancelled upload leaves the remote file as it was and
/// removes the temporary one (FtpService::uploadFile()).
class ZENDRA_EXPORT FtpUpload : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    /// The remote file to write, for example "ftps://host/dir/file.bin", encoded or as typed
    /// (see FtpUrl::fromUserInput()).
    Q_PROPERTY(QString url READ url WRITE setUrl NOTIFY urlChanged)
    /// The local file to send: a path or a "file:" URL.
    Q_PROPERTY(QString localFile READ localFile WRITE setLocalFile NOTIFY localFileChanged)
    /// Whether missing remote folders of url are made (default false).
    Q_PROPERTY(bool createDirectories READ createDirectories WRITE setCreateDirectories NOTIFY
            createDirectoriesChanged)
    /// Where the upload stands.
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)
    /// Bytes sent so far by the current or last upload.
    Q_PROPERTY(qint64 bytesSent READ bytesSent NOTIFY progressChanged)
    /// The size of the local file; -1 before the upload starts.
    Q_PROPERTY(qint64 bytesTotal READ bytesTotal NOTIFY progressChanged)
    /// bytesSent / bytesTotal, from 0 to 1; 0 while the size is unknown.
    Q_PROPERTY(qreal progress READ progress NOTIFY progressChanged)
    /// Why the last upload failed; empty unless status is Error.
    Q_PROPERTY(QString errorString READ errorString NOTIFY statusChanged)

public:
    /// Where the upload stands.
    enum Status {
        Null, ///< Not started.
        Uploading, ///< Queued or in progress.
        Finished, ///< The remote file holds the local file.
        Cancelled, ///< cancel() stopped it; the remote file is as it was.
        Error ///< It failed; errorString says why, and the remote file is as it was.
    };
    Q_ENUM(Status)

    /// Builds an element with status Null.
    explicit FtpUpload(QObject *parent = nullptr);
    /// Destroys the element; an upload still running goes on without it.
    ~FtpUpload() override;

    /// The remote file.
    QString url() const;
    /// Sets the remote file for the next start().
    void setUrl(const QString &url);
    /// The local file.
    QString localFile() const;
    /// Sets the local file for the next start().
    void setLocalFile(const QString &localFile);
    /// Whether missing remote folders are made.
    bool createDirectories() const;
    /// Sets whether the next start() makes missing remote folders.
    void setCreateDirectories(bool create);
    /// Where the upload stands.
    Status status() const;
    /// Bytes sent so far.
    qint64 bytesSent() const;
    /// The local file's size, or -1.
    qint64 bytesTotal() const;
    /// The fraction sent, 0 while the size is unknown.
    qreal progress() const;
    /// Why the last upload failed.
    QString errorString() const;

    /// Queues the upload of localFile to url; does nothing while one is running.
    Q_INVOKABLE void start();
    /// Stops the running upload: status becomes Cancelled at once, and the remote file stays as
    /// it was.
    Q_INVOKABLE void cancel();

Q_SIGNALS:
    /// The url property changed.
    void urlChanged();
    /// The localFile property changed.
    void localFileChanged();
    /// The createDirectories property changed.
    void createDirectoriesChanged();
    /// The status (and with it errorString) changed.
    void statusChanged();
    /// bytesSent, bytesTotal or progress changed.
    void progressChanged();

private:
    void finish(Status status, const QString &errorString);
    void setProgress(qint64 sent, qint64 total);

    QString m_url;
    QString m_localFile;
    bool m_createDirectories = false;
    Status m_status = Null;
    qint64 m_bytesSent = 0;
    qint64 m_bytesTotal = -1;
    QString m_errorString;
    std::unique_ptr<FtpTransferWatch> m_watch;
};

} // namespace zendra

#endif // ZENDRA_FTPUPLOAD_H
