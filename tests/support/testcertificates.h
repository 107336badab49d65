// SPDX-License-Identifier: MIT
#ifndef ZENDRA_TESTS_TESTCERTIFICATES_H
#define ZENDRA_TESTS_TESTCERTIFICATES_H

#include <QString>
#include <QTemporaryDir>

// Certificates for TLS tests, made by tests/support/make-test-chain.sh (openssl CLI) in a temporary
// directory that lives as long as the object: a root CA, an intermediate CA signed by it and a
// server certificate for localhost and 127.0.0.1 signed by the intermediate; besides, a lone
// self-signed certificate for the same names and a certificate for another host name (signed by
// the intermediate), for verification failures. All files are PEM; keys are unencrypted RSA 2048.
class TestCertificates
{
public:
    TestCertificates();
    TestCertificates(const TestCertificates &) = delete;
    TestCertificates &operator=(const TestCertificates &) = delete;

    // Runs the script; false (with errorString()) when any step fails.
    bool create();
    QString errorString() const;
    QString directory() const;

    // Common names, as the certificates' subjects carry them.
    static QString rootCommonName();
    static QString intermediateCommonName();
    static QString serverCommonName();
    static QString otherHostName();

    QString rootCaFile() const;
    QString intermediateCaFile() const;
    // The server certificate alone and its key.
    QString serverCertificateFile() const;
    QString serverKeyFile() const;
    // What a server presents: server certificate, intermediate, root (in that order) ...
    QString fullChainFile() const;
    // ... or server certificate and intermediate only.
    QString chainWithoutRootFile() const;
    // Self-signed certificate for localhost and 127.0.0.1, and its key.
    QString selfSignedCertificateFile() const;
    QString selfSignedKeyFile() const;
    // Chain (other host's certificate, intermediate, root) whose names match neither localhost
    // nor 127.0.0.1, and its key.
    QString otherHostChainFile() const;
    QString otherHostKeyFile() const;

private:
    QString path(const QString &name) const;

    QTemporaryDir m_directory;
    QString m_error;
};

#endif // ZENDRA_TESTS_TESTCERTIFICATES_H
