// Writing and reading .mzt files: a gzip-compressed tar stream whose first
// entry identifies the file and whose further entries are recorder files.
#include "archive_summary.h"
#include "mztarchive.h"

#include "archivelog.h"
#include "regular_file.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QtEndian>

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The identification entry's data: the text and its terminating zero byte.
constexpr char kIdentName[] = "KVA";
constexpr char kIdentData[8] = {'M', 'Z', 'T', '-', '5', '0', '0', '\0'};
constexpr int kRecordHeaderSize = 16;
constexpr int kRegularFilePerm = 0644;
constexpr qsizetype kPieceSize = 64 * 1024;
// The tar stream around the content: a header and padding per entry, the
// identification entry, the end mark and whatever extended headers another
// writer added. Input beyond this cannot be an archive within the bounds.
constexpr qint64 kMaxStreamSize = MZTArchive::maxTotalContent + 64 * 1024 * 1024;
// Compressed data is at most a little larger than the data itself.
constexpr qint64 kMaxFileSize = kMaxStreamSize + kMaxStreamSize / 64;
constexpr size_t kMaxGzipComment = 4096;

MZTArchive::SaveFaults saveFaults;

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
// Anything after the last member must be another complete member. Input and
// output are capped, so neither an endless source nor a gzip bomb behind the
// archive's end runs without limit.
class GzipSource {
public:
    explicit GzipSource(QIODevice* device)
        : m_device(device)
    {
        m_ready = inflateInit2(&m_stream, 15 + 16) == Z_OK;
        if (!m_ready) {
            m_error = "cannot set up decompression";
            return;
        }
        // The first member's header only: inflateReset() forgets it, so
        // later members cannot overwrite what the writer put there.
        m_header.comment = m_comment.data();
        m_header.comm_max = uInt(m_comment.size() - 1);
        inflateGetHeader(&m_stream, &m_header);
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
                m_inputTotal += n;
                if (m_inputTotal > kMaxFileSize)
                    return fail("larger than any archive within the bounds");
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
            m_outputTotal += produced;
            if (m_outputTotal > kMaxStreamSize)
                return fail("more data than an archive within the bounds holds");
            if (produced > 0) {
                *data = m_out.data();
                return produced;
            }
        }
    }

    // Reads to the end of the input: the data only counts as intact once the
    // last member's checksum and length were checked.
    bool drain()
    {
        const void* rest = nullptr;
        la_ssize_t n;
        while ((n = next(&rest)) > 0) { }
        return n == 0;
    }

    const char* error() const { return m_error; }

    // The first member's header comment; empty when it has none.
    QByteArray comment() const
    {
        if (m_header.done != 1 || !m_header.comment)
            return QByteArray();
        return QByteArray(reinterpret_cast<const char*>(m_comment.data()),
                          qsizetype(::strnlen(reinterpret_cast<const char*>(m_comment.data()),
                                              m_comment.size() - 1)));
    }
    // The first member's time stamp, seconds since 1970; 0 when it has none.
    quint32 time() const { return m_header.done == 1 ? quint32(m_header.time) : 0; }

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
    gz_header m_header {};
    // Longer comments are cut by zlib; ours are far shorter.
    std::vector<Bytef> m_comment = std::vector<Bytef>(kMaxGzipComment + 1, 0);
    bool m_ready = false;
    bool m_inputEnded = false;
    bool m_memberOpen = false;
    int m_membersDone = 0;
    qint64 m_inputTotal = 0;
    qint64 m_outputTotal = 0;
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

