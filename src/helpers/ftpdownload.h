// SPDX-License-Identifier: MIT
#ifndef ZENDRA_FTPDOWNLOAD_H
#define ZENDRA_FTPDOWNLOAD_H

#include "ftpresult.h"
#include "zendra_export.h"

#include <QObject>
#include <QString>
#include <QtQmlIntegration/qqmlintegration.h>

#include <memory>

namespace zendra {

class FtpTransferWatch;

/// One download of a remote file into a local file, through the process's FtpService, with its
/// status and progress as properties for QML (the element FtpDownload) and C++.
///
/// The bytes go to a temporary file beside localFile, which replaces localFile only when the
/// download succeeded: a failed or cancelled download leaves an existing file as it was. With
/// resume, that file is localFile.part, kept after a failure or a cancel and continued by the
/// next start(). A new localFile gets the mode that the umask gives new files; a replaced one
/// keeps its mode.
class ZENDRA_EXPORT FtpDownload : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    /// The remote file, for example "ftps://host/dir/file.bin", encoded or as typed (see
    /// FtpUrl::fromUserInput()).
    Q_PROPERTY(QString url READ url WRITE setUrl NOTIFY urlChanged)
    /// The local file to write: a path or a "file:" URL.
    Q_PROPERTY(QString localFile READ localFile WRITE setLocalFile NOTIFY localFileChanged)
    /// Whether an interrupted download is kept in localFile.part and continued (default false).
    Q_PROPERTY(bool resume READ resume WRITE setResume NOTIFY resumeChanged)
    /// Where the download stands.
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)
    /// Bytes received so far by the current or last download.
    Q_PROPERTY(qint64 bytesReceived READ bytesReceived NOTIFY progressChanged)
    /// The size the server announced; -1 when it did not (yet).
    Q_PROPERTY(qint64 bytesTotal READ bytesTotal NOTIFY progressChanged)
    /// bytesReceived / bytesTotal, from 0 to 1; 0 while the size is unknown.
    Q_PROPERTY(qreal progress READ progress NOTIFY progressChanged)
    /// Why the last download failed; empty unless status is Error.
    Q_PROPERTY(QString errorString READ errorString NOTIFY statusChanged)
    /// Who vouched for the server of the last download; see FtpResult::trust().
    Q_PROPERTY(zendra::FtpResult::Trust trust READ trust NOTIFY statusChanged)

public:
    /// Where the download stands.
    enum Status {
        Null, ///< Not started.
        Downloading, ///< Queued or in progress.
        Finished, ///< localFile holds the remote file.
        Cancelled, ///< cancel() stopped it; localFile is as it was.
        Error ///< It failed; errorString says why, and localFile is as it was.
    };
    Q_ENUM(Status)

    /// Builds an element with status Null.
    explicit FtpDownload(QObject *parent = nullptr);
    /// Destroys the element; a download still running goes on and its temporary file is removed
    /// when it ends (kept with resume).
    ~FtpDownload() override;

    /// The remote file.
    QString url() const;
    /// Sets the remote file for the next start().
    void setUrl(const QString &url);
    /// The local file.
    QString localFile() const;
    /// Sets the local file for the next start().
    void setLocalFile(const QString &localFile);
    /// Whether an interrupted download is kept and continued.
    bool resume() const;
    /// Sets whether the next start() continues localFile.part and keeps it when interrupted.
    void setResume(bool resume);
    /// Where the download stands.
    Status status() const;
    /// Bytes received so far.
    qint64 bytesReceived() const;
    /// The announced size, or -1.
    qint64 bytesTotal() const;
    /// The fraction received, 0 while the size is unknown.
    qreal progress() const;
    /// Why the last download failed.
    QString errorString() const;
    /// Who vouched for the root that verified the last download's server: FtpResult::NoTrust
    /// while none has ended and when it was not verified.
    FtpResult::Trust trust() const;

    /// Queues the download of url into localFile; does nothing while one is running.
    Q_INVOKABLE void start();
    /// Stops the running download: status becomes Cancelled at once and localFile stays as it was.
    Q_INVOKABLE void cancel();

Q_SIGNALS:
    /// The url property changed.
    void urlChanged();
    /// The localFile property changed.
    void localFileChanged();
    /// The resume property changed.
    void resumeChanged();
    /// The status (and with it errorString) changed.
    void statusChanged();
    /// bytesReceived, bytesTotal or progress changed.
    void progressChanged();

private:
    void finish(
        Status status, const QString &errorString, FtpResult::Trust trust = FtpResult::NoTrust);
    void setProgress(qint64 received, qint64 total);

    QString m_url;
    QString m_localFile;
    bool m_resume = false;
    Status m_status = Null;
    qint64 m_bytesReceived = 0;
    qint64 m_bytesTotal = -1;
    QString m_errorString;
    FtpResult::Trust m_trust = FtpResult::NoTrust;
    // The running download, so that an answer to an older start is ignored.
    std::unique_ptr<FtpTransferWatch> m_watch;
};

} // namespace zendra

#endif // ZENDRA_FTPDOWNLOAD_H
