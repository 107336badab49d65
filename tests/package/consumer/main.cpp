// SPDX-License-Identifier: MIT
// A host program that knows zendra only through its installed package.
#include <zendra/zendra.h>

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    zendra_noop();

    const zendra::CertificateInfo info({QStringLiteral("Subject:CN=consumer")});
    if (info.subject() != QLatin1String("CN=consumer"))
        return 1;

    if (Service<zendra::FtpService>::hasInstance())
        return 1;
    {
        // Builds its worker thread but sends nothing until a request is queued.
        zendra::FtpService service;
        if (!Service<zendra::FtpService>::hasInstance()
            || &Service<zendra::FtpService>::instance() != &service || !service.verifyPeer())
            return 1;
    }
    if (Service<zendra::FtpService>::hasInstance())
        return 1;

    const zendra::FtpDirectoryModel model;
    if (model.status() != zendra::FtpDirectoryModel::Null
        || model.roleNames().value(zendra::FtpDirectoryModel::NameRole) != "name")
        return 1;

    QTextStream(stdout) << "consumer ok" << Qt::endl;
    return 0;
}