// A tar reader over a gzip source; null with *error set if it cannot start.
ReadHandle openTarReader(GzipSource* source, QString* error)
{
    ReadHandle a(archive_read_new());
    if (!a) {
        *error = QStringLiteral("out of memory");
        return nullptr;
    }
    archive_read_support_format_tar(a.get());
    if (archive_read_open(a.get(), source, nullptr, readFromGzip, nullptr) != ARCHIVE_OK) {
        *error = QString::fromLocal8Bit(archive_error_string(a.get()));
        qCDebug(lcArchive) << archive_error_string(a.get());
        return nullptr;
    }
    return a;
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

QString libraryError(struct archive* a, const char* fallback)
{
    const char* text = archive_error_string(a);
    return QString::fromLocal8Bit(text && *text ? text : fallback);
}

// The recorder as the gzip comment carries it: a first line naming the
// model, then "key=value" lines with percent-encoded values, so that any
// serial number fits the header's Latin-1 text without a zero byte. Keys
// this version does not know are skipped.
const QByteArray kCommentHead = QByteArrayLiteral("MZT-500");

QByteArray recorderComment(const RecorderIdentity& recorder)
{
    QByteArray comment = kCommentHead + '\n';
    if (!recorder.serial.isEmpty())
        comment += "serial=" + recorder.serial.toUtf8().toPercentEncoding() + '\n';
    if (!recorder.place.isEmpty())
        comment += "place=" + recorder.place.toUtf8().toPercentEncoding() + '\n';
    return comment.left(qsizetype(kMaxGzipComment));
}

RecorderIdentity recorderFromComment(const QByteArray& comment)
{
    RecorderIdentity recorder;
    const QList<QByteArray> lines = comment.split('\n');
    if (lines.value(0) != kCommentHead)
        return recorder;
    for (const QByteArray& line : lines.mid(1)) {
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray key = line.left(equals);
        const QString value =
            QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(equals + 1)));
        if (key == "serial")
            recorder.serial = value;
        else if (key == "place")
            recorder.place = value;
    }
    return recorder;
}

// What a walk through an archive's entries hands on, entry by entry.
class EntryVisitor {
public:
    virtual ~EntryVisitor() = default;
    // record: the entry's first 16 bytes; size: its whole length.
    virtual void begin(const QString& name, qint64 size, const char* record) = 0;
    // The rest of the entry, piece by piece.
    virtual void data(const char* bytes, qint64 length) = 0;
    virtual void end() = 0;
};

// What the gzip header of the walked file said.
struct GzipHeader {
    QByteArray comment;
    quint32 time = 0;
};

