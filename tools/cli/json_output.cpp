#include "json_output.h"

#include "mztarchive.h"

#include <QJsonDocument>

#include <cstdio>

namespace cli {

QJsonObject fileJson(const ContentRecord& record, const QString& name)
{
    return {{QStringLiteral("name"), name},
            {QStringLiteral("id"), qint64(record.id)},
            {QStringLiteral("type"), qint64(record.type)},
            {QStringLiteral("memorySize"), qint64(record.memSize)},
            {QStringLiteral("durationMs"), qint64(record.duration)}};
}

QJsonObject entryJson(const ArchiveEntry& entry, const QString& name)
{
    const QByteArray& content = entry.content();
    const quint32 memSize = content.size() >= ContentRecord::Size
        ? ContentRecord::fromBytes(reinterpret_cast<const unsigned char*>(content.constData()))
              .memSize
        : 0;
    return {{QStringLiteral("name"), name},
            {QStringLiteral("id"), entry.id()},
            {QStringLiteral("type"), entry.type()},
            {QStringLiteral("bytes"), qint64(content.size())},
            {QStringLiteral("memorySize"), qint64(memSize)},
            {QStringLiteral("durationMs"), qint64(entry.duration())}};
}

void printJson(const QJsonObject& document)
{
    const QByteArray text = QJsonDocument(document).toJson(QJsonDocument::Indented);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

} // namespace cli
