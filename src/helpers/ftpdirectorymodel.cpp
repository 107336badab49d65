// SPDX-License-Identifier: MIT
// FtpDirectoryModel: one remote directory as a list model, listed through FtpService.
#include "ftpdirectorymodel.h"

#include "ftpdirectorymodel_p.h"
#include "ftpservice.h"
#include "ftptransferwatch_p.h"
#include "ftpurl.h"

#include <QMetaObject>
#include <QPointer>
#include <QUrl>

#include <algorithm>

namespace zendra {

static_assert(int(FtpDirectoryModel::All) == int(FtpFileInfo::All)
        && int(FtpDirectoryModel::NoType) == int(FtpFileInfo::NoType),
    "the model's filter mirrors FtpFileInfo::FileType");

quint64 FtpDirectoryModelPrivate::latestRequest(const FtpDirectoryModel *model)
{
    return model->m_request;
}

void FtpDirectoryModelPrivate::answer(FtpDirectoryModel *model, quint64 request,
    const QList<FtpFileInfo> &entries, const FtpResult &result)
{
    if (request != model->m_request)
        return;
    if (!result.isSuccess()) {
        const QString reason = result.errorString().isEmpty()
            ? FtpDirectoryModel::tr("Listing failed with libcurl code %1").arg(result.code())
            : result.errorString();
        model->finish({}, FtpDirectoryModel::Error, reason, result);
        return;
    }
    const auto isDot = [](const FtpFileInfo &entry) {
        return entry.type() == FtpFileInfo::CurrentDir || entry.type() == FtpFileInfo::ParentDir;
    };
    // Only All can bring "cdir" and "pdir" along unasked; scanning first spares the copy that
    // removing would cost a listing without them.
    if (model->m_fileType == FtpDirectoryModel::All
        && std::any_of(entries.cbegin(), entries.cend(), isDot)) {
        QList<FtpFileInfo> kept = entries;
        kept.removeIf(isDot);
        model->finish(kept, FtpDirectoryModel::Ready, QString(), result);
        return;
    }
    model->finish(entries, FtpDirectoryModel::Ready, QString(), result);
}

FtpDirectoryModel::FtpDirectoryModel(QObject *parent) : QAbstractListModel(parent) { }

FtpDirectoryModel::~FtpDirectoryModel() = default;

QString FtpDirectoryModel::url() const
{
    return m_url;
}

void FtpDirectoryModel::setUrl(const QString &url)
{
    if (url == m_url)
        return;
    m_url = url;
    ++m_request;
    Q_EMIT urlChanged();
    scheduleReload();
}

FtpDirectoryModel::FileType FtpDirectoryModel::fileType() const
{
    return m_fileType;
}

void FtpDirectoryModel::setFileType(FileType fileType)
{
    if (fileType == m_fileType)
        return;
    m_fileType = fileType;
    ++m_request;
    Q_EMIT fileTypeChanged();
    scheduleReload();
}

bool FtpDirectoryModel::isLenient() const
{
    return m_lenient;
}

void FtpDirectoryModel::setLenient(bool lenient)
{
    if (lenient == m_lenient)
        return;
    m_lenient = lenient;
    ++m_request;
    Q_EMIT lenientChanged();
    scheduleReload();
}

FtpDirectoryModel::Status FtpDirectoryModel::status() const
{
    return m_status;
}

QString FtpDirectoryModel::errorString() const
{
    return m_errorString;
}

int FtpDirectoryModel::count() const
{
    return int(m_entries.size());
}

FtpFileInfo FtpDirectoryModel::entry(int row) const
{
    return m_entries.at(row);
}

int FtpDirectoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant FtpDirectoryModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const FtpFileInfo &entry = m_entries.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case NameRole:
        return entry.name();
    case TypeRole:
        return int(entry.type());
    case SizeRole:
        return entry.size64();
    case ModifiedRole:
        return entry.modificationDateUtc();
    case PermissionsRole:
        return entry.permissions();
    case IsDirRole:
        return entry.type() == FtpFileInfo::Dir || entry.type() == FtpFileInfo::CurrentDir
            || entry.type() == FtpFileInfo::ParentDir;
    case UrlRole:
        return FtpUrl::entryUrl(m_url, entry);
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> FtpDirectoryModel::roleNames() const
{
    return {{NameRole, "name"}, {TypeRole, "type"}, {SizeRole, "size"}, {ModifiedRole, "modified"},
        {PermissionsRole, "permissions"}, {IsDirRole, "isDir"}, {UrlRole, "url"}};
}

void FtpDirectoryModel::reload()
{
    m_reloadScheduled = false;
    const quint64 request = ++m_request;
    if (m_url.isEmpty()) {
        finish({}, Null, QString());
        return;
    }
    if (!Service<FtpService>::hasInstance()) {
        finish({}, Error, tr("No FtpService exists: create one before listing %1").arg(m_url));
        return;
    }
    FtpService *service = &Service<FtpService>::instance();
    if (service != m_service) {
        disconnect(m_serviceDestroyed);
        m_service = service;
        // A service destroyed with the listing queued never answers it.
        m_serviceDestroyed = connect(service, &QObject::destroyed, this, [this] {
            m_service = nullptr;
            if (m_status == Loading)
                finish({}, Error, tr("The FtpService was destroyed before the listing ended"));
        });
    }
    if (m_status != Loading) {
        m_status = Loading;
        Q_EMIT statusChanged();
    }
    if (!m_errorString.isEmpty()) {
        m_errorString.clear();
        Q_EMIT errorStringChanged();
    }
    QPointer<FtpDirectoryModel> model(this);
    const auto answer = [model, request, service](const QList<FtpFileInfo> &entries) {
        if (model)
            FtpDirectoryModelPrivate::answer(model, request, entries, service->lastResult());
    };
    if (m_lenient)
        service->listDirectoryLeniently(
            FtpUrl::fromUserInput(m_url), answer, FtpFileInfo::FileType(m_fileType));
    else
        service->listDirectory(
            FtpUrl::fromUserInput(m_url), answer, FtpFileInfo::FileType(m_fileType));
}

void FtpDirectoryModel::makeDirectory(const QString &name)
{
    const QString url = entryUrl(name);
    operate(tr("making %1").arg(url),
        [url](FtpService &service, const FtpService::ResultCallback &done) {
            service.makeDirectory(url, done);
        });
}

void FtpDirectoryModel::removeEntry(int row)
{
    if (row < 0 || row >= count()) {
        Q_EMIT operationFinished(false, tr("There is no row %1").arg(row));
        return;
    }
    const QString url = entryUrl(m_entries.at(row).name());
    const bool folder = m_entries.at(row).type() == FtpFileInfo::Dir;
    operate(tr("removing %1").arg(url),
        [url, folder](FtpService &service, const FtpService::ResultCallback &done) {
            if (folder)
                service.removeDirectory(url, done);
            else
                service.removeFile(url, done);
        });
}

void FtpDirectoryModel::renameEntry(int row, const QString &newName)
{
    if (row < 0 || row >= count()) {
        Q_EMIT operationFinished(false, tr("There is no row %1").arg(row));
        return;
    }
    const QString url = entryUrl(m_entries.at(row).name());
    operate(tr("renaming %1").arg(url),
        [url, newName](FtpService &service, const FtpService::ResultCallback &done) {
            service.rename(url, newName, done);
        });
}

QString FtpDirectoryModel::entryUrl(const QString &name) const
{
    const QString folder = FtpUrl::fromUserInput(m_url.endsWith(u'/') ? m_url : m_url + u'/');
    return folder + QString::fromLatin1(QUrl::toPercentEncoding(name));
}

void FtpDirectoryModel::operate(const QString &action,
    const std::function<void(
        FtpService &service, const std::function<void(const FtpResult &)> &done)> &start)
{
    QString error;
    FtpService *service = FtpTransferWatch::service(action, &error);
    if (!service) {
        Q_EMIT operationFinished(false, error);
        return;
    }
    QPointer<FtpDirectoryModel> model(this);
    start(*service, [model](const FtpResult &result) {
        if (!model)
            return;
        Q_EMIT model->operationFinished(
            result.isSuccess(), result.isSuccess() ? QString() : result.errorString());
        if (result.isSuccess())
            model->reload();
    });
}

void FtpDirectoryModel::scheduleReload()
{
    if (m_reloadScheduled)
        return;
    m_reloadScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_reloadScheduled)
                reload();
        },
        Qt::QueuedConnection);
}