// Walks the whole stream. Returns false with *error set on anything but a
// complete, intact archive within the bounds; the visitor then discards what
// it collected.
bool walkEntries(QIODevice* device, EntryVisitor& visitor, QString* error,
                 GzipHeader* gzipHeader = nullptr)
{
    GzipSource source(device);
    ReadHandle a = openTarReader(&source, error);
    if (!a)
        return false;

    struct archive_entry* header = nullptr;
    qCDebug(lcArchive) << "archive_read_next_header";
    if (!headerAccepted(archive_read_next_header(a.get(), &header))) {
        *error = QStringLiteral("not an MZT-500 archive (%1)")
                     .arg(libraryError(a.get(), "no tar entry"));
        return false;
    }
    qCDebug(lcArchive) << "archive_read_data";
    char ident[sizeof kIdentData];
    if (readData(a.get(), ident, sizeof ident) != qint64(sizeof ident)
        || std::memcmp(ident, kIdentData, sizeof ident) != 0) {
        qCDebug(lcArchive) << "Not a valid KVA file";
        *error = QStringLiteral("not an MZT-500 archive");
        return false;
    }

    std::vector<char> piece(kPieceSize);
    qint64 totalContent = 0;
    int entries = 0;
    for (;;) {
        const int result = archive_read_next_header(a.get(), &header);
        if (result == ARCHIVE_EOF)
            break;
        if (!headerAccepted(result)) {
            qCDebug(lcArchive) << archive_error_string(a.get());
            *error = QStringLiteral("damaged (%1)").arg(libraryError(a.get(), "tar header"));
            return false;
        }
        const qint64 size = archive_entry_size(header);
        if (size < kRecordHeaderSize || size > MZTArchive::maxEntrySize) {
            qCDebug(lcArchive) << "entry size out of range:" << size;
            *error = QStringLiteral("an entry of %1 bytes, outside 16 to %2")
                         .arg(size)
                         .arg(MZTArchive::maxEntrySize);
            return false;
        }
        // Checked before anything is allocated for the entry.
        if (entries >= MZTArchive::maxEntries) {
            *error = QStringLiteral("more than %1 entries").arg(MZTArchive::maxEntries);
            return false;
        }
        if (totalContent + size > MZTArchive::maxTotalContent) {
            *error =
                QStringLiteral("more than %1 bytes of content").arg(MZTArchive::maxTotalContent);
            return false;
        }
        totalContent += size;

        char record[kRecordHeaderSize];
        qCDebug(lcArchive) << "archive_read_data (MZT_ARCHIVE_HEADER)";
        if (readData(a.get(), record, kRecordHeaderSize) != kRecordHeaderSize) {
            *error = QStringLiteral("damaged (%1)").arg(libraryError(a.get(), "entry cut short"));
            return false;
        }
        qCDebug(lcArchive) << "OPEN ARCHIVE :: size" << size;
        const char* pathname = archive_entry_pathname(header);
        qCDebug(lcArchive) << "archive_read_data --" << pathname;
        visitor.begin(QString::fromLatin1(pathname ? pathname : ""), size, record);

        qint64 remaining = size - kRecordHeaderSize;
        qint64 total = 0;
        while (remaining > 0) {
            const qint64 n =
                readData(a.get(), piece.data(), std::min<qint64>(remaining, kPieceSize));
            if (n <= 0)
                break;
            visitor.data(piece.data(), n);
            remaining -= n;
            total += n;
        }
        qCDebug(lcArchive) << "result =" << total;
        if (remaining != 0) {
            qCDebug(lcArchive) << archive_error_string(a.get());
            *error = QStringLiteral("damaged (%1)").arg(libraryError(a.get(), "entry cut short"));
            return false;
        }
        visitor.end();
        ++entries;
    }

    // The gzip trailer comes after the tar end mark: the data only counts as
    // intact once the rest of the stream has been read and checked.
    if (!source.drain()) {
        qCDebug(lcArchive) << source.error();
        *error = QStringLiteral("damaged (%1)").arg(QString::fromLatin1(source.error()));
        return false;
    }
    if (gzipHeader)
        *gzipHeader = {source.comment(), source.time()};
    return true;
}

// Builds the archive's entries, each content held whole.
class EntryCollector : public EntryVisitor {
public:
    void begin(const QString& name, qint64 size, const char* record) override
    {
        m_entry = std::make_unique<ArchiveEntry>();
        // The size was within the bounds; reserving it whole keeps a large
        // entry from taking up to twice its size while it grows.
        m_entry->reserveContent(qsizetype(size));
        m_entry->appendContent(record, kRecordHeaderSize);
        m_entry->setId(qFromLittleEndian<qint32>(record));
        m_entry->setType(qFromLittleEndian<qint32>(record + 4));
        m_entry->setDuration(qFromLittleEndian<quint32>(record + 12));
        m_entry->setName(name);
    }
    void data(const char* bytes, qint64 length) override
    {
        m_entry->appendContent(bytes, qsizetype(length));
    }
    void end() override { entries.push_back(std::move(m_entry)); }

    std::vector<std::unique_ptr<ArchiveEntry>> entries;

private:
    std::unique_ptr<ArchiveEntry> m_entry;
};

// The record header a save writes for an entry with these fields and a
// content of this length.
void writtenRecord(char* record, qint32 id, qint32 type, quint32 duration, qint64 length)
{
    qToLittleEndian<qint32>(id, record);
    qToLittleEndian<qint32>(type, record + 4);
    qToLittleEndian<quint32>(MZTArchive::storedMemSize(length), record + 8);
    qToLittleEndian<quint32>(duration, record + 12);
}

