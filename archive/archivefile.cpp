// Writing and reading .mzt files: a gzip-compressed tar stream whose first
// entry identifies the file and whose further entries are recorder files.
#include "mztarchive.h"

#include "archivelog.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The identification entry's data: the text and its terminating zero byte.
constexpr char kIdentName[] = "KVA";
constexpr char kIdentData[8] = {'M', 'Z', 'T', '-', '5', '0', '0', '\0'};
constexpr int kRecordHeaderSize = 16;
constexpr int kRegularFilePerm = 0644;
constexpr qsizetype kPieceSize = 64 * 1024;

struct ArchiveWriteDeleter {
    void operator()(struct archive* a) const { archive_write_free(a); }
};
struct ArchiveReadDeleter {
    void operator()(struct archive* a) const { archive_read_free(a); }
};
struct ArchiveEntryDeleter {
    void operator()(struct archive_entry* e) const { archive_entry_free(e); }
};
using WriteHandle = std::unique_ptr<struct archive, ArchiveWriteDeleter>;
using ReadHandle = std::unique_ptr<struct archive, ArchiveReadDeleter>;
using EntryHandle = std::unique_ptr<struct archive_entry, ArchiveEntryDeleter>;

// A header the library could not represent exactly (for example a name that
// does not convert to the locale's character set) comes back as ARCHIVE_WARN;
// the entry itself is still complete.
bool headerAccepted(int result)
{
    return result == ARCHIVE_OK || result == ARCHIVE_WARN;
}

la_ssize_t writeToDevice(struct archive* a, void* client, const void* buffer, size_t length)
{
    auto* device = static_cast<QIODevice*>(client);
    const qint64 written = device->write(static_cast<const char*>(buffer), qint64(length));
    if (written != qint64(length)) {
        archive_set_error(a, EIO, "%s", qPrintable(device->errorString()));
        return -1;
    }
    return la_ssize_t(written);
}

bool writeData(struct archive* a, const char* data, qint64 length)
{
    while (length > 0) {
        const qint64 piece = std::min<qint64>(length, 1024 * 1024);
        if (archive_write_data(a, data, size_t(piece)) != piece)
            return false;
        data += piece;
        length -= piece;
    }
    return true;
}

bool writeHeader(struct archive* a, const QByteArray& pathname, qint64 size)
{
    EntryHandle entry(archive_entry_new());
    if (!entry)
        return false;
    archive_entry_set_pathname(entry.get(), pathname.constData());
    archive_entry_set_size(entry.get(), size);
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), kRegularFilePerm);
    return headerAccepted(archive_write_header(a, entry.get()));
}

// Decompresses a gzip file for the tar reader and checks every member's
// CRC-32 and length, which the library's own gzip reader does not verify.
// Anything after the last member must be another complete member.
class GzipSource {
public:
    explicit GzipSource(QIODevice* device)
        : m_device(device)
    {
        m_ready = inflateInit2(&m_stream, 15 + 16) == Z_OK;
        if (!m_ready)
            m_error = "cannot set up decompression";
    }
    ~GzipSource()
    {
        if (m_ready)
            inflateEnd(&m_stream);
    }
    GzipSource(const GzipSource&) = delete;
    GzipSource& operator=(const GzipSource&) = delete;

    // The next piece of decompressed data: its length, 0 at the clean end of
    // the file, -1 on a read error or damaged data.
    la_ssize_t next(const void** data)
    {
        if (!m_ready)
            return -1;
        for (;;) {
            if (m_stream.avail_in == 0 && !m_inputEnded) {
                const qint64 n =
                    m_device->read(reinterpret_cast<char*>(m_in.data()), qint64(m_in.size()));
                if (n < 0)
                    return fail("read error");
                if (n == 0)
                    m_inputEnded = true;
                m_stream.next_in = m_in.data();
                m_stream.avail_in = uInt(n);
            }
            if (m_stream.avail_in == 0) {
                if (m_memberOpen || m_membersDone == 0)
                    return fail("truncated gzip data");
                return 0;
            }
            m_memberOpen = true;
            m_stream.next_out = m_out.data();
            m_stream.avail_out = uInt(m_out.size());
            const int result = inflate(&m_stream, Z_NO_FLUSH);
            const la_ssize_t produced = la_ssize_t(m_out.size() - m_stream.avail_out);
            if (result == Z_STREAM_END) {
                ++m_membersDone;
                m_memberOpen = false;
                inflateReset(&m_stream);
            } else if (result != Z_OK && !(result == Z_BUF_ERROR && m_stream.avail_in == 0)) {
                return fail(m_stream.msg ? m_stream.msg : "damaged gzip data");
            }
            if (produced > 0) {
                *data = m_out.data();
                return produced;
            }
        }
    }