bool FtpDirectoryModel::isEncrypted() const
{
    return m_encrypted;
}

bool FtpDirectoryModel::isPeerVerified() const
{
    return m_peerVerified;
}

FtpResult::Trust FtpDirectoryModel::trust() const
{
    return m_trust;
}

void FtpDirectoryModel::finish(const QList<FtpFileInfo> &entries, Status status,
    const QString &errorString, const FtpResult &result)
{
    const int oldCount = count();
    // One reset for the whole listing: a view rebuilds its visible rows once instead of
    // handling an insertion per entry.
    beginResetModel();
    m_entries = entries;
    endResetModel();
    if (count() != oldCount)
        Q_EMIT countChanged();
    if (m_errorString != errorString) {
        m_errorString = errorString;
        Q_EMIT errorStringChanged();
    }
    const bool peerVerified = result.isPeerVerified() && result.isHostVerified();
    if (m_encrypted != result.isEncrypted() || m_peerVerified != peerVerified
        || m_trust != result.trust()) {
        m_encrypted = result.isEncrypted();
        m_peerVerified = peerVerified;
        m_trust = result.trust();
        Q_EMIT protectionChanged();
    }
    if (m_status != status) {
        m_status = status;
        Q_EMIT statusChanged();
    }
}

} // namespace zendra