// Digests each entry as a save would write it, keeping nothing of the content.
class EntryDigester : public EntryVisitor {
public:
    void begin(const QString& name, qint64 size, const char* record) override
    {
        m_file = SummarizedFile();
        m_file.id = qFromLittleEndian<qint32>(record);
        m_file.type = qFromLittleEndian<qint32>(record + 4);
        m_file.duration = qFromLittleEndian<quint32>(record + 12);
        m_file.name = name;
        m_file.length = size;
        char written[kRecordHeaderSize];
        writtenRecord(written, m_file.id, m_file.type, m_file.duration, size);
        m_hash.reset();
        m_hash.addData(QByteArrayView(written, kRecordHeaderSize));
    }
    void data(const char* bytes, qint64 length) override
    {
        m_hash.addData(QByteArrayView(bytes, qsizetype(length)));
    }
    void end() override
    {
        m_file.digest = m_hash.result();
        // The last entry with an id is the one a restore writes.
        files.insert(m_file.id, m_file);
    }

    QMap<qint32, SummarizedFile> files;

private:
    SummarizedFile m_file;
    QCryptographicHash m_hash {QCryptographicHash::Sha256};
};

// Reads a freshly written file back without keeping its content: every
// member's gzip checksum and length, every tar entry through to the end mark,
// and the number of entries the save wrote.
bool verifyArchive(QIODevice* device, int expectedTarEntries, QString* error)
{
    GzipSource source(device);
    ReadHandle a = openTarReader(&source, error);
    if (!a)
        return false;
    int found = 0;
    struct archive_entry* header = nullptr;
    for (;;) {
        const int result = archive_read_next_header(a.get(), &header);
        if (result == ARCHIVE_EOF)
            break;
        if (!headerAccepted(result) || archive_read_data_skip(a.get()) != ARCHIVE_OK) {
            *error = libraryError(a.get(), "damaged tar data");
            return false;
        }
        ++found;
    }
    if (!source.drain()) {
        *error = QString::fromLatin1(source.error());
        return false;
    }
    if (found != expectedTarEntries) {
        *error =
            QStringLiteral("%1 entries read back of %2 written").arg(found).arg(expectedTarEntries);
        return false;
    }
    return true;
}

