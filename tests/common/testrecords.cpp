#include "testrecords.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace testcommon {

namespace {

struct RecordFields {
    qint32 id = 0;
    qint32 type = 0;
    quint32 duration = 0;
};

RecordFields fieldsOf(const QByteArray& file)
{
    char header[16] = {};
    std::memcpy(header, file.constData(), size_t(std::min<qsizetype>(file.size(), 16)));
    return {qFromLittleEndian<qint32>(header), qFromLittleEndian<qint32>(header + 4),
            qFromLittleEndian<quint32>(header + 12)};
}

} // namespace

QByteArray record(qint32 id, qint32 type, quint32 memSize, quint32 duration)
{
    QByteArray r(16, '\0');
    qToLittleEndian<qint32>(id, r.data());
    qToLittleEndian<qint32>(type, r.data() + 4);
    qToLittleEndian<quint32>(memSize, r.data() + 8);
    qToLittleEndian<quint32>(duration, r.data() + 12);
    return r;
}

QByteArray recorderFile(qint32 id, qint32 type, quint32 memSize, quint32 duration,
                        const QByteArray& body)
{
    return record(id, type, memSize, duration) + body;
}

ArchiveEntry* makeEntry(qint32 id, qint32 type, const QByteArray& content, const QString& name)
{
    auto* entry = new ArchiveEntry;
    entry->setId(id);
    entry->setType(type);
    entry->setDuration(content.size() >= 16 ? fieldsOf(content).duration : 0);
    entry->appendContent(content.constData(), content.size());
    entry->setName(name);
    return entry;
}

ArchiveEntry* entryFor(const QString& name, const QByteArray& file)
{
    const RecordFields fields = fieldsOf(file);
    return makeEntry(fields.id, fields.type, file, name);
}

QString sequenceName(qint32 id)
{
    return QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QLatin1Char('0'));
}

QByteArray archivedContent(const QString& path, qint32 id)
{
    MZTArchive archive(path, nullptr);
    if (!archive.load())
        return {};
    for (const ArchiveEntry* entry : archive.entries())
        if (entry->id() == id)
            return entry->content();
    return {};
}

} // namespace testcommon
