#include "kv2format.h"

#include <QRegularExpression>
#include <QtEndian>

#include <cstring>

namespace kv2 {

namespace {

quint32 readU32(const char* p)
{
    return qFromLittleEndian<quint32>(p);
}

void writeU32(char* p, quint32 value)
{
    qToLittleEndian<quint32>(value, p);
}

} // namespace

std::optional<quint16> statedVersion(const QByteArray& freeText)
{
    // "Software version: 1.05", "version V1.5"; a few characters may stand
    // between the word and the number, never a line break.
    static const QRegularExpression statement(
        QStringLiteral("\\bversion\\b[^0-9\\r\\n]{0,12}(\\d{1,3})\\.(\\d{1,3})\\b"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = statement.match(QString::fromLatin1(freeText));
    if (!match.hasMatch())
        return std::nullopt;
    const uint major = match.captured(1).toUInt();
    const uint minor = match.captured(2).toUInt();
    if (major > 0xFF || minor > 0xFF)
        return std::nullopt;
    return quint16((major << 8) | minor);
}

Header parseHeader(const char* data)
{
    Header h;
    h.magic = QByteArray(data, sizeof Magic);
    const char* model = data + ModelOffset;
    const void* end = std::memchr(model, 0, ModelFieldSize);
    const int modelLength = end ? int(static_cast<const char*>(end) - model) : ModelFieldSize;
    h.model = QString::fromLatin1(model, modelLength);
    h.sectionCount = static_cast<unsigned char>(data[SectionCountOffset]);
    for (int i = 0; i < MaxSections; ++i)
        h.sizes[i] = readU32(data + SizeTableOffset + 4 * i);
    h.checksum = readU32(data + ChecksumOffset);
    return h;
}

bool hasMagic(const Header& header)
{
    return header.magic == QByteArray(Magic, sizeof Magic);
}

QString layoutProblem(const Header& header, qint64 fileSize)
{
    if (header.sectionCount > MaxSections)
        return QStringLiteral("section count %1 above %2")
            .arg(header.sectionCount)
            .arg(MaxSections);
    // The checksum walk steps over whole 256-byte blocks while the sections
    // are placed back to back; only whole blocks keep both views the same.
    qint64 total = 0;
    for (int i = 0; i < header.sectionCount; ++i) {
        if (header.sizes[i] % SectionAlign != 0)
            return QStringLiteral("section %1 size %2 not a multiple of %3")
                .arg(i)
                .arg(header.sizes[i])
                .arg(SectionAlign);
        total += header.sizes[i]; // eight u32 values cannot overflow 64 bits
    }
    if (HeaderSize + total > fileSize)
        return QStringLiteral("sections end at %1, past the file size %2")
            .arg(HeaderSize + total)
            .arg(fileSize);
    return {};
}

quint32 checksum(const Header& header, const char* data)
{
    quint32 sum = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data) + HeaderSize;
    for (int i = 0; i < header.sectionCount && i < MaxSections; ++i) {
        for (quint32 k = 0; k < header.sizes[i]; ++k)
            sum += p[k];
        p += (qint64(header.sizes[i]) + SectionAlign - 1) / SectionAlign * SectionAlign;
    }
    return sum;
}

bool build(const BuildInput& input, QByteArray* out, QString* error)
{
    const QByteArray model = input.model.toLatin1();
    if (model.isEmpty() || model.size() >= ModelFieldSize || model.contains('\0')
        || QString::fromLatin1(model) != input.model) {
        *error =
            QStringLiteral("model name must be 1 to %1 Latin-1 characters").arg(ModelFieldSize - 1);
        return false;
    }
    if (input.freeText.size() > FreeTextSize) {
        *error = QStringLiteral("free text is %1 bytes, at most %2 fit")
                     .arg(input.freeText.size())
                     .arg(FreeTextSize);
        return false;
    }
    if (input.sections.size() > MaxSections) {
        *error = QStringLiteral("%1 sections, at most %2 fit")
                     .arg(input.sections.size())
                     .arg(MaxSections);
        return false;
    }
    qint64 total = HeaderSize;
    for (int i = 0; i < input.sections.size(); ++i) {
        if (input.sections[i].size() % SectionAlign != 0) {
            *error = QStringLiteral("section %1 is %2 bytes, not a multiple of %3")
                         .arg(i)
                         .arg(input.sections[i].size())
                         .arg(SectionAlign);
            return false;
        }
        total += input.sections[i].size();
    }
    if (total > MaxFileSize) {
        *error = QStringLiteral("file would be %1 bytes, more than %2").arg(total).arg(MaxFileSize);
        return false;
    }

    QByteArray file(HeaderSize, '\0');
    char* h = file.data();
    std::memcpy(h, Magic, sizeof Magic);
    std::memcpy(h + ModelOffset, model.constData(), model.size());
    // The recorder's own update files carry these values in the bytes the
    // program does not interpret; they are kept so a built file looks alike.
    h[45] = 1;
    h[SectionCountOffset] = char(input.sections.size());
    h[48] = 0x06;
    h[49] = 0x01;
    h[50] = 0x00;
    h[51] = 0x01;
    for (int i = 0; i < input.sections.size(); ++i)
        writeU32(h + SizeTableOffset + 4 * i, quint32(input.sections[i].size()));
    std::memcpy(h + FreeTextOffset, input.freeText.constData(), input.freeText.size());
    for (const QByteArray& s : input.sections)
        file.append(s);
    writeU32(file.data() + ChecksumOffset,
             checksum(parseHeader(file.constData()), file.constData()));
    *out = file;
    return true;
}

QByteArray placeholderSection(const QByteArray& tag, int size)
{
    QByteArray out(size, '\0');
    quint32 tagSum = 0;
    for (char c : tag)
        tagSum += static_cast<unsigned char>(c);
    for (int block = 0; block * 256 < size; ++block) {
        char* b = out.data() + block * 256;
        const int room = qMin(256, size - block * 256);
        const QByteArray label = "KV2 placeholder " + tag + " block " + QByteArray::number(block);
        std::memcpy(b, label.constData(), qMin<qsizetype>(qMin(label.size(), 63), room));
        quint32 x = quint32(block) + 65536u * tagSum;
        for (int k = 64; k < room; ++k) {
            x = x * 1664525u + 1013904223u;
            b[k] = char(x & 0xFF);
        }
    }
    return out;
}

} // namespace kv2
