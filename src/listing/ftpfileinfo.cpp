// SPDX-License-Identifier: MIT
// One MLSD entry: the rules that turn a listing line into facts.
#include "ftpfileinfo.h"

#include "mlsdtime_p.h"
#include "zendralogging_p.h"

#include <QDebug>
#include <QStringView>
#include <QVarLengthArray>

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zendra {

namespace {

// Where mlsdPackedFraction()'s values start: above every mlsdPackedDigits() value.
constexpr quint64 fractionPacked = Q_UINT64_C(100000000000000000);

// Fact keys in the order in which they are looked up.
enum Fact { Modify, Perm, Size, Type, Unique, UnixGroup, UnixMode, UnixOwner, FactCount };

constexpr QStringView factKeys[FactCount] = {
    u"modify=",
    u"perm=",
    u"size=",
    u"type=",
    u"unique=",
    u"UNIX.group=",
    u"UNIX.mode=",
    u"UNIX.owner=",
};

// Remaining part indices kept as flags; walked in index order like the QSet in searchKey().
class RemainingParts
{
public:
    explicit RemainingParts(qsizetype count) : m_flags(count, true) { }
    bool contains(qsizetype index) const { return m_flags[index]; }
    void remove(qsizetype index) { m_flags[index] = false; }

private:
    QVarLengthArray<bool, 16> m_flags;
};

// One search for every key over the remaining parts, first match in index order wins and is
// consumed. Shared by searchKey() and the constructor's allocation-free variant.
template<typename Parts, typename Remaining, typename Matches>
int consumeFirstMatch(const Parts &parts, Remaining &remaining, Matches matches)
{
    for (qsizetype i = 0; i < qsizetype(parts.size()); ++i) {
        if (remaining.contains(int(i)) && matches(i)) {
            remaining.remove(int(i));
            return int(i);
        }
    }
    return -1;
}

// The facts whose key ends at the '=' that closes @p text. Every key ends in '=', so "the part
// contains the key" is "the key ends at one of the part's '='": one pass over the line instead of
// eight substring searches per part.
uint factsEndingAt(QStringView text)
{
    const QChar beforeEquals = text.size() > 1 ? text[text.size() - 2] : QChar();
    uint facts = 0;
    for (int fact = 0; fact < FactCount; ++fact) {
        const QStringView key = factKeys[fact];
        if (key.size() <= text.size() && key[key.size() - 2] == beforeEquals
            && std::equal(key.begin(), key.end(), text.end() - key.size())) {
            facts |= 1u << fact;
        }
    }
    return facts;
}

// The index of the first ';' or '=' in @p text at or after @p from, or the size of @p text.
// Eight characters at a time where SSE2 is there: this scan is most of a line's cost.
qsizetype nextSeparator(QStringView text, qsizetype from)
{
    const char16_t *const data = text.utf16();
#if defined(__SSE2__)
    const __m128i semicolon = _mm_set1_epi16(u';');
    const __m128i equals = _mm_set1_epi16(u'=');
    for (; from + 8 <= text.size(); from += 8) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + from));
        const int found = _mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi16(chunk, semicolon), _mm_cmpeq_epi16(chunk, equals)));
        if (found != 0)
            return from + qCountTrailingZeroBits(uint(found)) / 2;
    }
#endif
    while (from < text.size() && data[from] != u';' && data[from] != u'=')
        ++from;
    return from;
}

// Same result as QStringView::toLongLong(), which is slow for the plain digit strings that
// servers send.
qint64 toLongLong(QStringView value)
{
    if (value.isEmpty() || value.size() > 18)
        return value.toLongLong();
    qint64 result = 0;
    for (const QChar c : value) {
        if (c < u'0' || c > u'9')
            return value.toLongLong();
        result = result * 10 + (c.unicode() - u'0');
    }
    return result;
}

// QStringView::toInt(): the 64-bit value when it fits an int, else 0 (as Qt itself does it).
int toInt(QStringView value)
{
    const qint64 result = toLongLong(value);
    return qint64(int(result)) == result ? int(result) : 0;
}

// The entries of a listing share a few permission texts: the last one is shared, not copied.
QString sharedText(QStringView value)
{
    if (value.isEmpty())
        return value.toString(); // null or not, as the value is
    static thread_local QString last;
    if (QStringView(last) != value)
        last = value.toString();
    return last;
}

} // namespace

