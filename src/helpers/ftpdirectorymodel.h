// SPDX-License-Identifier: MIT
#ifndef ZENDRA_FTPDIRECTORYMODEL_H
#define ZENDRA_FTPDIRECTORYMODEL_H

#include "ftpfileinfo.h"
#include "ftpresult.h"
#include "zendra_export.h"

#include <QAbstractListModel>
#include <QList>
#include <QString>
#include <QtQmlIntegration/qqmlintegration.h>

#include <functional>

namespace zendra {

class FtpDirectoryModelPrivate;
class FtpService;

/// A list model of one remote directory, for Qt Quick views and item views. It lists url through
/// the process's FtpService (Service<FtpService>::instance()), so create that service first and
/// use the model on the thread that created it. Also the QML element FtpDirectoryModel.
///
/// Rows are the valid entries of the listing in the server's order, from every server unless
/// lenient is turned off (see FtpService::listDirectoryLeniently()); the "cdir" and "pdir"
/// entries are left out unless fileType asks for exactly them. A listing replaces all rows in one
/// model reset.
class ZENDRA_EXPORT FtpDirectoryModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    /// The directory listed, for example "ftps://host/dir/", encoded or as typed (see
    /// FtpUrl::fromUserInput()); a change reloads the listing.
    Q_PROPERTY(QString url READ url WRITE setUrl NOTIFY urlChanged)
    /// The entry types listed (default All); a change reloads the listing.
    Q_PROPERTY(FileType fileType READ fileType WRITE setFileType NOTIFY fileTypeChanged)
    /// Whether servers without MLSD are listed too, with LIST (default true); a change reloads.
    Q_PROPERTY(bool lenient READ isLenient WRITE setLenient NOTIFY lenientChanged)
    /// Where the listing stands.
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)
    /// Why the last listing failed; empty unless status is Error.
    Q_PROPERTY(QString errorString READ errorString NOTIFY errorStringChanged)
    /// The number of rows.
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    /// Whether TLS protected the last listing; see FtpResult::isEncrypted().
    Q_PROPERTY(bool encrypted READ isEncrypted NOTIFY protectionChanged)
    /// Whether the server of the last listing was verified, its chain and its host name.
    Q_PROPERTY(bool peerVerified READ isPeerVerified NOTIFY protectionChanged)
    /// Who vouched for the server of the last listing; see FtpResult::trust().
    Q_PROPERTY(zendra::FtpResult::Trust trust READ trust NOTIFY protectionChanged)

