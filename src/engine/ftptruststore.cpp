// SPDX-License-Identifier: MIT
// The roots pinned to servers under FtpService's verified-peer policy.
#include "ftptruststore_p.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QRegularExpression>

namespace zendra {

namespace {

const char pinPrefix[] = "pinned_";
const char recoveredRootFileName[] = "root_ca.pem";

} // namespace

QString FtpTrustStore::fingerprint(const QSslCertificate &certificate)
{
    return QLatin1String("SHA256:")
        + QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

QString FtpTrustStore::normalizedFingerprint(const QString &text)
{
    QString hex = text.trimmed();
    if (hex.startsWith(QLatin1String("SHA256:"), Qt::CaseInsensitive))
        hex.remove(0, 7);
    hex.remove(QLatin1Char(':'));
    static const QRegularExpression digest(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (!digest.match(hex).hasMatch())
        return QString();
    return QLatin1String("SHA256:")
        + QString::fromLatin1(QByteArray::fromHex(hex.toLatin1()).toHex(':').toUpper());
}

QString FtpTrustStore::serverKey(const QUrl &url)
{
    if (url.host().isEmpty())
        return QString();
    const int port = url.port(url.scheme() == QLatin1String("ftps") ? 990 : 21);
    const QString host = url.host().contains(QLatin1Char(':'))
        ? QStringLiteral("[%1]").arg(url.host())
        : url.host();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

bool FtpTrustStore::isStoreFile(const QString &fileName)
{
    return fileName == QLatin1String(recoveredRootFileName)
        || fileName.startsWith(QLatin1String(pinPrefix));
}

void FtpTrustStore::setDirectory(const QString &directory)
{
    QMutexLocker locker(&m_mutex);
    m_directory = directory;
}

FtpTrustStore::Pin FtpTrustStore::pin(const QString &server)
{
    QMutexLocker locker(&m_mutex);
    if (server.isEmpty())
        return Pin();
    const auto known = m_pins.constFind(server);
    if (known != m_pins.constEnd())
        return *known;
    Pin pin;
    const QString path = pinPath(server);
    const QList<QSslCertificate> roots = QSslCertificate::fromPath(path, QSsl::Pem);
    if (!roots.isEmpty()) {
        pin = {path, roots.first(), fingerprint(roots.first())};
    }
    m_pins.insert(server, pin);
    return pin;
}

bool FtpTrustStore::setPin(const QString &server, const QSslCertificate &root)
{
    QMutexLocker locker(&m_mutex);
    const QString path = pinPath(server);
    if (server.isEmpty() || root.isNull() || !QDir().mkpath(m_directory))
        return false;
    // Written aside and renamed, so that the worker never reads half a pin.
    QFile file(path + QLatin1String(".new"));
    if (!file.open(QIODevice::WriteOnly) || file.write(root.toPem()) == -1 || !file.flush()) {
        file.remove();
        return false;
    }
    file.close();
    QFile::remove(path);
    if (!file.rename(path)) {
        file.remove();
        return false;
    }
    m_pins.insert(server, {path, root, fingerprint(root)});
    return true;
}

bool FtpTrustStore::removePin(const QString &server)
{
    accepted.remove(server);
    QMutexLocker locker(&m_mutex);
    if (server.isEmpty())
        return false;
    QFile file(pinPath(server));
    const bool pinned = file.exists();
    if (pinned) {
        file.setPermissions(file.permissions() | QFileDevice::WriteOwner);
        if (!file.remove())
            return false;
    }
    m_pins.insert(server, Pin());
    return pinned;
}

QString FtpTrustStore::pinPath(const QString &server) const
{
    const qsizetype colon = server.lastIndexOf(QLatin1Char(':'));
    return QStringLiteral("%1/%2%3_%4.pem")
        .arg(m_directory, QLatin1String(pinPrefix),
            QString::fromLatin1(QUrl::toPercentEncoding(server.left(colon))),
            server.mid(colon + 1));
}

} // namespace zendra
