// SPDX-License-Identifier: MIT
// Internal: the answer path of FtpDirectoryModel, shared by the model and its benchmark.
#ifndef ZENDRA_FTPDIRECTORYMODEL_P_H
#define ZENDRA_FTPDIRECTORYMODEL_P_H

#include "ftpdirectorymodel.h"
#include "ftpresult.h"

namespace zendra {

class FtpDirectoryModelPrivate
{
public:
    // The request whose answer the model waits for.
    static quint64 latestRequest(const FtpDirectoryModel *model);
    // Takes the answer to @p request, the entries of type fileType that FtpService::listDirectory()
    // delivered with its @p result; stale answers are dropped.
    static void answer(FtpDirectoryModel *model, quint64 request, const QList<FtpFileInfo> &entries,
        const FtpResult &result);
};

} // namespace zendra

#endif // ZENDRA_FTPDIRECTORYMODEL_P_H