FtpFileInfo::FtpFileInfo(const QString &line)
{
    QVarLengthArray<QStringView, 16> parts;
    // Bit n of facts[i] set when parts[i] contains factKeys[n].
    QVarLengthArray<uint, 16> facts;
    const QStringView text(line);
    qsizetype start = 0;
    uint factsOfPart = 0;
    for (qsizetype i = nextSeparator(text, 0);; i = nextSeparator(text, i + 1)) {
        if (i < text.size() && text[i] == u'=') {
            factsOfPart |= factsEndingAt(text.sliced(start, i + 1 - start));
            continue;
        }
        parts.append(text.sliced(start, i - start));
        facts.append(factsOfPart);
        factsOfPart = 0;
        start = i + 1;
        if (i == text.size())
            break;
    }
    RemainingParts remaining(parts.size());

    m_name = parts.last().trimmed().toString();

    for (int fact = 0; fact < FactCount; ++fact) {
        const int index = consumeFirstMatch(
            parts, remaining, [&](qsizetype i) { return facts[i] & (1u << fact); });
        if (index < 0)
            continue;
        // The value starts after as many characters as the key has, wherever the key stood.
        const QStringView value = parts[index].mid(factKeys[fact].size());
        switch (fact) {
        case Modify:
            // A plain value is converted when read; the rest (rare) is parsed now.
            if (const quint64 packed = mlsdPackedDigits(value))
                m_modificationDate = QDateTime::fromMSecsSinceEpoch(qint64(packed), Qt::UTC);
            else if (const quint64 fraction = mlsdPackedFraction(value))
                m_modificationDate = QDateTime::fromMSecsSinceEpoch(qint64(fraction), Qt::UTC);
            else
                m_modificationDate = mlsdModificationTime(value);
            break;
        case Perm:
            m_permissions = sharedText(value);
            break;
        case Size:
            m_size64 = toLongLong(value);
            m_size = qint64(int(m_size64)) == m_size64 ? int(m_size64) : 0;
            break;
        case Type:
            if (value == u"file")
                m_type = File;
            else if (value == u"dir")
                m_type = Dir;
            else if (value == u"cdir")
                m_type = CurrentDir;
            else if (value == u"pdir")
                m_type = ParentDir;
            break;
        case Unique:
            m_id = value.toString();
            break;
        case UnixGroup:
            m_group = toInt(value);
            break;
        case UnixMode:
            m_mode = toInt(value);
            break;
        case UnixOwner:
            m_owner = toInt(value);
            break;
        }
    }
}

FtpFileInfo::FtpFileInfo(const FtpFileInfo &other) = default;

FtpFileInfo &FtpFileInfo::operator=(const FtpFileInfo &other) = default;

FtpFileInfo::~FtpFileInfo() = default;

QString FtpFileInfo::name() const
{
    return m_name;
}

QDateTime FtpFileInfo::modificationDate() const
{
    // Not cached: a read changes nothing, so entries can be read from any thread at once.
    if (m_modificationDate.timeSpec() == Qt::UTC) {
        const quint64 packed = quint64(m_modificationDate.toMSecsSinceEpoch());
        // Fractional seconds, which the local reading refuses.
        return packed < fractionPacked ? mlsdModificationTime(packed) : QDateTime();
    }
    return m_modificationDate;
}

QDateTime FtpFileInfo::modificationDateUtc() const
{
    if (m_modificationDate.timeSpec() == Qt::UTC) {
        const quint64 packed = quint64(m_modificationDate.toMSecsSinceEpoch());
        if (packed < fractionPacked)
            return mlsdModificationTimeUtc(packed);
        return mlsdModificationTimeUtc(packed / 1000).addMSecs(qint64(packed % 1000));
    }
    // What the parser took (rare): its date and time are the digits sent.
    if (!m_modificationDate.isValid())
        return QDateTime();
    return QDateTime(m_modificationDate.date(), m_modificationDate.time(), Qt::UTC);
}

QString FtpFileInfo::permissions() const
{
    return m_permissions;
}

FtpFileInfo::FileType FtpFileInfo::type() const
{
    return m_type;
}

QString FtpFileInfo::id() const
{
    return m_id;
}

int FtpFileInfo::group() const
{
    return m_group;
}

int FtpFileInfo::mode() const
{
    return m_mode;
}

int FtpFileInfo::owner() const
{
    return m_owner;
}

int FtpFileInfo::size() const
{
    return m_size;
}

qint64 FtpFileInfo::size64() const
{
    return m_size64;
}

bool FtpFileInfo::isValid() const
{
    return m_type != NoType && !m_id.isEmpty() && !m_name.isEmpty();
}

void FtpFileInfo::print() const
{
    qCDebug(lcZendraFtp) << "Name: " << m_name << " type: " << int(m_type)
                         << " modification date: " << modificationDate() << " size: " << m_size
                         << " permissions: " << m_permissions << " group: " << m_group
                         << " mode: " << m_mode << " owner: " << m_owner << " id: " << m_id;
}

int FtpFileInfo::searchKey(const QString &key, const QList<QString> &parts, QSet<int> &remaining)
{
    return consumeFirstMatch(parts, remaining,
        [&](qsizetype i) { return parts.at(i).indexOf(key, 0, Qt::CaseSensitive) != -1; });
}

} // namespace zendra