// Renaming over a file needs only the folder's permission, so a file its
// owner made read-only would be replaced without a word. Root passes every
// access() check, hence the look at the mode bits too.
bool writeProtected(const QByteArray& path, const struct stat& st)
{
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0
        || (::access(path.constData(), W_OK) != 0 && errno == EACCES);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A save writes its new file as "<archive>.mzt500-save-<pid>-<random>" and
// holds a lock on it until it has taken the archive's place. A save that was
// killed leaves its file behind; the next save into the folder recognises it
// by the name and removes it once neither its writer lives nor anyone holds
// its lock.
constexpr char kSaveMark[] = ".mzt500-save-";

QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

// The writer's pid in a name made by NewFile, or 0 for any other name.
pid_t saveWriterOf(const char* name)
{
    const char* mark = std::strstr(name, kSaveMark);
    if (!mark || mark == name)
        return 0;
    const char* digits = mark + sizeof kSaveMark - 1;
    char* end = nullptr;
    const long pid = std::strtol(digits, &end, 10);
    if (end == digits || *end != '-' || end[1] == '\0' || pid <= 0 || pid > INT_MAX)
        return 0;
    for (const char* c = end + 1; *c; ++c)
        if (!std::isalnum(uchar(*c)))
            return 0;
    return pid_t(pid);
}

bool processLives(pid_t pid)
{
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

void removeStaleSaves(const QByteArray& folder)
{
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t writer = saveWriterOf(entry->d_name);
        if (writer == 0 || writer == ::getpid() || processLives(writer))
            continue;
        const int fd = ::openat(dirFd, entry->d_name,
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st { };
        // A writer in another pid namespace still holds the lock.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (::unlinkat(dirFd, entry->d_name, 0) == 0)
                qCDebug(lcArchive)
                    << "removed the leftover of an interrupted save:" << entry->d_name;
        }
        ::close(fd);
    }
    ::closedir(dir);
}

// The file a save writes beside the archive. Every write, the flush to the
// disk and the close are checked, the file is read back, and only then does
// it take the archive's place; until then, and whenever anything fails, the
// archive's file is not touched and the new file is removed.
class NewFile {
public:
    explicit NewFile(const QByteArray& target)
        : m_target(target)
    {
    }
    ~NewFile()
    {
        closeFile();
        if (!m_path.isEmpty() && !m_replaced)
            ::unlink(m_path.constData());
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Made in the target's folder, so that the final rename cannot cross file
    // systems; with the old file's permissions when there is one.
    bool create(const struct stat* old)
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const QByteArray path = m_target + kSaveMark + QByteArray::number(::getpid()) + '-'
                + QByteArray::number(QRandomGenerator::global()->generate(), 36);
            m_fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (m_fd >= 0) {
                m_path = path;
                // Until the rename, the lock tells a cleaner that this file
                // is being written; the pid in the name covers the moment
                // before it is taken.
                if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
                    qCDebug(lcArchive) << "cannot lock the new file:" << std::strerror(errno);
                break;
            }
            if (errno != EEXIST && errno != EINTR)
                return fail("cannot create the new file");
        }
        if (m_fd < 0)
            return fail("cannot create the new file");
        if (old && ::fchmod(m_fd, old->st_mode & 07777) != 0)
            qCDebug(lcArchive) << "cannot keep the permissions:" << std::strerror(errno);
        return true;
    }

    bool write(const char* data, qint64 length)
    {
        while (length > 0) {
            qint64 chunk = length;
            if (saveFaults.spaceLeft >= 0) {
                const qint64 room = saveFaults.spaceLeft - m_written;
                if (room <= 0) {
                    errno = ENOSPC;
                    return fail("cannot write the new file");
                }
                chunk = std::min(chunk, room);
            }
            if (!writeChunk(data, chunk))
                return false;
            data += chunk;
            length -= chunk;
        }
        return true;
    }

    // Flushes the file to the disk and closes it: a full disk or a failing
    // device often shows only here.
    bool finish()
    {
        if (saveFaults.failSync) {
            errno = EIO;
            return fail("cannot flush the new file to the disk");
        }
        if (::fsync(m_fd) != 0)
            return fail("cannot flush the new file to the disk");
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0 || saveFaults.failClose) {
            if (saveFaults.failClose)
                errno = EIO;
            return fail("cannot close the new file");
        }
        return true;
    }

    bool verify(int expectedTarEntries)
    {
        QFile file;
        QString reason;
        if (!mzt::openRegularFile(file, mzt::pathFromNative(m_path), &reason)) {
            m_error = QStringLiteral("cannot read the new file back: %1").arg(reason);
            return false;
        }
        if (file.size() != m_written) {
            m_error = QStringLiteral("the new file holds %1 of the %2 bytes written")
                          .arg(file.size())
                          .arg(m_written);
            return false;
        }
        if (!verifyArchive(&file, expectedTarEntries, &reason)) {
            m_error = QStringLiteral("the new file reads back damaged: %1").arg(reason);
            return false;
        }
        return true;
    }

    bool replaceTarget()
    {
        if (saveFaults.failReplace) {
            errno = EIO;
            return fail("cannot replace the archive");
        }
        if (::rename(m_path.constData(), m_target.constData()) != 0)
            return fail("cannot replace the archive");
        m_replaced = true;
        // The rename itself only lasts once the folder is on the disk; the
        // archive is complete under either name meanwhile, so a failure here
        // is not the save's.
        const QByteArray folder = folderOf(m_target);
        const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            if (::fsync(dir) != 0)
                qCDebug(lcArchive) << "cannot flush the folder:" << std::strerror(errno);
            ::close(dir);
        }
        return true;
    }

    QString error() const { return m_error; }

