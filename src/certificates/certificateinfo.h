// SPDX-License-Identifier: MIT
#ifndef ZENDRA_CERTIFICATEINFO_H
#define ZENDRA_CERTIFICATEINFO_H

#include "zendra_export.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QVariant>

namespace zendra {

/// One certificate of a server chain, parsed from libcurl's certificate-information lines
/// ("Key:value"). Missing fields read as empty, 0, invalid or null.
class ZENDRA_EXPORT CertificateInfo
{
public:
    /// Builds the record from the lines of one certificate.
    explicit CertificateInfo(const QList<QString> &lines);
    /// Copies @p other; the copy shares its fields.
    CertificateInfo(const CertificateInfo &other);
    /// Makes this record a copy of @p other.
    CertificateInfo &operator=(const CertificateInfo &other);
    /// Destroys the record.
    virtual ~CertificateInfo();

    /// The "Subject" value.
    QString subject() const;
    /// The "Issuer" value.
    QString issuer() const;
    /// The "Version" value as a number.
    int version() const;
    /// The "Serial Number" value.
    QString serialNumber() const;
    /// The "Signature Algorithm" value.
    QString signatureAlgorithm() const;
    /// The "Start Date" value, in UTC.
    QDateTime startDate() const;
    /// The "Expire Date" value, in UTC.
    QDateTime expirationDate() const;
    /// The "Public Key Algorithm" value.
    QString publicKeyAlogrithm() const;
    /// The "RSA Public Key" value: the key length in bits.
    int publicKeyLength() const;
    /// The "rsa(n)" value.
    QString rsa_n() const;
    /// The "rsa(e)" value.
    QString rsa_e() const;
    /// The "Signature" value.
    QString signature() const;
    /// The "Cert" value: the certificate in PEM form.
    QString pem() const;
    /// The first certificate decoded from pem(), or a null certificate.
    QSslCertificate certificate() const;

private:
    bool extract(const QString &line, const QString &key);
    void extractInfo(const QString &line);

    static QList<QString> certificateKeys;

    QHash<QString, QVariant> m_info;
};

} // namespace zendra

#endif // ZENDRA_CERTIFICATEINFO_H
