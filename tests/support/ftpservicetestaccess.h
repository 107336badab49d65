// SPDX-License-Identifier: MIT
// Compile-checked access to the slots through which FtpService hears from its worker.
#ifndef ZENDRA_TESTS_FTPSERVICETESTACCESS_H
#define ZENDRA_TESTS_FTPSERVICETESTACCESS_H

#include "ftpservice.h"

namespace zendra {

class FtpServiceTestAccess
{
public:
    static void onRequestFinished(FtpService &service, const QUuid &id, const QByteArray &data)
    {
        service.onRequestFinished(id, data);
    }
    static void updateCertificate(FtpService &service, const QList<CertificateInfo> &chain)
    {
        service.updateCertificate(chain);
    }
};

} // namespace zendra

#endif // ZENDRA_TESTS_FTPSERVICETESTACCESS_H
