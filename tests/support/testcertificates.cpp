// SPDX-License-Identifier: MIT
#include "testcertificates.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

namespace {

// Our own configuration, so the system's openssl.cnf cannot add or clash with extensions.
const char opensslConfig[] = R"([req]
distinguished_name = dn
prompt = no
[dn]
[root_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[intermediate_ext]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[server_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[other_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.invalid
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[self_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment,keyCertSign
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
subjectKeyIdentifier = hash
)";

const int processTimeoutMs = 60000;

} // namespace

TestCertificates::TestCertificates() = default;

QString TestCertificates::rootCommonName()
{
    return QStringLiteral("Zendra Test Root CA");
}

QString TestCertificates::intermediateCommonName()
{
    return QStringLiteral("Zendra Test Intermediate CA");
}

QString TestCertificates::serverCommonName()
{
    return QStringLiteral("localhost");
}

QString TestCertificates::otherHostName()
{
    return QStringLiteral("other.invalid");
}

bool TestCertificates::create()
{
    if (!m_directory.isValid()) {
        m_error = QStringLiteral("no temporary directory: %1").arg(m_directory.errorString());
        return false;
    }
    QFile config(path(QStringLiteral("openssl.cnf")));
    if (!config.open(QIODevice::WriteOnly) || config.write(opensslConfig) < 0) {
        m_error = QStringLiteral("cannot write %1").arg(config.fileName());
        return false;
    }
    config.close();

    const QString cnf = config.fileName();
    const QStringList newKey = {QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
        QStringLiteral("-nodes"), QStringLiteral("-sha256")};
    const auto selfSigned = [&](const QString &name, const QString &subject,
                                const QString &extensions) {
        return run(QStringList {QStringLiteral("req"), QStringLiteral("-config"), cnf,
                       QStringLiteral("-x509"), QStringLiteral("-days"), QStringLiteral("3650")}
            + newKey
            + QStringList {QStringLiteral("-keyout"), path(name + QStringLiteral(".key")),
                QStringLiteral("-out"), path(name + QStringLiteral(".pem")),
                QStringLiteral("-subj"), subject, QStringLiteral("-extensions"), extensions});
    };
    const auto signedBy = [&](const QString &name, const QString &subject, const QString &issuer,
                              const QString &serial, const QString &extensions) {
        const QString request = path(name + QStringLiteral(".csr"));
        return run(QStringList {QStringLiteral("req"), QStringLiteral("-config"), cnf,
                       QStringLiteral("-new")}
                   + newKey
                   + QStringList {QStringLiteral("-keyout"), path(name + QStringLiteral(".key")),
                       QStringLiteral("-out"), request, QStringLiteral("-subj"), subject})
            && run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), request,
                QStringLiteral("-CA"), path(issuer + QStringLiteral(".pem")),
                QStringLiteral("-CAkey"), path(issuer + QStringLiteral(".key")),
                QStringLiteral("-set_serial"), serial, QStringLiteral("-days"),
                QStringLiteral("3650"), QStringLiteral("-sha256"), QStringLiteral("-extfile"), cnf,
                QStringLiteral("-extensions"), extensions, QStringLiteral("-out"),
                path(name + QStringLiteral(".pem"))});
    };

    return selfSigned(QStringLiteral("root"),
               QLatin1String("/O=Zendra Tests/CN=") + rootCommonName(), QStringLiteral("root_ext"))
        && signedBy(QStringLiteral("intermediate"),
            QLatin1String("/O=Zendra Tests/CN=") + intermediateCommonName(), QStringLiteral("root"),
            QStringLiteral("2"), QStringLiteral("intermediate_ext"))
        && signedBy(QStringLiteral("server"),
            QLatin1String("/O=Zendra Tests/CN=") + serverCommonName(),
            QStringLiteral("intermediate"), QStringLiteral("3"), QStringLiteral("server_ext"))
        && signedBy(QStringLiteral("other"), QLatin1String("/O=Zendra Tests/CN=") + otherHostName(),
            QStringLiteral("intermediate"), QStringLiteral("4"), QStringLiteral("other_ext"))
        && selfSigned(QStringLiteral("selfsigned"),
            QLatin1String("/O=Zendra Tests Self-Signed/CN=") + serverCommonName(),
            QStringLiteral("self_ext"))
        && concatenate(
            fullChainFile(), {serverCertificateFile(), intermediateCaFile(), rootCaFile()})
        && concatenate(chainWithoutRootFile(), {serverCertificateFile(), intermediateCaFile()})
        && concatenate(otherHostChainFile(),
            {path(QStringLiteral("other.pem")), intermediateCaFile(), rootCaFile()});
}

QString TestCertificates::errorString() const
{
    return m_error;
}

QString TestCertificates::directory() const
{
    return m_directory.path();
}

QString TestCertificates::rootCaFile() const
{
    return path(QStringLiteral("root.pem"));
}

QString TestCertificates::intermediateCaFile() const
{
    return path(QStringLiteral("intermediate.pem"));
}

QString TestCertificates::serverCertificateFile() const
{
    return path(QStringLiteral("server.pem"));
}

QString TestCertificates::serverKeyFile() const
{
    return path(QStringLiteral("server.key"));
}

QString TestCertificates::fullChainFile() const
{
    return path(QStringLiteral("fullchain.pem"));
}

QString TestCertificates::chainWithoutRootFile() const
{
    return path(QStringLiteral("chain-without-root.pem"));
}

QString TestCertificates::selfSignedCertificateFile() const
{
    return path(QStringLiteral("selfsigned.pem"));
}

QString TestCertificates::selfSignedKeyFile() const
{
    return path(QStringLiteral("selfsigned.key"));
}

QString TestCertificates::otherHostChainFile() const
{
    return path(QStringLiteral("other-chain.pem"));
}

QString TestCertificates::otherHostKeyFile() const
{
    return path(QStringLiteral("other.key"));
}

bool TestCertificates::run(const QStringList &arguments)
{
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty()) {
        m_error = QStringLiteral("openssl not found on PATH");
        return false;
    }
    QProcess process;
    process.setWorkingDirectory(m_directory.path());
    process.start(openssl, arguments);
    if (!process.waitForFinished(processTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        m_error = QStringLiteral("openssl %1 did not finish").arg(arguments.join(QLatin1Char(' ')));
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("openssl %1 failed: %2")
                      .arg(arguments.join(QLatin1Char(' ')),
                          QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    return true;
}

bool TestCertificates::concatenate(const QString &target, const QStringList &sources)
{
    QByteArray bytes;
    for (const QString &source : sources) {
        QFile file(source);
        if (!file.open(QIODevice::ReadOnly)) {
            m_error = QStringLiteral("cannot read %1").arg(source);
            return false;
        }
        bytes += file.readAll();
    }
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        m_error = QStringLiteral("cannot write %1").arg(target);
        return false;
    }
    return true;
}

QString TestCertificates::path(const QString &name) const
{
    return m_directory.filePath(name);
}