    const char* error() const { return m_error; }

private:
    la_ssize_t fail(const char* message)
    {
        m_error = message;
        m_ready = false;
        inflateEnd(&m_stream);
        return -1;
    }

    QIODevice* m_device;
    z_stream m_stream {};
    std::vector<Bytef> m_in = std::vector<Bytef>(kPieceSize);
    std::vector<Bytef> m_out = std::vector<Bytef>(kPieceSize);
    bool m_ready = false;
    bool m_inputEnded = false;
    bool m_memberOpen = false;
    int m_membersDone = 0;
    const char* m_error = "";
};

la_ssize_t readFromGzip(struct archive* a, void* client, const void** buffer)
{
    auto* source = static_cast<GzipSource*>(client);
    const la_ssize_t n = source->next(buffer);
    if (n < 0)
        archive_set_error(a, EILSEQ, "%s", source->error());
    return n;
}

// Reads up to length bytes of the current entry; fewer only at its end or on an error.
qint64 readData(struct archive* a, char* buffer, qint64 length)
{
    qint64 got = 0;
    while (got < length) {
        const la_ssize_t n = archive_read_data(a, buffer + got, size_t(length - got));
        if (n <= 0)
            break;
        got += n;
    }
    return got;
}

// Parses the whole stream into entries. Returns false on anything but a
// complete, intact archive; the caller then discards what was collected.
bool readEntries(QIODevice* device, std::vector<std::unique_ptr<ArchiveEntry>>& entries)
{
    GzipSource source(device);
    ReadHandle a(archive_read_new());
    if (!a)
        return false;
    archive_read_support_format_tar(a.get());
    if (archive_read_open(a.get(), &source, nullptr, readFromGzip, nullptr) != ARCHIVE_OK) {
        qCDebug(lcArchive) << archive_error_string(a.get());
        return false;
    }

    struct archive_entry* header = nullptr;
    qCDebug(lcArchive) << "archive_read_next_header";
    if (!headerAccepted(archive_read_next_header(a.get(), &header)))
        return false;
    qCDebug(lcArchive) << "archive_read_data";
    char ident[sizeof kIdentData];
    if (readData(a.get(), ident, sizeof ident) != qint64(sizeof ident))
        return false;
    if (std::memcmp(ident, kIdentData, sizeof ident) != 0) {
        qCDebug(lcArchive) << "Not a valid KVA file";
        return false;
    }

    std::vector<char> piece(kPieceSize);
    for (;;) {
        const int result = archive_read_next_header(a.get(), &header);
        if (result == ARCHIVE_EOF)
            break;
        if (!headerAccepted(result)) {
            qCDebug(lcArchive) << archive_error_string(a.get());
            return false;
        }
        const qint64 size = archive_entry_size(header);
        if (size < kRecordHeaderSize || size > MZTArchive::maxEntrySize) {
            qCDebug(lcArchive) << "entry size out of range:" << size;
            return false;
        }

        auto entry = std::make_unique<ArchiveEntry>();
        char record[kRecordHeaderSize];
        qCDebug(lcArchive) << "archive_read_data (MZT_ARCHIVE_HEADER)";
        if (readData(a.get(), record, kRecordHeaderSize) != kRecordHeaderSize)
            return false;
        entry->appendContent(record, kRecordHeaderSize);
        entry->setId(qFromLittleEndian<qint32>(record));
        entry->setType(qFromLittleEndian<qint32>(record + 4));
        entry->setDuration(qFromLittleEndian<quint32>(record + 12));
        qCDebug(lcArchive) << "OPEN ARCHIVE :: size" << size;

        const char* pathname = archive_entry_pathname(header);
        qCDebug(lcArchive) << "archive_read_data --" << pathname;
        entry->setName(QString::fromLatin1(pathname ? pathname : ""));

        // In pieces, so that memory grows only with data that actually arrives.
        qint64 remaining = size - kRecordHeaderSize;
        qint64 total = 0;
        while (remaining > 0) {
            const qint64 n =
                readData(a.get(), piece.data(), std::min<qint64>(remaining, kPieceSize));
            if (n <= 0)
                break;
            entry->appendContent(piece.data(), n);
            remaining -= n;
            total += n;
        }
        qCDebug(lcArchive) << "result =" << total;
        if (remaining != 0) {
            qCDebug(lcArchive) << archive_error_string(a.get());
            return false;
        }
        entries.push_back(std::move(entry));
    }

    // The gzip trailer comes after the tar end mark: the data only counts as
    // intact once the rest of the stream has been read and checked.
    const void* rest = nullptr;
    la_ssize_t n;
    while ((n = source.next(&rest)) > 0) { }
    if (n < 0) {
        qCDebug(lcArchive) << source.error();
        return false;
    }
    return true;
}

} // namespace

