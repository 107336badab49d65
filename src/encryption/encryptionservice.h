// SPDX-License-Identifier: MIT
#ifndef ZENDRA_ENCRYPTIONSERVICE_H
#define ZENDRA_ENCRYPTIONSERVICE_H

#include "service.h"
#include "zendra_export.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

namespace zendra {

/// AES-128 in CBC or ECB mode on whole byte arrays, under keys and IVs registered by id.
/// Built by the host; reachable through Service<EncryptionService>::instance() while it lives.
class ZENDRA_EXPORT EncryptionService : public QObject, public Service<EncryptionService>
{
    Q_OBJECT

public:
    /// Selects the cipher operations of performTest(); any value but CBC runs ECB.
    enum CipherMode {
        CBC = 0, ///< AES-128-CBC under the id's key and IV.
        ECB = 1 ///< AES-128-ECB under the id's key.
    };

    /// Builds the service without a parent and registers it as the process's instance.
    EncryptionService();
    /// Builds the service and registers it as the process's instance.
    explicit EncryptionService(QObject *parent);
    /// Drops the registries (keys are not wiped) and clears the registration.
    ~EncryptionService() override;

    /// Registers a 16-byte key and, when @p iv is not empty, a 16-byte IV for @p id.
    bool init_CBC(const QString &id, const QByteArray &key, const QByteArray &iv);
    /// Registers a 16-byte key for @p id; CBC and ECB share it.
    bool init_ECB(const QString &id, const QByteArray &key);

    // The four cipher operations return an empty array on failure. OpenSSL's failures print its
    // error queue to stderr; an id without a 16-byte key (or, for CBC, IV) and an input too long
    // for OpenSSL's int lengths fail before OpenSSL is called, silently.

    /// Encrypts with PKCS#7 padding; a non-empty @p iv is stored for @p id first.
    QByteArray encryptAES_CBC(const QString &id, const QByteArray &data, const QByteArray &iv);
    /// Decrypts and strips the padding; a non-empty @p iv is stored for @p id first.
    QByteArray decryptAES_CBC(const QString &id, const QByteArray &data, const QByteArray &iv);
    /// Encrypts with PKCS#7 padding; empty on failure.
    QByteArray encryptAES_ECB(const QString &id, const QByteArray &data) const;
    /// Decrypts and strips the padding; empty on failure.
    QByteArray decryptAES_ECB(const QString &id, const QByteArray &data) const;

    /// True when a pending key, even an empty one, is staged for @p id.
    bool hasPendingKey(const QString &id);
    /// Stages @p key for @p id without touching the working key.
    void setPendingKey(const QString &id, const QByteArray &key);
    /// Installs the pending key of @p id as its working key and returns it.
    QByteArray usePendingKey(const QString &id);
    /// Drops the pending key of @p id; the working key stays.
    void resetPendingKey(const QString &id);
    /// Generates, registers and returns a 16-byte IV for @p id (not cryptographically random).
    QByteArray setRandomIV(const QString &id);

    /// Encrypts and decrypts random data of every length in [fromLength, toLength), @p passes
    /// times, and logs the number of mismatches with the elapsed time.
    void performTest(const QString &id, CipherMode mode, int fromLength, int toLength,
                     int passes);

private:
    friend class Service<EncryptionService>;

    void printError() const;
    static QByteArray randomData(int size);
    int randomTest(QString id, int length, CipherMode mode);

    static EncryptionService *m_instance;

    QHash<QString, QByteArray> m_keys;
    QHash<QString, QByteArray> m_ivs;
    QHash<QString, QByteArray> m_pendingKeys;
};

} // namespace zendra

extern template class Service<zendra::EncryptionService>;

#endif // ZENDRA_ENCRYPTIONSERVICE_H