private:
    bool writeChunk(const char* data, qint64 length)
    {
        QByteArray damaged;
        if (saveFaults.damageAt >= m_written && saveFaults.damageAt < m_written + length) {
            damaged = QByteArray(data, qsizetype(length));
            const qsizetype at = qsizetype(saveFaults.damageAt - m_written);
            damaged[at] = char(damaged[at] ^ 0x10);
            data = damaged.constData();
        }
        qint64 toDisk = length;
        if (saveFaults.loseFrom >= 0)
            toDisk = std::clamp<qint64>(saveFaults.loseFrom - m_written, 0, length);
        while (toDisk > 0) {
            const ssize_t n = ::write(m_fd, data, size_t(toDisk));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return fail("cannot write the new file");
            }
            data += n;
            toDisk -= n;
            length -= n;
            m_written += n;
        }
        // What a lost write reported as written.
        m_written += length;
        return true;
    }

    bool fail(const char* what)
    {
        m_error = QStringLiteral("%1: %2").arg(QLatin1String(what), systemError(errno));
        qCDebug(lcArchive).noquote() << m_error;
        return false;
    }

    void closeFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    QByteArray m_target;
    QByteArray m_path;
    int m_fd = -1;
    qint64 m_written = 0;
    bool m_replaced = false;
    QString m_error;
};

// Compresses the tar stream the library writes into a gzip member of our
// own making: the library's gzip filter cannot put a comment in the header,
// and the comment is where the recorder is recorded. The member is what the
// library would write otherwise (default level, time stamp, Unix), with the
// comment and a header checksum added, so a damaged comment is refused
// rather than read as another recorder.
class GzipSink {
public:
    GzipSink(NewFile* file, const QByteArray& comment)
        : m_file(file)
        , m_comment(comment)
    {
        m_comment.append('\0');
        m_ready = deflateInit2(&m_stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                               Z_DEFAULT_STRATEGY)
            == Z_OK;
        if (!m_ready)
            return;
        m_header.time = uLong(std::time(nullptr));
        m_header.os = 3; // Unix
        m_header.comment = reinterpret_cast<Bytef*>(m_comment.data());
        m_header.hcrc = 1;
        m_ready = deflateSetHeader(&m_stream, &m_header) == Z_OK;
    }
    ~GzipSink() { deflateEnd(&m_stream); }
    GzipSink(const GzipSink&) = delete;
    GzipSink& operator=(const GzipSink&) = delete;

    bool write(const void* data, size_t length)
    {
        m_stream.next_in = static_cast<Bytef*>(const_cast<void*>(data));
        m_stream.avail_in = uInt(length);
        return deflateAll(Z_NO_FLUSH);
    }
    // The last compressed data and the trailer.
    bool finish()
    {
        m_stream.next_in = nullptr;
        m_stream.avail_in = 0;
        return deflateAll(Z_FINISH);
    }

private:
    bool deflateAll(int flush)
    {
        if (!m_ready)
            return false;
        for (;;) {
            m_stream.next_out = m_out.data();
            m_stream.avail_out = uInt(m_out.size());
            const int result = deflate(&m_stream, flush);
            if (result == Z_STREAM_ERROR)
                return false;
            const qint64 produced = qint64(m_out.size() - m_stream.avail_out);
            if (produced > 0
                && !m_file->write(reinterpret_cast<const char*>(m_out.data()), produced))
                return false;
            if (flush == Z_FINISH ? result == Z_STREAM_END
                                  : m_stream.avail_in == 0 && m_stream.avail_out != 0)
                return true;
        }
    }

    NewFile* m_file;
    QByteArray m_comment;
    z_stream m_stream {};
    gz_header m_header {};
    std::vector<Bytef> m_out = std::vector<Bytef>(kPieceSize);
    bool m_ready = false;
};

