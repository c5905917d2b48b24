#include "updateimage.h"

#include "firmwarelog.h"
#include "regular_file.h"

void UpdateImage::reset(const QString& fileName)
{
    m_fileName = fileName;
    m_contents.clear();
    m_size = -1;
    m_loaded = false;
    m_notReadable = false;
    m_invalid = false;
    m_hasHeader = false;
    m_header = kv2::Header();
    m_computed.reset();
    m_problem.clear();
}

bool UpdateImage::fail(const char* logLine, const QString& problem)
{
    qCDebug(lcFirmware).noquote() << logLine;
    m_problem = problem;
    m_invalid = true;
    return false;
}

bool UpdateImage::load(const QString& fileName)
{
    reset(fileName);
    // The name is encoded the platform's way, so a file below a folder with
    // a non-ASCII name opens like any other. Only a regular file is read: a
    // device or a pipe reports size 0 and may then deliver without end, and
    // a FIFO without a writer would block the open for ever.
    QString reason;
    if (!mzt::openRegularFile(m_file, fileName, &reason)) {
        qCDebug(lcFirmware).noquote() << "Could not open the file " + fileName;
        m_notReadable = true;
        m_problem = QStringLiteral("cannot open: %1").arg(reason);
        return false;
    }
    const qint64 size = m_file.size();
    // Sizes are checked before any byte is read: a huge file is never
    // pulled into memory, a short one never read past its end.
    if (size > kv2::MaxFileSize) {
        m_file.close();
        m_size = int(qMin<qint64>(size, INT_MAX));
        return fail("Not an KVU2 file",
                    QStringLiteral("file size %1 above %2").arg(size).arg(kv2::MaxFileSize));
    }
    // Capped all the same: a file that grows while it is read stops at one
    // byte past the largest update file.
    QByteArray bytes = m_file.read(kv2::MaxFileSize + 1);
    m_file.close();
    if (bytes.size() != size) {
        qCDebug(lcFirmware).noquote() << "Could not open the file " + fileName;
        m_notReadable = true;
        m_problem = QStringLiteral("read %1 of %2 bytes").arg(bytes.size()).arg(size);
        return false;
    }
    m_contents = bytes;
    return check();
}

bool UpdateImage::loadFromBytes(const QByteArray& bytes, const QString& name)
{
    reset(name);
    if (bytes.size() > kv2::MaxFileSize) {
        m_size = int(bytes.size());
        return fail(
            "Not an KVU2 file",
            QStringLiteral("file size %1 above %2").arg(bytes.size()).arg(kv2::MaxFileSize));
    }
    m_contents = bytes;
    return check();
}

bool UpdateImage::check()
{
    m_size = int(m_contents.size());
    if (m_size < kv2::HeaderSize)
        return fail("Not an KVU2 file",
                    QStringLiteral("file size %1 below the %2-byte header")
                        .arg(m_size)
                        .arg(kv2::HeaderSize));
    m_header = kv2::parseHeader(m_contents.constData());
    m_hasHeader = true;
    if (!kv2::hasMagic(m_header))
        return fail("Not an KVU2 file", QStringLiteral("bad magic"));
    const QString layout = kv2::layoutProblem(m_header, m_size);
    if (!layout.isEmpty())
        return fail("Not an KVU2 file", layout);

    m_computed = kv2::checksum(m_header, m_contents.constData());
    if (*m_computed != m_header.checksum) {
        qCDebug(lcFirmware).noquote() << "Checksum error";
        qCDebug(lcFirmware).noquote() << "Expected Checksum " + QString::number(m_header.checksum);
        qCDebug(lcFirmware).noquote() << "Received Checksum " + QString::number(*m_computed);
        m_problem = QStringLiteral("checksum mismatch");
        m_invalid = true;
        return false;
    }
    m_loaded = true;
    return true;
}

int UpdateImage::sectionCount() const
{
    return m_loaded ? m_header.sectionCount : -1;
}

std::optional<QByteArrayView> UpdateImage::section(int i) const
{
    if (!m_loaded || i < 0 || i >= m_header.sectionCount || i >= kv2::MaxSections)
        return std::nullopt;
    qsizetype start = kv2::HeaderSize;
    for (int k = 0; k < i; ++k)
        start += m_header.sizes[k];
    return QByteArrayView(m_contents.constData() + start, qsizetype(m_header.sizes[i]));
}

std::optional<QByteArrayView> UpdateImage::headerBlock() const
{
    if (!m_loaded || m_size <= kv2::HeaderBlockSize)
        return std::nullopt;
    return QByteArrayView(m_contents.constData(), kv2::HeaderBlockSize);
}

int UpdateImage::transmissionSize() const
{
    if (!isValid())
        return -1;
    int total = kv2::HeaderBlockSize;
    for (int i = 0; i < m_header.sectionCount; ++i) {
        qCDebug(lcFirmware).nospace() << "Size of sector " << i << ": " << m_header.sizes[i];
        total += int(m_header.sizes[i]);
    }
    return total;
}

bool UpdateImage::matchesDevice(const QString& modelName) const
{
    return isValid() && !modelName.isEmpty() && modelName == m_header.model;
}

QString UpdateImage::statusText(const QString& modelName) const
{
    const auto line = [](const char* colour, const QString& sentence) {
        return QStringLiteral("<font color =\"%1\">").arg(QLatin1String(colour)) + sentence
            + QStringLiteral("</font>");
    };
    if (m_notReadable && m_fileName.isEmpty())
        return QString();
    // The line is rich text: a name with "<" or "&" must show as written.
    const QString name = m_fileName.toHtmlEscaped();
    if (m_notReadable) {
        return line("red", tr("The file ") + name + tr(" is not readable."));
    }
    if (!isValid())
        return line("red", tr("The file ") + name + tr(" is not a valid KV2 file."));
    if (!modelName.isEmpty() && modelName != m_header.model)
        return line("grey",
                    tr("The file ") + name
                        + tr(" does not contain a firmware update for the connected device."));
    if (modelName.isEmpty())
        return line("grey", tr("The file ") + name + tr(" is OK."));
    return line("green", tr("The file ") + name + tr(" is OK."));
}

QByteArray UpdateImage::freeText() const
{
    if (!m_hasHeader || m_contents.size() < kv2::HeaderSize)
        return QByteArray();
    const QByteArray block = m_contents.mid(kv2::FreeTextOffset, kv2::FreeTextSize);
    const qsizetype end = block.indexOf('\0');
    return end < 0 ? block : block.left(end);
}
