// SPDX-License-Identifier: MIT
#include "testcertificates.h"

#include <QProcess>

namespace {

const int processTimeoutMs = 120000;

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

// The openssl steps live in one script that scripts/main-job.sh runs too.
bool TestCertificates::create()
{
    if (!m_directory.isValid()) {
        m_error = QStringLiteral("no temporary directory: %1").arg(m_directory.errorString());
        return false;
    }
    const QString script = QStringLiteral(ZENDRA_TEST_SOURCE_DIR "/support/make-test-chain.sh");
    QProcess process;
    process.start(QStringLiteral("bash"), {script, m_directory.path()});
    if (!process.waitForFinished(processTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        m_error = QStringLiteral("%1 did not finish").arg(script);
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("%1 failed: %2")
                      .arg(script, QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    return true;
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

QString TestCertificates::path(const QString &name) const
{
    return m_directory.filePath(name);
}
