// SPDX-License-Identifier: MIT
// Internal: the lifetime of FtpWorker threads, for the worker alone.
#ifndef ZENDRA_WORKERTHREADS_P_H
#define ZENDRA_WORKERTHREADS_P_H

#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QThread;
QT_END_NAMESPACE

namespace zendra {

// A host may return from main while a transfer runs: the service asks its worker to go, the
// application object goes, and the event loop that would delete the worker's thread object never
// runs again, while the thread may still be inside libcurl or OpenSSL as the process exits.
// So every worker thread is registered here, and the application's teardown ends and joins the
// ones still registered. In the normal case a thread object is deleted on its owner's event loop
// once its worker is gone and the thread has finished.
class WorkerThreads
{
public:
    // Takes charge of @p thread, just created for a worker and not started yet.
    static void adopt(QThread *thread);
    // The worker of @p thread is being destroyed, on that thread; the thread may end now.
    static void release(QThread *thread);
};

} // namespace zendra

#endif // ZENDRA_WORKERTHREADS_P_H