bool MZTArchive::writeTo(QIODevice* device) const
{
    WriteHandle a(archive_write_new());
    if (!a)
        return false;
    // Output goes to a file, not a tape: no zero padding after the gzip trailer.
    if (archive_write_add_filter_gzip(a.get()) != ARCHIVE_OK
        || archive_write_set_format_pax_restricted(a.get()) != ARCHIVE_OK
        || archive_write_set_bytes_in_last_block(a.get(), 1) != ARCHIVE_OK
        || archive_write_open(a.get(), device, nullptr, writeToDevice, nullptr) != ARCHIVE_OK) {
        qCDebug(lcArchive) << "archive_write_open failed:" << archive_error_string(a.get());
        return false;
    }
    qCDebug(lcArchive) << "archive_write_open";

    if (!writeHeader(a.get(), kIdentName, sizeof kIdentData)
        || !writeData(a.get(), kIdentData, sizeof kIdentData)) {
        qCDebug(lcArchive) << archive_error_string(a.get());
        return false;
    }

    for (const ArchiveEntry* entry : m_entries) {
        if (!entry)
            continue;
        const QByteArray& content = entry->content();
        // An entry always carries its record header; one that somehow lacks
        // it is written header-only rather than with a size the data cannot fill.
        const qint64 size = std::max<qint64>(content.size(), kRecordHeaderSize);
        char record[kRecordHeaderSize];
        qToLittleEndian<qint32>(entry->id(), record);
        qToLittleEndian<qint32>(entry->type(), record + 4);
        qToLittleEndian<quint32>(storedMemSize(size), record + 8);
        qToLittleEndian<quint32>(entry->duration(), record + 12);
        if (!writeHeader(a.get(), entry->name().toLatin1(), size)
            || !writeData(a.get(), record, kRecordHeaderSize)
            || !writeData(a.get(), content.constData() + kRecordHeaderSize,
                          size - kRecordHeaderSize)) {
            qCDebug(lcArchive) << archive_error_string(a.get());
            return false;
        }
    }

    const int closed = archive_write_close(a.get());
    qCDebug(lcArchive) << "archive_write_close";
    if (closed != ARCHIVE_OK) {
        qCDebug(lcArchive) << archive_error_string(a.get());
        return false;
    }
    const int released = archive_write_free(a.release());
    qCDebug(lcArchive) << "archive_write_finish";
    return released == ARCHIVE_OK;
}

bool MZTArchive::save()
{
    if (m_fileName.isEmpty())
        return false;
    // The new file is written beside the old one and takes its place only
    // when complete, so neither a failure nor a crash can cost the old archive.
    QSaveFile file(m_fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        qCDebug(lcArchive) << "cannot write" << m_fileName << file.errorString();
        return false;
    }
    if (!writeTo(&file)) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        qCDebug(lcArchive) << "cannot write" << m_fileName << file.errorString();
        return false;
    }
    m_modified = false;
    return true;
}

bool MZTArchive::load()
{
    if (!QFileInfo::exists(m_fileName))
        return false;
    qCDebug(lcArchive) << "archive_new";
    qCDebug(lcArchive) << "archive_read_open" << m_fileName;
    QFile file(m_fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcArchive) << file.errorString();
        qCDebug(lcArchive) << "Loading KVA file failed";
        return false;
    }
    return loadFrom(&file);
}

bool MZTArchive::loadFrom(QIODevice* device)
{
    std::vector<std::unique_ptr<ArchiveEntry>> read;
    if (!device || !readEntries(device, read)) {
        qCDebug(lcArchive) << "Loading KVA file failed";
        return false;
    }
    for (auto& entry : read)
        addEntry(entry.release());
    m_modified = false;
    return true;
}
