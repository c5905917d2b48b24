// Gzip and tar streams made by hand, for archives no save would write:
// damaged, oversized or from other writers.
#pragma once

#include "mztarchive.h"

#include <QBuffer>
#include <QByteArray>

#include <zlib.h>

#include <algorithm>

// Runs step (a deflate or inflate call) over data, a chunk of output at a
// time, for as long as keepGoing says; what comes out is appended to out.
// Returns the step's last result.
template <typename Step, typename KeepGoing>
int zlibPump(z_stream& z, const char* data, qint64 size, QByteArray* out, Step step,
             KeepGoing keepGoing)
{
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = uInt(size);
    char chunk[16384];
    int result;
    do {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        result = step(z);
        out->append(chunk, qsizetype(sizeof chunk - z.avail_out));
    } while (keepGoing(z, result));
    return result;
}

// A gzip stream written piece by piece, so that large test files need not be
// held in memory uncompressed.
class GzipWriter {
public:
    // comment: the header's comment field, as another writer may fill it.
    explicit GzipWriter(const QByteArray& comment = QByteArray())
        : m_comment(comment)
    {
        deflateInit2(&m_z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
        if (!m_comment.isEmpty()) {
            m_header.comment = reinterpret_cast<Bytef*>(m_comment.data());
            deflateSetHeader(&m_z, &m_header);
        }
    }
    ~GzipWriter() { deflateEnd(&m_z); }
    void append(const QByteArray& bytes) { run(bytes.constData(), bytes.size(), Z_NO_FLUSH); }
    void appendZeros(qint64 count)
    {
        const QByteArray zeros(1 << 20, '\0');
        for (; count > 0; count -= zeros.size())
            run(zeros.constData(), std::min<qint64>(count, zeros.size()), Z_NO_FLUSH);
    }
    QByteArray finish()
    {
        run(nullptr, 0, Z_FINISH);
        return m_out;
    }

private:
    void run(const char* data, qint64 size, int flush)
    {
        zlibPump(
            m_z, data, size, &m_out, [flush](z_stream& z) { return deflate(&z, flush); },
            [flush](const z_stream& z, int result) {
                return z.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END);
            });
    }
    QByteArray m_comment; // zero-terminated by QByteArray
    gz_header m_header {};
    z_stream m_z {};
    QByteArray m_out;
};

inline QByteArray gzip(const QByteArray& bytes, const QByteArray& comment = QByteArray())
{
    GzipWriter writer(comment);
    writer.append(bytes);
    return writer.finish();
}

inline QByteArray gunzip(const QByteArray& bytes)
{
    z_stream z {};
    inflateInit2(&z, 15 + 16);
    QByteArray out;
    const int result = zlibPump(
        z, bytes.constData(), bytes.size(), &out,
        [](z_stream& stream) { return inflate(&stream, Z_NO_FLUSH); },
        [](const z_stream&, int step) { return step == Z_OK; });
    inflateEnd(&z);
    return result == Z_STREAM_END ? out : QByteArray();
}

// A ustar header block; size in octal may announce more data than follows.
inline QByteArray ustarHeader(const QByteArray& name, qint64 size, char type = '0')
{
    QByteArray h(512, '\0');
    auto put = [&h](int offset, const QByteArray& field) {
        std::copy(field.begin(), field.end(), h.begin() + offset);
    };
    put(0, name.left(100));
    put(100, "0000644");
    put(108, "0000000");
    put(116, "0000000");
    put(124, QByteArray::number(size, 8).rightJustified(11, '0'));
    put(136, "00000000000");
    put(148, "        ");
    h[156] = type;
    put(257,
        QByteArray("ustar\0"
                   "00",
                   8));
    unsigned sum = 0;
    for (char c : h)
        sum += static_cast<unsigned char>(c);
    put(148, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0');
    return h;
}

inline QByteArray tarMember(const QByteArray& name, const QByteArray& data, char type = '0')
{
    QByteArray member = ustarHeader(name, data.size(), type) + data;
    member.append(QByteArray((512 - data.size() % 512) % 512, '\0'));
    return member;
}

inline const QByteArray identData("MZT-500\0", 8);
inline const QByteArray tarEnd(1024, '\0');

inline bool loadBytes(MZTArchive& archive, const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return archive.loadFrom(&buffer);
}
