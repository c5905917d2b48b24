#include "mztarchive.h"

#include "archivelog.h"
#include "contenttext.h"

#include <QtEndian>

#include <algorithm>

Q_LOGGING_CATEGORY(lcArchive, "mzt.archive")

void ArchiveEntry::appendContent(const void* bytes, qsizetype count)
{
    qCDebug(lcArchive) << "Appending" << count << "bytes";
    if (count > 0)
        m_content.append(static_cast<const char*>(bytes), count);
}

void ArchiveEntry::clear()
{
    m_content.clear();
    m_name.clear();
    m_id = 0;
    m_type = 0;
    m_duration = 0;
}

QByteArray ArchiveEntry::refreshedContent() const
{
    constexpr qsizetype recordSize = 16;
    QByteArray content = m_content;
    if (content.size() < recordSize) {
        content.append(QByteArray(recordSize - content.size(), '\0'));
        qToLittleEndian<quint32>(MZTArchive::storedMemSize(recordSize), content.data() + 8);
    }
    char* record = content.data();
    qToLittleEndian<qint32>(m_id, record);
    qToLittleEndian<qint32>(m_type, record + 4);
    qToLittleEndian<quint32>(m_duration, record + 12);
    return content;
}

QString ArchiveEntry::durationText() const
{
    if (m_type != 1)
        return QString();
    return mzt::durationText(m_duration);
}

QString ArchiveEntry::memSizeText() const
{
    if (m_content.size() < 16)
        return QStringLiteral("0");
    const quint32 bytes = qFromLittleEndian<quint32>(m_content.constData() + 8);
    if (bytes > 0xFFFFF)
        qCDebug(lcArchive) << "MemSize ==" << bytes;
    return mzt::memSizeText(bytes);
}

MZTArchive::MZTArchive(const QString& fileName, QObject* parent)
    : QObject(parent)
    , m_fileName(fileName)
{
}

MZTArchive::~MZTArchive()
{
    qDeleteAll(m_entries);
    m_entries.clear();
    m_fileName.clear();
}

void MZTArchive::addEntry(ArchiveEntry* entry)
{
    if (!entry)
        return;
    m_entries.append(entry);
    m_modified = true;
}

void MZTArchive::removeEntries(qint32 id)
{
    const QList<ArchiveEntry*> snapshot = m_entries;
    for (ArchiveEntry* entry : snapshot) {
        if (!entry || entry->id() != id)
            continue;
        qCDebug(lcArchive) << "deleting entryId" << id;
        entry->clear();
        m_entries.removeOne(entry);
        delete entry;
        m_modified = true;
    }
}

quint32 MZTArchive::storedMemSize(qint64 contentLength)
{
    const quint64 length = static_cast<quint64>(std::max<qint64>(contentLength, 0));
    quint64 size = length + 16 * (length / 1024);
    size = (size + 1023) / 1024 * 1024;
    // The header word is 32 bits wide; content that large never comes from a recorder.
    return static_cast<quint32>(std::min<quint64>(size, 0xFFFFFFFFu));
}
