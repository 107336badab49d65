// SPDX-License-Identifier: MIT
// Internal: ends and deletes FtpWorker threads, also when the application object goes first.
#include "workerthreads_p.h"

#include <QCoreApplication>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <utility>

namespace zendra {

namespace {

// Threads whose QThread object still exists, mapped to whether their worker still lives.
QMutex threadsMutex;
QHash<QThread *, bool> workerThreads;

bool workerAlive(QThread *thread)
{
    QMutexLocker locker(&threadsMutex);
    return workerThreads.value(thread, true);
}

void joinWorkerThreads()
{
    QList<QThread *> threads;
    {
        QMutexLocker locker(&threadsMutex);
        threads = workerThreads.keys();
    }
    for (QThread *thread : std::as_const(threads)) {
        // Ending the event loop still runs pending deferred deletes, such as the worker's own.
        thread->quit();
        thread->wait();
        if (!workerAlive(thread))
            delete thread;
    }
}

} // namespace

void WorkerThreads::adopt(QThread *thread)
{
    {
        QMutexLocker locker(&threadsMutex);
        workerThreads.insert(thread, true);
    }
    qRemovePostRoutine(joinWorkerThreads);
    qAddPostRoutine(joinWorkerThreads);
    QObject::connect(thread, &QThread::finished, thread, [thread] {
        if (!workerAlive(thread))
            thread->deleteLater();
    });
    QObject::connect(thread, &QObject::destroyed, [thread] {
        QMutexLocker locker(&threadsMutex);
        workerThreads.remove(thread);
    });
}

void WorkerThreads::release(QThread *thread)
{
    {
        QMutexLocker locker(&threadsMutex);
        workerThreads.insert(thread, false);
    }
    // The thread object is deleted on its owner's thread once the thread has finished.
    thread->quit();
}

} // namespace zendra
