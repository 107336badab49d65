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

    QTextStream(stdout) << "consumer ok" << Qt::endl;
    return 0;
}
