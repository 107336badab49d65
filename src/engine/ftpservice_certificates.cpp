// SPDX-License-Identifier: MIT
// FtpService's certificate store: CA files imported into the certificates directory, and the
// root CA of a chain that failed peer verification, written as "root_ca.pem" for the worker.
// Under the verified-peer policy a root that only its server vouches for is pinned to that
// server when the host accepts it, and refused otherwise.
#include "ftpservice.h"

#include "ftpworker_p.h"
#include "zendralogging_p.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QUrl>

#include <memory>
#include <utility>

#include <openssl/x509v3.h>

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

// Whether @p certificate names @p host, as the TLS library checks it during the handshake.
bool namesHost(const QSslCertificate &certificate, const QString &host)
{
    const QByteArray der = certificate.toDer();
    const auto *bytes = reinterpret_cast<const unsigned char *>(der.constData());
    const std::unique_ptr<X509, decltype(&X509_free)> x509(
        d2i_X509(nullptr, &bytes, long(der.size())), &X509_free);
    const QByteArray name = host.toUtf8();
    if (!x509)
        return false;
    if (!QHostAddress(host).isNull())
        return X509_check_ip_asc(x509.get(), name.constData(), 0) == 1;
    return X509_check_host(x509.get(), name.constData(), size_t(name.size()), 0, nullptr) == 1;
}

QString namesOf(const QSslCertificate &certificate)
{
    QStringList names = certificate.subjectAlternativeNames().values();
    if (names.isEmpty())
        names = certificate.subjectInfo(QSslCertificate::CommonName);
    return names.join(QLatin1String(", "));
}

// Why a certificate of @p certificates is not valid now; empty when all are.
QString validityProblem(const QList<QSslCertificate> &certificates)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QSslCertificate &certificate : certificates) {
        if (certificate.expiryDate() < now) {
            return QStringLiteral("The certificate \"%1\" expired on %2")
                .arg(certificate.subjectDisplayName(),
                    certificate.expiryDate().toString(Qt::ISODate));
        }
        if (certificate.effectiveDate() > now) {
            return QStringLiteral("The certificate \"%1\" is not valid before %2")
                .arg(certificate.subjectDisplayName(),
                    certificate.effectiveDate().toString(Qt::ISODate));
        }
    }
    return QString();
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
        m_worker->noteCertificateTrust(target, FtpResult::ImportedTrust, QString());
        Q_EMIT setCertificate(target);
        return result;
    }

    qCWarning(lcZendraCertificates) << ">> Certificate doesn't exist yet";
    if (!QFile::copy(path, target)) {
        qCWarning(lcZendraCertificates) << ">> Certificate couldn't be copied at " << target;
        return false;
    }
    qCInfo(lcZendraCertificates) << ">> Certificate correctly copied at " << target;
    m_worker->noteCertificateTrust(target, FtpResult::ImportedTrust, QString());
    Q_EMIT setCertificate(target);
    return true;
}

