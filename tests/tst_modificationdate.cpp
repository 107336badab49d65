// SPDX-License-Identifier: MIT
// The fast date path of FtpFileInfo against the parser it stands in for, over many generated
// 14-digit values. CTest runs this once as is and once under a zone with daylight saving time.
#include <zendra/ftpfileinfo.h>

#include <QRandomGenerator>
#include <QStringList>
#include <QTest>
#include <QTimeZone>

using zendra::FtpFileInfo;

namespace {

QString twoDigits(int value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

QString stamp(int year, int month, int day, int hour, int minute, int second)
{
    return QStringLiteral("%1").arg(year, 4, 10, QLatin1Char('0')) + twoDigits(month)
        + twoDigits(day) + twoDigits(hour) + twoDigits(minute) + twoDigits(second);
}

// Everything a caller can observe of a QDateTime.
QString describe(const QDateTime &dateTime)
{
    if (!dateTime.isValid()) {
        return QStringLiteral("invalid null=%1 timeSpec=%2")
            .arg(dateTime.isNull())
            .arg(int(dateTime.timeSpec()));
    }
    return QStringLiteral("%1 %2 timeSpec=%3 offset=%4 dst=%5 msecs=%6 zone=%7")
        .arg(dateTime.date().toString(Qt::ISODate), dateTime.time().toString(Qt::ISODateWithMs))
        .arg(int(dateTime.timeSpec()))
        .arg(dateTime.offsetFromUtc())
        .arg(dateTime.isDaylightTime())
        .arg(dateTime.toMSecsSinceEpoch())
        .arg(dateTime.timeZoneAbbreviation());
}

QDate lastSunday(int year, int month)
{
    QDate date(year, month, QDate(year, month, 1).daysInMonth());
    return date.addDays(-(date.dayOfWeek() % 7));
}

} // namespace

class tst_ModificationDate : public QObject
{
    Q_OBJECT

private slots:
    void matchesTheParserForEveryValue();

private:
    static QStringList generatedValues();
};

QStringList tst_ModificationDate::generatedValues()
{
    QStringList values;
    // Ranges at and beyond every field's limits, leap rules included.
    const int years[] = {0, 1, 999, 1000, 1582, 1899, 1900, 1901, 1969, 1970, 1996, 2000, 2023,
        2024, 2037, 2038, 2100, 2400, 9999};
    for (int year : years) {
        for (int month : {0, 1, 2, 3, 10, 12, 13, 99}) {
            for (int day : {0, 1, 28, 29, 30, 31, 32}) {
                for (int hour : {0, 2, 23, 24})
                    values << stamp(year, month, day, hour, 59, 59)
                           << stamp(year, month, day, hour, 60, 0)
                           << stamp(year, month, day, hour, 0, 60);
            }
        }
    }
    // Every minute of the small hours of the days on which Berlin changes to and from summer
    // time, with the boundaries to the second.
    for (int year = 1975; year <= 2040; ++year) {
        for (const QDate &day : {lastSunday(year, 3), lastSunday(year, 9), lastSunday(year, 10)}) {
            for (int minute = 0; minute < 6 * 60; ++minute)
                values << stamp(
                    year, day.month(), day.day(), minute / 60, minute % 60, minute % 60);
            for (int hour : {1, 2, 3}) {
                for (int second : {0, 59}) {
                    values << stamp(year, day.month(), day.day(), hour, 0, second)
                           << stamp(year, day.month(), day.day(), hour, 59, second);
                }
            }
        }
    }
    // Every minute around each change of offset of the zone this test runs in.
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const auto transitions = zone.transitions(QDateTime(QDate(1969, 1, 1), QTime(0, 0), Qt::UTC),
        QDateTime(QDate(2041, 1, 1), QTime(0, 0), Qt::UTC));
    for (const QTimeZone::OffsetData &transition : transitions) {
        // Wall-clock arithmetic in UTC, so that the gap's nonexistent times are covered too.
        const QDateTime before = transition.atUtc.addSecs(-1).toTimeZone(zone);
        const QDateTime wallClock(before.date(), before.time(), Qt::UTC);
        for (qint64 minute = -150; minute <= 150; ++minute) {
            const QDateTime when = wallClock.addSecs(minute * 60 + minute % 60 + 1);
            values << stamp(when.date().year(), when.date().month(), when.date().day(),
                when.time().hour(), when.time().minute(), when.time().second());
        }
    }
    // Random digits anywhere, and random values with plausible field ranges.
    QRandomGenerator random(20240131);
    for (int i = 0; i < 30000; ++i) {
        QString digits;
        for (int d = 0; d < 14; ++d)
            digits += QChar(u'0' + random.bounded(10));
        values << digits
               << stamp(random.bounded(1, 10000), random.bounded(0, 14), random.bounded(0, 33),
                      random.bounded(0, 25), random.bounded(0, 61), random.bounded(0, 61))
               << stamp(random.bounded(1960, 2060), random.bounded(1, 13), random.bounded(1, 32),
                      random.bounded(0, 24), random.bounded(0, 60), random.bounded(0, 60));
    }
    // Not 14 ASCII digits.
    values << QString() << QStringLiteral("2024013123595") << QStringLiteral("202401312359590")
           << QStringLiteral("20240131235959.123") << QStringLiteral(" 20240131235959")
           << QStringLiteral("20240131235959 ") << QStringLiteral("+2024013123595")
           << QStringLiteral("-2024013123595") << QStringLiteral("2024-1-3123595")
           << QStringLiteral("2024013123595a") << QStringLiteral("２０２４０１３１２３５９５９")
           << QStringLiteral("٢٠٢٤٠١٣١٢٣٥٩٥٩") << QStringLiteral("20240131 35959");
    return values;
}

void tst_ModificationDate::matchesTheParserForEveryValue()
{
    const QStringList values = generatedValues();
    QVERIFY(values.size() > 150000);
    int valid = 0;
    for (const QString &value : values) {
        const FtpFileInfo entry(QStringLiteral("type=file;modify=%1;unique=1; name").arg(value));
        const QDateTime expected = QDateTime::fromString(value, QStringLiteral("yyyyMMddhhmmss"));
        const QString actual = describe(entry.modificationDate());
        // The second parse of a value may come from the per-thread cache.
        const FtpFileInfo again(QStringLiteral("modify=%1;type=dir;unique=2; other").arg(value));
        if (actual != describe(expected) || describe(again.modificationDate()) != actual)
            QFAIL(qPrintable(
                QStringLiteral("%1: %2, expected %3").arg(value, actual, describe(expected))));
        if (expected.isValid())
            ++valid;
    }
    qInfo("%lld values compared, %d valid, TZ=%s", qlonglong(values.size()), valid,
        qgetenv("TZ").constData());
    // Both outcomes must have been exercised in bulk.
    QVERIFY(valid > 100000);
    QVERIFY(values.size() - valid > 30000);
}

QTEST_GUILESS_MAIN(tst_ModificationDate)
#include "tst_modificationdate.moc"