la_ssize_t writeToGzip(struct archive* a, void* client, const void* buffer, size_t length)
{
    auto* sink = static_cast<GzipSink*>(client);
    if (!sink->write(buffer, length)) {
        archive_set_error(a, EIO, "cannot compress the archive");
        return -1;
    }
    return la_ssize_t(length);
}

// Writes the whole archive through the library into file.
bool writeArchive(const QList<ArchiveEntry*>& entries, const RecorderIdentity& recorder,
                  NewFile* file, QString* error)
{
    GzipSink sink(file, recorderComment(recorder));
    WriteHandle a(archive_write_new());
    if (!a) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    const auto failed = [&] {
        qCDebug(lcArchive) << archive_error_string(a.get());
        // The file's own reason (a full disk) says more than the library's.
        *error = file->error().isEmpty() ? libraryError(a.get(), "write error") : file->error();
        return false;
    };
    // Output goes to a file, not a tape: no zero padding after the tar end mark.
    if (archive_write_set_format_pax_restricted(a.get()) != ARCHIVE_OK
        || archive_write_set_bytes_in_last_block(a.get(), 1) != ARCHIVE_OK
        || archive_write_open(a.get(), &sink, nullptr, writeToGzip, nullptr) != ARCHIVE_OK) {
        qCDebug(lcArchive) << "archive_write_open failed";
        return failed();
    }
    qCDebug(lcArchive) << "archive_write_open";

    if (!writeHeader(a.get(), kIdentName, sizeof kIdentData)
        || !writeData(a.get(), kIdentData, sizeof kIdentData))
        return failed();

    for (const ArchiveEntry* entry : entries) {
        if (!entry)
            continue;
        const QByteArray& content = entry->content();
        // An entry always carries its record header; one that somehow lacks
        // it is written header-only rather than with a size the data cannot fill.
        const qint64 size = std::max<qint64>(content.size(), kRecordHeaderSize);
        char record[kRecordHeaderSize];
        writtenRecord(record, entry->id(), entry->type(), entry->duration(), size);
        if (!writeHeader(a.get(), entry->name().toLatin1(), size)
            || !writeData(a.get(), record, kRecordHeaderSize)
            || !writeData(a.get(), content.constData() + kRecordHeaderSize,
                          size - kRecordHeaderSize))
            return failed();
    }

    // The tar stream's last block goes out here.
    const int closed = archive_write_close(a.get());
    qCDebug(lcArchive) << "archive_write_close";
    if (closed != ARCHIVE_OK)
        return failed();
    const int released = archive_write_free(a.release());
    qCDebug(lcArchive) << "archive_write_finish";
    // Then the last compressed data and the gzip trailer.
    if (released != ARCHIVE_OK || !sink.finish()) {
        *error = file->error().isEmpty() ? QStringLiteral("write error") : file->error();
        return false;
    }
    return true;
}

} // namespace

void MZTArchive::setSaveFaults(const SaveFaults& faults)
{
    saveFaults = faults;
}

bool MZTArchive::fail(const QString& reason)
{
    if (m_failure == Failure::None)
        m_failure = Failure::Other;
    m_error = reason;
    qCDebug(lcArchive).noquote() << m_fileName << reason;
    return false;
}