void FtpService::updateCertificate(const QList<CertificateInfo> &certificates)
{
    qCInfo(lcZendraCertificates) << ">> Update FTP certificate";

    QList<QSslCertificate> chain;
    chain.reserve(certificates.size());
    for (const CertificateInfo &info : certificates)
        chain.append(info.certificate());
    // The worker has usually checked the chain already, off this thread and before the
    // repetition's clock started; it also says where the chain came from and whether its
    // repetition waits for a verdict, which is what the policy asks for.
    const FtpWorker::ChainCheck check = m_worker->takeChainCheck(chain);
    const bool policy = check.valid ? check.awaitsVerdict : m_worker->requiresVerifiedPeer();

    bool giveUp = false;
    QString reason;
    // Under the policy a refusal ends its request, so only the repetitions of one request can
    // chain up: they are counted per request, and any number of servers can be pinned.
    int &updates = policy ? m_worker->trustStore().requestUpdates : m_certificateUpdates;
    if (++updates > maximumCertificateUpdates) {
        qCWarning(lcZendraCertificates)
            << ">> Too many certificate updates requested, something is not working as "
               "expected, peer verification will be disabled...";
        giveUp = true;
        reason = QStringLiteral("Too many certificate updates in this service's lifetime");
    } else if (certificates.isEmpty()) {
        giveUp = true;
    }
    if (giveUp) {
        qCWarning(lcZendraCertificates)
            << "Couldn't update certificate, no peer certificates found";
        giveUpVerification(policy, reason);
        return;
    }

    // Only informative: the chain is expected to fail, that is why we are here.
    const QList<QSslError> errors
        = check.valid ? check.errors : QSslCertificate::verify(chain, QString());
    if (!errors.isEmpty()) {
        qCWarning(lcZendraCertificates)
            << ">> Errors occured while validating the certificate chain";
        for (const QSslError &error : errors)
            qCWarning(lcZendraCertificates) << error.errorString();
    }

    QSslCertificate chosen = rootCertificate(chain);
    bool listed = false;
    if (chosen.isSelfSigned()) {
        qCInfo(lcZendraCertificates) << ">> Last certificate in chain is a CA CERT";
    } else {
        const QSslCertificate root = std::exchange(chosen, QSslCertificate());
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
                chosen = ca;
                listed = true;
                break;
            }
        }
        if (chosen.isNull()) {
            qCWarning(lcZendraCertificates)
                << QStringLiteral(">> Looked up %1 certificates, couldn't find CA CERT for "
                                  "certificate chain")
                       .arg(cas.size());
            giveUpVerification(policy,
                QStringLiteral("The root CA of the chain is unknown: the server does not send it, "
                               "and no CA of the system's list issued \"%1\"")
                    .arg(root.subjectDisplayName()));
            return;
        }
    }

    const FtpResult::Trust trust = trustOf(chosen, check.url, listed);
    if (policy && judgeRoot(check.url, chain, chosen, trust) != RootVerdict::Vouched)
        return;

    const QString path = QStringLiteral("%1/%2").arg(
        m_certificatesDirectory, QLatin1String(rootCertificateFileName));
    if (QFileInfo::exists(path) && !replaceOrRemoveCertificate(QString(), path))
        qCWarning(lcZendraCertificates) << ">> Couldn't remove current certificate file";

    QFile file(path);
    const QByteArray pem = chosen.toPem();
    if (!file.open(QIODevice::WriteOnly)) {
        qCWarning(lcZendraCertificates) << ">> Couldn't write the certificate at " << path;
        qCWarning(lcZendraCertificates) << ">> Error code: " << int(file.error());
        qCWarning(lcZendraCertificates) << ">> Error message: " << file.errorString();
        if (policy)
            m_worker->refuseRepetition(QStringLiteral("Couldn't write the root CA at %1: %2")
                                           .arg(path, file.errorString()));
        return;
    }
    if (file.write(pem) == -1) {
        qCWarning(lcZendraCertificates) << ">> Couldn't save new certificate at path " << path;
        qCWarning(lcZendraCertificates) << ">> Error code: " << int(file.error());
        qCWarning(lcZendraCertificates) << ">> Error message: " << file.errorString();
        file.close();
        if (policy)
            m_worker->refuseRepetition(QStringLiteral("Couldn't save the root CA at %1: %2")
                                           .arg(path, file.errorString()));
        return;
    }
    qCInfo(lcZendraCertificates) << ">> Certificate correctly updated";
    // Closed before the worker hears of it, so it never reads a partial file.
    file.close();
    m_worker->noteCertificateTrust(path, trust, FtpTrustStore::fingerprint(chosen));
    Q_EMIT setCertificate(path);
    if (policy)
        m_worker->repeatNow();
}

void FtpService::giveUpVerification(bool refuse, const QString &reason)
{
    if (refuse) {
        qCWarning(lcZendraCertificates)
            << ">> Peer verification is required, the request ends with its certificate "
               "failure";
        m_worker->refuseRepetition(reason);
        return;
    }
    qCWarning(lcZendraCertificates) << ">> Peer verification should be disabled to continue...";
    m_worker->setPeerVerification(false);
}

FtpResult::Trust FtpService::trustOf(
    const QSslCertificate &root, const QString &url, bool listed) const
{
    if (listed || QSslConfiguration::defaultConfiguration().caCertificates().contains(root))
        return FtpResult::SystemTrust;
    const QFileInfoList files = QDir(m_certificatesDirectory).entryInfoList(QDir::Files);
    for (const QFileInfo &file : files) {
        if (!FtpTrustStore::isStoreFile(file.fileName())
            && QSslCertificate::fromPath(file.filePath(), QSsl::Pem).contains(root)) {
            return FtpResult::ImportedTrust;
        }
    }
    if (m_worker->trustStore().pin(FtpTrustStore::serverKey(url)).root == root)
        return FtpResult::PinnedTrust;
    return FtpResult::FirstUseTrust;
}

