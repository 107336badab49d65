// SPDX-License-Identifier: MIT
// FtpService's certificate store: CA files imported into the certificates directory, and the
// root CA of a chain that failed peer verification, written as "root_ca.pem" for the worker.
#include "ftpservice.h"

#include "ftpworker_p.h"

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
            qInfo() << ">> Force update certificate";
            result = replaceOrRemoveCertificate(path, target);
        } else {
            qInfo() << ">> Certificate already exists at " << target;
        }
        Q_EMIT setCertificate(target);
        return result;
    }

    qWarning() << ">> Certificate doesn't exist yet";
    if (!QFile::copy(path, target)) {
        qWarning() << ">> Certificate couldn't be copied at " << target;
        return false;
    }
    qInfo() << ">> Certificate correctly copied at " << target;
    Q_EMIT setCertificate(target);
    return true;
}

void FtpService::updateCertificate(const QList<CertificateInfo> &certificates)
{
    qInfo() << ">> Update FTP certificate";

    QByteArray pem;
    bool giveUp = false;
    if (++m_certificateUpdates > maximumCertificateUpdates) {
        qWarning() << ">> Too many certificate updates requested, something is not working as "
                      "expected, peer verification will be disabled...";
        giveUp = true;
    } else if (certificates.isEmpty()) {
        giveUp = true;
    }
    if (giveUp) {
        qWarning() << "Couldn't update certificate, no peer certificates found";
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
        qWarning() << ">> Errors occured while validating the certificate chain";
        for (const QSslError &error : errors)
            qWarning() << error.errorString();
    }

    const QSslCertificate root = rootCertificate(chain);
    if (root.isSelfSigned()) {
        qInfo() << ">> Last certificate in chain is a CA CERT";
        pem = root.toPem();
    } else {
        qWarning() << ">> Last certificate " << root.subjectInfo(QSslCertificate::CommonName)
                   << "in chain isn't a CA CERT, trying to get appropriate CA CERT";
        qWarning() << ">> Looking for issuer: " << root.issuerInfo(QSslCertificate::CommonName);
        const QList<QSslCertificate> cas
            = QSslConfiguration::defaultConfiguration().caCertificates();
        for (const QSslCertificate &ca : cas) {
            if (namesAsIssuer(root, ca)) {
                qInfo() << ">> CA CERT found !";
                pem = ca.toPem();
                break;
            }
        }
        if (pem.isNull()) {
            qWarning() << QStringLiteral(">> Looked up %1 certificates, couldn't find CA CERT for "
                                         "certificate chain")
                              .arg(cas.size());
            giveUpVerification();
            return;
        }
    }

    const QString path = QStringLiteral("%1/%2").arg(
        m_certificatesDirectory, QLatin1String(rootCertificateFileName));
    if (QFileInfo::exists(path) && !replaceOrRemoveCertificate(QString(), path))
        qWarning() << ">> Couldn't remove current certificate file";

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << ">> Couldn't write the certificate at " << path;
        qWarning() << ">> Error code: " << int(file.error());
        qWarning() << ">> Error message: " << file.errorString();
        return;
    }
    if (file.write(pem) == -1) {
        qWarning() << ">> Couldn't save new certificate at path " << path;
        qWarning() << ">> Error code: " << int(file.error());
        qWarning() << ">> Error message: " << file.errorString();
        file.close();
        return;
    }
    qInfo() << ">> Certificate correctly updated";
    // Closed before the worker hears of it, so it never reads a partial file.
    file.close();
    Q_EMIT setCertificate(path);
}

void FtpService::giveUpVerification()
{
    if (m_worker->requiresVerifiedPeer()) {
        qWarning() << ">> Peer verification is required, the request ends with its certificate "
                      "failure";
        m_worker->refuseRepetition();
        return;
    }
    qWarning() << ">> Peer verification should be disabled to continue...";
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
        qWarning() << ">> Couldn't remove existing certificate at " << destination;
        return false;
    }
    if (source.isEmpty())
        return true;
    if (!QFile::copy(source, destination)) {
        qWarning() << ">> Couldn't update certificate at " << destination;
        return false;
    }
    qInfo() << ">> Certificate correctly updated at " << destination;
    return true;
}

} // namespace zendra
