// SPDX-License-Identifier: MIT
// FtpService's certificate store: CA files imported into the certificates directory, and the
// root CA of a chain that failed peer verification, written as "root_ca.pem" for the worker.
#include "ftpservice.h"

#include "ftpworker_p.h"
#include "zendralogging_p.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>

namespace zendra {

namespace {

const char rootCertificateFileName[] = "root_ca.pem";
constexpr int maximumCertificateUpdates = 5;

// Issuers are matched by common name only, which is all a server chain reliably carries.
bool namesAsIssuer(const QSslCertificate &certificate, const QSslCertificate &issuer)
{
    return certificate.issuerInfo(QSslCertificate::CommonName)
        == issuer.subjectInfo(QSslCertificate::CommonName);
}

} // namespace

bool FtpService::loadCertificate(const QString &path, bool force)
{
    if (!QDir(m_certificatesDirectory).mkpath(QStringLiteral(".")))
        return false;
    const QFileInfo source(path);
    if (!source.exists())
        return false;

    const QString target = QStringLiteral("%1/%2").arg(m_certificatesDirectory, source.fileName());
    const QFileInfo targetInfo(target);
    if (targetInfo.exists()) {
        // Replacing a file by itself would remove the only copy: such a call is a plain reuse.
        const bool sameFile = source.canonicalFilePath() == targetInfo.canonicalFilePath();
        bool result = false;
        if (force && !sameFile) {
            qCInfo(lcZendraCertificates) << ">> Force update certificate";
            result = replaceOrRemoveCertificate(path, target);
        } else {
            qCInfo(lcZendraCertificates) << ">> Certificate already exists at " << target;
        }
        Q_EMIT setCertificate(target);
        return result;
    }

    qCWarning(lcZendraCertificates) << ">> Certificate doesn't exist yet";
    if (!QFile::copy(path, target)) {
        qCWarning(lcZendraCertificates) << ">> Certificate couldn't be copied at " << target;
        return false;
    }
    qCInfo(lcZendraCertificates) << ">> Certificate correctly copied at " << target;
    Q_EMIT setCertificate(target);
    return true;
}

void FtpService::updateCertificate(const QList<CertificateInfo> &certificates)
{
    qCInfo(lcZendraCertificates) << ">> Update FTP certificate";

    QByteArray pem;
    bool giveUp = false;
    if (++m_certificateUpdates > maximumCertificateUpdates) {
        qCWarning(lcZendraCertificates)
            << ">> Too many certificate updates requested, something is not working as "
               "expected, peer verification will be disabled...";
        giveUp = true;
    } else if (certificates.isEmpty()) {
        giveUp = true;
    }
    if (giveUp) {
        qCWarning(lcZendraCertificates)
            << "Couldn't update certificate, no peer certificates found";
        giveUpVerification();
        return;
    }

    QList<QSslCertificate> chain;
    chain.reserve(certificates.size());
    for (const CertificateInfo &info : certificates)
        chain.append(info.certificate());

    // Only informative: the chain is expected to fail, that is why we are here. The worker
    // has usually checked it already, off this thread and before the repetition's clock started.
    QList<QSslError> errors;
    if (!m_worker->takeChainErrors(chain, &errors))
        errors = QSslCertificate::verify(chain, QString());
    if (!errors.isEmpty()) {
        qCWarning(lcZendraCertificates)
            << ">> Errors occured while validating the certificate chain";
        for (const QSslError &error : errors)
            qCWarning(lcZendraCertificates) << error.errorString();
    }

    const QSslCertificate root = rootCertificate(chain);
    if (root.isSelfSigned()) {
        qCInfo(lcZendraCertificates) << ">> Last certificate in chain is a CA CERT";
        pem = root.toPem();
    } else {
        qCWarning(lcZendraCertificates)
            << ">> Last certificate " << root.subjectInfo(QSslCertificate::CommonName)
            << "in chain isn't a CA CERT, trying to get appropriate CA CERT";
        qCWarning(lcZendraCertificates)
            << ">> Looking for issuer: " << root.issuerInfo(QSslCertificate::CommonName);
        const QList<QSslCertificate> cas
            = QSslConfiguration::defaultConfiguration().caCertificates();
        for (const QSslCertificate &ca : cas) {
            if (namesAsIssuer(root, ca)) {
                qCInfo(lcZendraCertificates) << ">> CA CERT found !";
                pem = ca.toPem();
                break;
            }
        }
        if (pem.isNull()) {
            qCWarning(lcZendraCertificates)
                << QStringLiteral(">> Looked up %1 certificates, couldn't find CA CERT for "
                                  "certificate chain")
                       .arg(cas.size());
            giveUpVerification();
            return;
        }
    }

    const QString path = QStringLiteral("%1/%2").arg(
        m_certificatesDirectory, QLatin1String(rootCertificateFileName));
    if (QFileInfo::exists(path) && !replaceOrRemoveCertificate(QString(), path))
        qCWarning(lcZendraCertificates) << ">> Couldn't remove current certificate file";

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qCWarning(lcZendraCertificates) << ">> Couldn't write the certificate at " << path;
        qCWarning(lcZendraCertificates) << ">> Error code: " << int(file.error());
        qCWarning(lcZendraCertificates) << ">> Error message: " << file.errorString();
        return;
    }
    if (file.write(pem) == -1) {
        qCWarning(lcZendraCertificates) << ">> Couldn't save new certificate at path " << path;
        qCWarning(lcZendraCertificates) << ">> Error code: " << int(file.error());
        qCWarning(lcZendraCertificates) << ">> Error message: " << file.errorString();
        file.close();
        return;
    }
    qCInfo(lcZendraCertificates) << ">> Certificate correctly updated";
    // Closed before the worker hears of it, so it never reads a partial file.
    file.close();
    Q_EMIT setCertificate(path);
}

void FtpService::giveUpVerification()
{
    if (m_worker->requiresVerifiedPeer()) {
        qCWarning(lcZendraCertificates)
            << ">> Peer verification is required, the request ends with its certificate "
               "failure";
        m_worker->refuseRepetition();
        return;
    }
    qCWarning(lcZendraCertificates) << ">> Peer verification should be disabled to continue...";
    m_worker->setPeerVerification(false);
}

QSslCertificate FtpService::rootCertificate(const QList<QSslCertificate> &chain)
{
    if (chain.isEmpty())
        return QSslCertificate(QByteArray(), QSsl::Pem);

    // Each certificate is reached at most once, so issuers naming each other cannot loop.
    QList<QSslCertificate> visited {chain.first()};
    QSslCertificate current = chain.first();
    bool moved = true;
    while (moved) {
        moved = false;
        for (const QSslCertificate &candidate : chain) {
            if (visited.contains(candidate))
                continue;
            if (namesAsIssuer(current, candidate)) {
                current = candidate;
                visited.append(candidate);
                moved = true;
                break;
            }
        }
    }
    return current;
}

bool FtpService::replaceOrRemoveCertificate(const QString &source, const QString &destination)
{
    // Read-only files can be removed too once everybody may write them.
    QFile(destination)
        .setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
            | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ReadOther | QFileDevice::WriteOther);
    if (!QFile::remove(destination)) {
        qCWarning(lcZendraCertificates)
            << ">> Couldn't remove existing certificate at " << destination;
        return false;
    }
    if (source.isEmpty())
        return true;
    if (!QFile::copy(source, destination)) {
        qCWarning(lcZendraCertificates) << ">> Couldn't update certificate at " << destination;
        return false;
    }
    qCInfo(lcZendraCertificates) << ">> Certificate correctly updated at " << destination;
    return true;
}

} // namespace zendra
