// SPDX-License-Identifier: MIT
// Arbitrary bytes as the lines of one certificate, split at NUL so that a multi-line "Cert" value
// survives; every accessor is called, the certificate decoded, the record copied and assigned.
#include "certificateinfo.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>

using zendra::CertificateInfo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    QList<QString> lines;
    for (const QByteArray &piece : bytes.split('\0'))
        lines.append(QString::fromUtf8(piece));

    const CertificateInfo info(lines);
    volatile qsizetype sink = info.subject().size() + info.issuer().size() + info.version()
        + info.serialNumber().size() + info.signatureAlgorithm().size() + info.startDate().isValid()
        + info.expirationDate().isValid() + info.publicKeyAlogrithm().size()
        + info.publicKeyLength() + info.rsa_n().size() + info.rsa_e().size()
        + info.signature().size() + info.pem().size() + info.certificate().isNull();
    Q_UNUSED(sink);

    const CertificateInfo copy(info);
    CertificateInfo assigned(QList<QString> {QStringLiteral("Subject:x")});
    assigned = copy;
    if (assigned.pem() != info.pem() || assigned.subject() != info.subject()
        || assigned.startDate() != info.startDate()) {
        __builtin_trap();
    }
    return 0;
}
