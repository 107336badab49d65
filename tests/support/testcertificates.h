// SPDX-License-Identifier: MIT
// Test certificates, made by support/make-test-chain.sh in a directory that lives with the object.
#ifndef ZENDRA_TESTS_TESTCERTIFICATES_H
#define ZENDRA_TESTS_TESTCERTIFICATES_H

#include <QCryptographicHash>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>

class TestCertificates
{
public:
    bool create()
    {
        QProcess process;
        process.start("bash", {ZENDRA_TEST_SOURCE_DIR "/support/make-test-chain.sh", m_dir.path()});
        process.waitForFinished();
        m_error = process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    QString errorString() const { return m_error; }
    // A file that make-test-chain.sh made, such as "root.pem" or "server.key".
    QString file(const QString &name) const { return m_dir.filePath(name); }
    QSslCertificate certificate(const QString &name) const
    {
        return QSslCertificate::fromPath(file(name + ".pem")).value(0);
    }
    // "SHA256:AB:..." of a certificate, as openssl x509 -fingerprint shows it; empty for none.
    QString fingerprint(const QString &name) const
    {
        const QSslCertificate found = certificate(name);
        return found.isNull()
            ? QString()
            : "SHA256:" + found.digest(QCryptographicHash::Sha256).toHex(':').toUpper();
    }
    // Copies a file that make-test-chain.sh made over @p target: a ProFTPD server presents a
    // certificate that changes on disk from its next session on.
    bool copy(const QString &name, const QString &target) const
    {
        QFile::remove(target);
        return QFile::copy(file(name), target);
    }
    QString rootCaFile() const { return file("root.pem"); }
    QString fullChainFile() const { return file("fullchain.pem"); }
    QString serverKeyFile() const { return file("server.key"); }

private:
    QTemporaryDir m_dir;
    QString m_error;
};

#endif // ZENDRA_TESTS_TESTCERTIFICATES_H
