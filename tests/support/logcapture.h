// SPDX-License-Identifier: MIT
// Records the lines that reach Qt's message handler while it lives, from any thread. A line with
// a file, line or function is recorded behind "CONTEXT ", so that it matches no expected text:
// the library logs without context.
#ifndef ZENDRA_TESTS_LOGCAPTURE_H
#define ZENDRA_TESTS_LOGCAPTURE_H

#include <QHash>
#include <QMutex>
#include <QStringList>

#include <atomic>

class LogCapture
{
public:
    LogCapture() : m_previous((s_active = this, qInstallMessageHandler(&handler))) { }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_active = nullptr;
    }
    // The lines of one level, or of all levels, in order.
    QStringList lines(QtMsgType type = QtFatalMsg) const
    {
        QMutexLocker locker(&m_mutex);
        return m_lines.value(type);
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (LogCapture *capture = s_active) {
            QMutexLocker locker(&capture->m_mutex);
            const QString line = context.file || context.line ? "CONTEXT " + message : message;
            capture->m_lines[type] << line;
            capture->m_lines[QtFatalMsg] << line;
        }
    }

    static inline std::atomic<LogCapture *> s_active {nullptr};
    mutable QMutex m_mutex;
    QHash<QtMsgType, QStringList> m_lines;
    QtMessageHandler m_previous;
};

#endif // ZENDRA_TESTS_LOGCAPTURE_H