FtpService::RootVerdict FtpService::judgeRoot(const QString &url,
    const QList<QSslCertificate> &chain, const QSslCertificate &root, FtpResult::Trust trust)
{
    FtpTrustStore &store = m_worker->trustStore();
    const QString server = FtpTrustStore::serverKey(url);
    const QString fingerprint = FtpTrustStore::fingerprint(root);
    const FtpTrustStore::Pin pin = store.pin(server);
    const QString host = QUrl(url).host();
    // The most alarming reason first; one that no pin would fix before an unknown root.
    QString reason;
    if (!pin.path.isEmpty() && pin.root != root) {
        reason = QStringLiteral("The root CA of %1 changed: %2 is pinned, the server now "
                                "presents %3 (\"%4\"). Refused until the pin is removed "
                                "(FtpService::removePinnedRoot)")
                     .arg(server, pin.fingerprint, fingerprint, root.subjectDisplayName());
    } else if (!namesHost(chain.first(), host)) {
        reason = QStringLiteral("Host-name mismatch: the certificate names %1, not %2")
                     .arg(namesOf(chain.first()), host);
    } else {
        reason = validityProblem(chain + QList<QSslCertificate> {root});
    }
    if (reason.isEmpty() && !pin.path.isEmpty()) {
        m_worker->repeatNow();
        return RootVerdict::Pinned;
    }
    if (reason.isEmpty() && trust != FtpResult::FirstUseTrust)
        return RootVerdict::Vouched;

    if (reason.isEmpty()) {
        // Nobody but the server vouches for this root: only the host can.
        if (store.accepted.value(server) == fingerprint
            || (store.handler && store.handler(url, root, fingerprint))) {
            if (store.setPin(server, root)) {
                qCInfo(lcZendraCertificates).noquote()
                    << ">> Pinned root CA" << fingerprint << "to" << server;
                store.accepted.remove(server);
                store.refused.remove(server);
                m_worker->repeatNow();
                return RootVerdict::Pinned;
            }
            reason = QStringLiteral("Couldn't pin the root CA %1 to %2 in %3")
                         .arg(fingerprint, server, m_certificatesDirectory);
        } else {
            store.refused.insert(server, root);
            reason = QStringLiteral("Unknown root CA: nobody but the server %1 vouches for its "
                                    "root \"%2\", %3. To trust it for this server, pin it "
                                    "(FtpService::pinRoot with that fingerprint)")
                         .arg(server, root.subjectDisplayName(), fingerprint);
        }
    }
    qCWarning(lcZendraCertificates).noquote() << ">> Refused:" << reason;
    m_worker->refuseRepetition(reason, fingerprint);
    return RootVerdict::Refused;
}

void FtpService::setRootApprovalHandler(const RootApprovalHandler &handler)
{
    m_worker->trustStore().handler = handler;
}

bool FtpService::pinRoot(const QString &url, const QString &fingerprint)
{
    FtpTrustStore &store = m_worker->trustStore();
    const QString server = FtpTrustStore::serverKey(url);
    const QString accepted = FtpTrustStore::normalizedFingerprint(fingerprint);
    if (server.isEmpty() || accepted.isEmpty())
        return false;
    const FtpTrustStore::Pin pin = store.pin(server);
    if (!pin.path.isEmpty())
        return pin.fingerprint == accepted;
    const QSslCertificate refused = store.refused.value(server);
    if (!refused.isNull() && FtpTrustStore::fingerprint(refused) == accepted) {
        store.refused.remove(server);
        return store.setPin(server, refused);
    }
    store.accepted.insert(server, accepted);
    return true;
}

bool FtpService::removePinnedRoot(const QString &url)
{
    return m_worker->trustStore().removePin(FtpTrustStore::serverKey(url));
}

QString FtpService::pinnedRoot(const QString &url) const
{
    return m_worker->trustStore().pin(FtpTrustStore::serverKey(url)).fingerprint;
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
