// SPDX-License-Identifier: MIT
// A host program that knows zendra only through its installed headers and package files.
#include <zendra/zendra.h>

#include <cstdio>

int main()
{
    zendra_noop();
    const zendra::CertificateInfo info({QStringLiteral("Subject:CN=consumer")});
    zendra::EncryptionService encryption;
    const zendra::FtpDirectoryModel model;
    const bool ok = info.subject() == QLatin1String("CN=consumer")
        && model.status() == zendra::FtpDirectoryModel::Null
        && Service<zendra::EncryptionService>::hasInstance()
        && encryption.init_ECB(QStringLiteral("id"), QByteArray(16, 'k'))
        && encryption.encryptAES_ECB(QStringLiteral("id"), "data").size() == 16;
    std::puts(ok ? "consumer ok" : "consumer failed");
    return ok ? 0 : 1;
}