public:
    /// Where the listing stands.
    enum Status {
        Null, ///< No url, nothing listed.
        Loading, ///< A listing is queued or in progress; the rows are still the previous ones.
        Ready, ///< The rows are the listing of url.
        Error ///< The listing failed; errorString says why and there are no rows.
    };
    Q_ENUM(Status)

    /// The listing filter, with the values of FtpFileInfo::FileType.
    enum FileType {
        NoType = FtpFileInfo::NoType, ///< Matches no entry.
        File = FtpFileInfo::File, ///< Files only.
        Dir = FtpFileInfo::Dir, ///< Directories only.
        ParentDir = FtpFileInfo::ParentDir, ///< Only the "pdir" entry.
        CurrentDir = FtpFileInfo::CurrentDir, ///< Only the "cdir" entry.
        All = FtpFileInfo::All ///< Files, directories and other entries, without "cdir" and "pdir".
    };
    Q_ENUM(FileType)

    /// The data roles; QML delegates see them by the names in roleNames().
    enum Roles {
        NameRole = Qt::UserRole + 1, ///< "name": QString, FtpFileInfo::name().
        TypeRole, ///< "type": int, the FileType of the entry.
        SizeRole, ///< "size": qint64, FtpFileInfo::size64(), so also 2 GiB and more.
        ModifiedRole, ///< "modified": QDateTime in UTC, FtpFileInfo::modificationDateUtc().
        PermissionsRole, ///< "permissions": QString, FtpFileInfo::permissions().
        IsDirRole, ///< "isDir": bool, true for directories, "cdir" and "pdir".
        UrlRole ///< "url": QString, the entry's URL, encoded; see FtpUrl::entryUrl().
    };
    Q_ENUM(Roles)

    /// Builds an empty model with status Null.
    explicit FtpDirectoryModel(QObject *parent = nullptr);
    /// Destroys the model; a listing still in flight is ignored when it ends.
    ~FtpDirectoryModel() override;

    /// The directory listed.
    QString url() const;
    /// Sets the directory to list. The listing starts when control returns to the event loop, so
    /// settings made together cost one listing; answers to earlier urls are ignored from now on.
    void setUrl(const QString &url);
    /// The listing filter.
    FileType fileType() const;
    /// Sets the listing filter and, like setUrl(), reloads.
    void setFileType(FileType fileType);
    /// Whether the model lists leniently: FtpService::listDirectoryLeniently() rather than
    /// FtpService::listDirectory(), which lists with MLSD only.
    bool isLenient() const;
    /// Sets how the model lists and, like setUrl(), reloads.
    void setLenient(bool lenient);
    /// Where the listing stands.
    Status status() const;
    /// Why the last listing failed: FtpResult::errorString() (the server's refusal in its words,
    /// or libcurl's description), or why no listing could be queued. Empty unless status() is
    /// Error.
    QString errorString() const;
    /// The number of rows.
    int count() const;
    /// The entry shown in @p row (0 <= row < count()).
    FtpFileInfo entry(int row) const;

    /// The number of rows under the invisible root, 0 under any other parent.
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    /// The value of @p role for the entry at @p index; Qt::DisplayRole gives the name.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    /// The role names of Roles, for QML delegates.
    QHash<int, QByteArray> roleNames() const override;

    /// Whether TLS protected the control and the data connection of the last listing; false
    /// before a listing ended and when it ran on plain FTP or with TLS only tried.
    bool isEncrypted() const;
    /// Whether the last listing verified its server's certificate chain and host name.
    bool isPeerVerified() const;
    /// Who vouched for the root that verified the last listing's server: FtpResult::NoTrust
    /// before a listing ended and when it was not verified.
    FtpResult::Trust trust() const;

    /// Lists url now, through the process's FtpService. Without a url the model empties and goes
    /// to Null; without a service it empties and goes to Error.
    Q_INVOKABLE void reload();

    /// Makes the folder @p name in url through FtpService::makeDirectory(), then lists url
    /// again; operationFinished() tells how it went.
    Q_INVOKABLE void makeDirectory(const QString &name);
    /// Deletes the entry in @p row, a file or an empty folder, as makeDirectory() does.
    Q_INVOKABLE void removeEntry(int row);
    /// Renames the entry in @p row to @p newName (a path moves it), as makeDirectory() does.
    Q_INVOKABLE void renameEntry(int row, const QString &newName);

Q_SIGNALS:
    /// The url property changed.
    void urlChanged();
    /// The fileType property changed.
    void fileTypeChanged();
    /// The lenient property changed.
    void lenientChanged();
    /// The status property changed.
    void statusChanged();
    /// The errorString property changed.
    void errorStringChanged();
    /// The count property changed.
    void countChanged();
    /// The encrypted, the peerVerified or the trust property changed.
    void protectionChanged();
    /// A makeDirectory(), removeEntry() or renameEntry() ended; unless it succeeded,
    /// @p errorString says why (libcurl's text and the server's reply).
    void operationFinished(bool success, const QString &errorString);

private:
    friend class FtpDirectoryModelPrivate;

    void scheduleReload();
    // The URL of @p name in url.
    QString entryUrl(const QString &name) const;
    // Queues an operation with @p start, which reports to operationFinished() and reloads.
    void operate(const QString &action,
        const std::function<void(
            FtpService &service, const std::function<void(const FtpResult &)> &done)> &start);
    void finish(const QList<FtpFileInfo> &entries, Status status, const QString &errorString,
        const FtpResult &result = FtpResult());

    QString m_url;
    FileType m_fileType = All;
    Status m_status = Null;
    QString m_errorString;
    QList<FtpFileInfo> m_entries;
    // Identifies the latest request; answers carrying another value are stale.
    quint64 m_request = 0;
    bool m_reloadScheduled = false;
    // The service listed through, watched so that its end fails a listing it would never answer.
    FtpService *m_service = nullptr;
    QMetaObject::Connection m_serviceDestroyed;
    bool m_encrypted = false;
    bool m_peerVerified = false;
    bool m_lenient = true;
    FtpResult::Trust m_trust = FtpResult::NoTrust;
};

} // namespace zendra

#endif // ZENDRA_FTPDIRECTORYMODEL_H