bool MZTArchive::save()
{
    m_error.clear();
    m_failure = Failure::None;
    if (m_fileName.isEmpty())
        return fail(QStringLiteral("the archive has no file name"));

    int tarEntries = 1; // the identification entry
    qint64 totalContent = 0;
    for (const ArchiveEntry* entry : std::as_const(m_entries)) {
        if (!entry)
            continue;
        ++tarEntries;
        totalContent += std::max<qint64>(entry->content().size(), kRecordHeaderSize);
    }
    if (tarEntries - 1 > maxEntries)
        return fail(QStringLiteral("more than %1 entries").arg(maxEntries));
    if (totalContent > maxTotalContent)
        return fail(QStringLiteral("more than %1 bytes of content").arg(maxTotalContent));

    // A link is followed: the file it points to is replaced, the link stays.
    QByteArray nativeTarget = mzt::nativePath(m_fileName);
    struct stat link { };
    if (::lstat(nativeTarget.constData(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* resolved = ::realpath(nativeTarget.constData(), nullptr)) {
            nativeTarget = resolved;
            std::free(resolved);
        }
    }
    struct stat old { };
    const bool exists = ::stat(nativeTarget.constData(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return fail(mzt::notRegularFileReason(old.st_mode));
    if (exists && writeProtected(nativeTarget, old)) {
        m_failure = Failure::WriteProtected;
        return fail(QStringLiteral("the file is write-protected"));
    }

    removeStaleSaves(folderOf(nativeTarget));
    NewFile file(nativeTarget);
    QString reason;
    if (!file.create(exists ? &old : nullptr)
        || !writeArchive(m_entries, m_recorder, &file, &reason) || !file.finish()
        || !file.verify(tarEntries) || !file.replaceTarget())
        return fail(reason.isEmpty() ? file.error() : reason);
    m_modified = false;
    return true;
}

bool MZTArchive::isWriteProtected(const QString& fileName)
{
    const QByteArray native = mzt::nativePath(fileName);
    struct stat st { };
    return ::stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode)
        && writeProtected(native, st);
}

bool MZTArchive::load()
{
    m_error.clear();
    m_failure = Failure::None;
    struct stat st { };
    if (::stat(mzt::nativePath(m_fileName).constData(), &st) != 0 && errno == ENOENT) {
        m_error = QStringLiteral("no such file");
        m_failure = Failure::Other;
        return false;
    }
    qCDebug(lcArchive) << "archive_new";
    qCDebug(lcArchive) << "archive_read_open" << m_fileName;
    QFile file;
    QString reason;
    // Never a FIFO or a device: opening one may block for ever, reading one
    // may never end.
    if (!mzt::openRegularFile(file, m_fileName, &reason)) {
        qCDebug(lcArchive) << "Loading KVA file failed";
        return fail(reason);
    }
    return loadFrom(&file);
}

bool MZTArchive::loadFrom(QIODevice* device)
{
    m_error.clear();
    m_failure = Failure::None;
    EntryCollector read;
    GzipHeader gzipHeader;
    QString reason = QStringLiteral("nothing to read");
    if (!device || !walkEntries(device, read, &reason, &gzipHeader)) {
        qCDebug(lcArchive) << "Loading KVA file failed";
        return fail(reason);
    }
    for (auto& entry : read.entries)
        addEntry(entry.release());
    m_recorder = recorderFromComment(gzipHeader.comment);
    m_modified = false;
    return true;
}

QByteArray writtenDigest(qint32 id, qint32 type, quint32 duration, const QByteArray& content)
{
    const qint64 length = std::max<qint64>(content.size(), kRecordHeaderSize);
    char record[kRecordHeaderSize];
    writtenRecord(record, id, type, duration, length);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView(record, kRecordHeaderSize));
    if (content.size() > kRecordHeaderSize)
        hash.addData(QByteArrayView(content).sliced(kRecordHeaderSize));
    return hash.result();
}

std::optional<ArchiveSummary> summarizeArchive(const QString& fileName, QString* error)
{
    QFile file;
    if (!mzt::openRegularFile(file, fileName, error))
        return std::nullopt;
    EntryDigester digester;
    GzipHeader gzipHeader;
    if (!walkEntries(&file, digester, error, &gzipHeader))
        return std::nullopt;
    ArchiveSummary summary;
    summary.recorder = recorderFromComment(gzipHeader.comment);
    if (gzipHeader.time != 0)
        summary.writtenAt = QDateTime::fromSecsSinceEpoch(gzipHeader.time, Qt::UTC);
    summary.files = digester.files.values();
    return summary;
}
