// SPDX-License-Identifier: MIT
#ifndef ZENDRA_TESTS_LOGCAPTURE_H
#define ZENDRA_TESTS_LOGCAPTURE_H

#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records every message that reaches Qt's message handler while it lives, from any thread.
// Only one capture may be active at a time; the previous handler is restored on destruction.
class LogCapture
{
public:
    struct Entry
    {
        QtMsgType type;
        QString message;
        // True when the message carried a file, line or function.
        bool hasContext;
    };

    explicit LogCapture(bool forward = false);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QList<Entry> entries() const;
    // The messages of one level, in order.
    QStringList messages(QtMsgType type) const;
    // Every message, in order, whatever its level.
    QStringList messages() const;
    // True when any message text equals @p message.
    bool contains(const QString &message) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    mutable QMutex m_mutex;
    QList<Entry> m_entries;
    bool m_forward;
    QtMessageHandler m_previous;
};

#endif // ZENDRA_TESTS_LOGCAPTURE_H
