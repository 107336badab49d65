// SPDX-License-Identifier: MIT
// One certificate of a server chain, read from libcurl's certificate-information lines.
#include "certificateinfo.h"

#include <QCalendar>
#include <QMetaType>

#include <utility>

namespace zendra {

// Tried in this order: "Signature Algorithm" must win over its prefix "Signature".
QList<QString> CertificateInfo::certificateKeys = {
    QStringLiteral("Subject"),
    QStringLiteral("Issuer"),
    QStringLiteral("Version"),
    QStringLiteral("Serial Number"),
    QStringLiteral("Signature Algorithm"),
    QStringLiteral("Start Date"),
    QStringLiteral("Expire Date"),
    QStringLiteral("Public Key Algorithm"),
    QStringLiteral("RSA Public Key"),
    QStringLiteral("rsa(n)"),
    QStringLiteral("rsa(e)"),
    QStringLiteral("Signature"),
    QStringLiteral("Cert"),
};

namespace {

QDateTime certificateDate(const QVariant &value)
{
    QDateTime date = QDateTime::fromString(value.toString(),
                                           QStringLiteral("yyyy-MM-dd hh:mm:ss 'G''M''T'"),
                                           QCalendar());
    date.setTimeSpec(Qt::UTC);
    return date;
}

// Chains cross from the worker's thread to the service's in a queued signal.
void registerCertificateListType()
{
    qRegisterMetaType<QList<zendra::CertificateInfo>>();
}
Q_CONSTRUCTOR_FUNCTION(registerCertificateListType)

} // namespace

CertificateInfo::CertificateInfo(const QList<QString> &lines)
{
    for (const QString &line : lines)
        extractInfo(line);
}

CertificateInfo::CertificateInfo(const CertificateInfo &other) = default;

CertificateInfo &CertificateInfo::operator=(const CertificateInfo &other) = default;

CertificateInfo::~CertificateInfo() = default;

QString CertificateInfo::subject() const
{
    return m_info.value(QStringLiteral("Subject")).toString();
}

QString CertificateInfo::issuer() const
{
    return m_info.value(QStringLiteral("Issuer")).toString();
}

int CertificateInfo::version() const
{
    return m_info.value(QStringLiteral("Version")).toInt();
}

QString CertificateInfo::serialNumber() const
{
    return m_info.value(QStringLiteral("Serial Number")).toString();
}

QString CertificateInfo::signatureAlgorithm() const
{
    return m_info.value(QStringLiteral("Signature Algorithm")).toString();
}

QDateTime CertificateInfo::startDate() const
{
    return certificateDate(m_info.value(QStringLiteral("Start Date")));
}

QDateTime CertificateInfo::expirationDate() const
{
    return certificateDate(m_info.value(QStringLiteral("Expire Date")));
}

QString CertificateInfo::publicKeyAlogrithm() const
{
    return m_info.value(QStringLiteral("Public Key Algorithm")).toString();
}

int CertificateInfo::publicKeyLength() const
{
    return m_info.value(QStringLiteral("RSA Public Key")).toInt();
}

QString CertificateInfo::rsa_n() const
{
    return m_info.value(QStringLiteral("rsa(n)")).toString();
}

QString CertificateInfo::rsa_e() const
{
    return m_info.value(QStringLiteral("rsa(e)")).toString();
}

QString CertificateInfo::signature() const
{
    return m_info.value(QStringLiteral("Signature")).toString();
}

QString CertificateInfo::pem() const
{
    return m_info.value(QStringLiteral("Cert")).toString();
}

QSslCertificate CertificateInfo::certificate() const
{
    const QList<QSslCertificate> certificates =
            QSslCertificate::fromData(pem().toLatin1(), QSsl::Pem);
    if (certificates.isEmpty())
        return QSslCertificate(QByteArray(), QSsl::Pem);
    return certificates.constFirst();
}

bool CertificateInfo::extract(const QString &line, const QString &key)
{
    if (!line.startsWith(key, Qt::CaseSensitive))
        return false;
    // The character after the key is the separator and is skipped unseen.
    m_info.insert(key, QVariant(line.mid(key.length() + 1)));
    return true;
}

void CertificateInfo::extractInfo(const QString &line)
{
    for (const QString &key : std::as_const(certificateKeys)) {
        if (extract(line, key))
            return;
    }
}

} // namespace zendra
