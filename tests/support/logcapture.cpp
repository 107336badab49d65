// SPDX-License-Identifier: MIT
#include "logcapture.h"

#include <QMutexLocker>

#include <atomic>

namespace {
std::atomic<LogCapture *> activeCapture{nullptr};
}

LogCapture::LogCapture(bool forward)
    : m_forward(forward)
{
    activeCapture.store(this);
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    activeCapture.store(nullptr);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    LogCapture *capture = activeCapture.load();
    if (!capture)
        return;
    const bool hasContext = context.file || context.line || context.function;
    {
        QMutexLocker locker(&capture->m_mutex);
        capture->m_entries.append({type, message, hasContext});
    }
    if (capture->m_forward && capture->m_previous)
        capture->m_previous(type, context, message);
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    QMutexLocker locker(&m_mutex);
    return m_entries;
}

QStringList LogCapture::messages(QtMsgType type) const
{
    QMutexLocker locker(&m_mutex);
    QStringList result;
    for (const Entry &entry : m_entries) {
        if (entry.type == type)
            result.append(entry.message);
    }
    return result;
}

QStringList LogCapture::messages() const
{
    QMutexLocker locker(&m_mutex);
    QStringList result;
    for (const Entry &entry : m_entries)
        result.append(entry.message);
    return result;
}

bool LogCapture::contains(const QString &message) const
{
    return messages().contains(message);
}

void LogCapture::clear()
{
    QMutexLocker locker(&m_mutex);
    m_entries.clear();
}
