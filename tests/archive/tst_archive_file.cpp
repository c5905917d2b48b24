// Writing and reading .mzt files: round trips, files of other tar writers,
// damaged files and failed saves.
#include "archive_summary.h"
#include "archivetestdata.h"
#include "mztarchive.h"
#include "tarbuilder.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Everything a load yields, comparable as a whole.
QList<QByteArray> snapshot(const MZTArchive& archive)
{
    QList<QByteArray> result;
    for (const ArchiveEntry* e : archive.entries()) {
        result.append(e->name().toUtf8() + '|' + QByteArray::number(e->id()) + '|'
                      + QByteArray::number(e->type()) + '|' + QByteArray::number(e->duration())
                      + '|' + e->content());
    }
    return result;
}

struct ToolRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ToolRun runTool(const QString& program, const QStringList& arguments)
{
    ToolRun run;
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// Restores the file size limit and SIGXFSZ however the test ends.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old {};
    void (*m_oldHandler)(int) = nullptr;
};

} // namespace

class TestArchiveFile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTrip();
    void emptyArchive();
    void missingOrUnnamedFile();
    void systemTarReadsOurFiles();
    void recorderInGzipComment();
    void summaryDigestsAsWritten();
    void filesFromSystemTar_data();
    void filesFromSystemTar();
    void truncatedFiles();
    void flippedBytes();
    void damagedGzipTrailer();
    void damagedTarInsideIntactGzip();
    void concatenatedGzipMembers();
    void entrySizeLimit();
    void nonAsciiNames();
    void nativeFileNames();
    void failedLoadLeavesArchiveAlone();
    void saveToImpossiblePath();
    void saveIntoReadOnlyDirectory();
    void failedWriteKeepsOldFile();

private:
    // A small archive of mixed entries, saved once for the damage tests.
    void makeSample(MZTArchive& archive);
    QTemporaryDir m_dir;
    QByteArray m_sampleFile;
    QList<QByteArray> m_sampleLoaded;
    // Blanks, a slash, a quote and a letter beyond ASCII: all must survive.
    const RecorderIdentity m_sampleRecorder {QStringLiteral("KV 00/01 \"\u00e9\""),
                                             QStringLiteral("0x0123")};
};

void TestArchiveFile::initTestCase()
{
    QVERIFY(m_dir.isValid());
    MZTArchive archive(m_dir.filePath("sample.mzt"));
    makeSample(archive);
    QVERIFY(archive.save());
    m_sampleFile = readAll(archive.fileName());
    QVERIFY(!m_sampleFile.isEmpty());
    MZTArchive loaded(archive.fileName());
    QVERIFY(loaded.load());
    m_sampleLoaded = snapshot(loaded);
    QCOMPARE(m_sampleLoaded.size(), 3);
    QCOMPARE(loaded.recorder(), m_sampleRecorder);
}

void TestArchiveFile::makeSample(MZTArchive& archive)
{
    archive.addEntry(
        testdata::entryFor("SEQUENCE 02", testdata::recorderFile(2, 1, 0, 61000, 300, 11)));
    archive.addEntry(testdata::entryFor("SETTINGS", testdata::recorderFile(0, 0, 0, 0, 200, 12)));
    archive.addEntry(
        testdata::entryFor("SEQUENCE 05", testdata::recorderFile(5, 1, 0, 1500, 250, 13)));
    archive.setRecorder(m_sampleRecorder);
}

void TestArchiveFile::roundTrip()
{
    const QString path = m_dir.filePath("roundtrip.mzt");
    MZTArchive archive(path);
    // Downloaded with the recorder's own memory size 5000 in its header.
    archive.addEntry(
        testdata::entryFor("SEQUENCE 03", testdata::recorderFile(3, 1, 5000, 65499, 3000, 1)));
    archive.addEntry(
        testdata::entryFor("SETTINGS", testdata::recorderFile(0, 0, 77, 123, 1008, 2)));
    // Same id twice, and a type no recorder uses: both stored as they are.
    archive.addEntry(
        testdata::entryFor("SEQUENCE 03", testdata::recorderFile(3, 1, 9, 500, 1024, 3)));
    archive.addEntry(testdata::entryFor("UNKNOWN", testdata::recorderFile(9, 7, 12, 0, 16, 4)));
    // Renumbered after the download: the fields win over the old header words.
    ArchiveEntry* renumbered =
        testdata::entryFor("SEQUENCE 05", testdata::recorderFile(5, 1, 0, 2000, 40, 5));
    renumbered->setId(6);
    renumbered->setName("SEQUENCE 06");
    archive.addEntry(renumbered);
    const QList<QByteArray> before = snapshot(archive);

    QCOMPARE(archive.entries().first()->memSizeText(), QStringLiteral("4.88 KBytes"));
    QVERIFY(archive.isModified());
    QVERIFY(archive.save());
    QVERIFY(!archive.isModified());
    // Saving rewrites the header in the file only; the entries stay as they were.
    QCOMPARE(snapshot(archive), before);
    QCOMPARE(archive.entries().first()->memSizeText(), QStringLiteral("4.88 KBytes"));

    MZTArchive loaded(path);
    QVERIFY(loaded.load());
    QVERIFY(!loaded.isModified());
    QCOMPARE(loaded.fileName(), path);
    QCOMPARE(loaded.entries().size(), 5);
    const QList<const char*> names {"SEQUENCE 03", "SETTINGS", "SEQUENCE 03", "UNKNOWN",
                                    "SEQUENCE 06"};
    const QList<int> ids {3, 0, 3, 9, 6};
    const QList<int> types {1, 0, 1, 7, 1};
    const QList<QString> sizes {"3.00 KBytes", "1.00 KBytes", "2.00 KBytes", "1.00 KBytes",
                                "1.00 KBytes"};
    for (int i = 0; i < 5; ++i) {
        const ArchiveEntry* e = loaded.entries().at(i);
        QCOMPARE(e->name(), QString::fromLatin1(names[i]));
        QCOMPARE(e->id(), ids[i]);
        QCOMPARE(e->type(), types[i]);
        QCOMPARE(e->duration(), archive.entries().at(i)->duration());
        QCOMPARE(e->content(), testdata::storedContent(*archive.entries().at(i)));
        QCOMPARE(e->memSizeText(), sizes[i]);
    }
    QCOMPARE(loaded.entries().at(3)->content().size(), 16);

    // A reload of the reload gives the same again.
    QVERIFY(loaded.save());
    MZTArchive again(path);
    QVERIFY(again.load());
    QCOMPARE(snapshot(again), snapshot(loaded));
}

void TestArchiveFile::emptyArchive()
{
    const QString path = m_dir.filePath("empty.mzt");
    MZTArchive archive(path);
    archive.setModified(true);
    QVERIFY(archive.save());
    QVERIFY(!archive.isModified());

    MZTArchive loaded(path);
    QVERIFY(loaded.load());
    QVERIFY(loaded.entries().isEmpty());
    QVERIFY(!loaded.isModified());

    // Exactly one tar entry: the identification.
    const QByteArray tar = gunzip(readAll(path));
    QCOMPARE(tar.left(4), QByteArray("KVA\0", 4));
    QCOMPARE(tar.mid(124, 11), QByteArray("00000000010"));
    QCOMPARE(tar.mid(512, 8), identData);
    QCOMPARE(tar.mid(1024), QByteArray(tar.size() - 1024, '\0'));

    // An entry that never received its record header is written header-only,
    // so the file stays readable.
    auto* blank = new ArchiveEntry;
    blank->setName("SEQUENCE 08");
    blank->setId(8);
    blank->setType(1);
    blank->setDuration(4000);
    archive.addEntry(blank);
    QVERIFY(archive.save());
    MZTArchive reloaded(path);
    QVERIFY(reloaded.load());
    QCOMPARE(reloaded.entries().size(), 1);
    QCOMPARE(reloaded.entries().first()->id(), 8);
    QCOMPARE(reloaded.entries().first()->duration(), 4000u);
    QCOMPARE(reloaded.entries().first()->content(),
             testdata::storedContent(*reloaded.entries().first()));
    QCOMPARE(reloaded.entries().first()->content().size(), 16);
}

void TestArchiveFile::missingOrUnnamedFile()
{
    MZTArchive missing(m_dir.filePath("no-such-file.mzt"));
    QVERIFY(!missing.load());
    QVERIFY(missing.entries().isEmpty());

    MZTArchive unnamed;
    unnamed.addEntry(testdata::entryFor("SETTINGS", testdata::recorderFile(0, 0, 0, 0, 16, 1)));
    QVERIFY(!unnamed.save());
    QVERIFY(unnamed.isModified());
    QVERIFY(!unnamed.load());
    QCOMPARE(unnamed.entries().size(), 1);
}

void TestArchiveFile::systemTarReadsOurFiles()
{
    const QString tar = QStandardPaths::findExecutable("tar");
    if (tar.isEmpty())
        QSKIP("no tar on this machine");
    const QString path = m_dir.filePath("for-tar.mzt");
    MZTArchive archive(path);
    makeSample(archive); // with a recorder in the gzip header
    archive.addEntry(
        testdata::entryFor("SEQUENCE 64", testdata::recorderFile(64, 1, 0, 1, 70000, 14)));
    QVERIFY(archive.save());

    const ToolRun listing = runTool(tar, {"-tzvf", path});
    QCOMPARE(listing.exitCode, 0);
    QCOMPARE(listing.err, QByteArray());
    const QStringList lines = QString::fromUtf8(listing.out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5);
    const QRegularExpression line(R"(^(\S+) +\S+ +(\d+) +\S+ +\S+ (.*)$)");
    QStringList names {"KVA"};
    QList<qint64> sizes {8};
    for (const ArchiveEntry* e : archive.entries()) {
        names.append(e->name());
        sizes.append(e->content().size());
    }
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = line.match(lines[i]);
        QVERIFY2(m.hasMatch(), qPrintable(lines[i]));
        QCOMPARE(m.captured(1), QStringLiteral("-rw-r--r--"));
        QCOMPARE(m.captured(2).toLongLong(), sizes[i]);
        QCOMPARE(m.captured(3), names[i]);
    }

    // What tar extracts is the content with its rewritten header.
    const QString out = m_dir.filePath("extracted");
    QVERIFY(QDir().mkpath(out));
    const ToolRun extract = runTool(tar, {"-xzf", path, "-C", out});
    QCOMPARE(extract.exitCode, 0);
    QCOMPARE(readAll(out + "/KVA"), identData);
    for (const ArchiveEntry* e : archive.entries())
        QCOMPARE(readAll(out + '/' + e->name()), testdata::storedContent(*e));
}

void TestArchiveFile::filesFromSystemTar_data()
{
    QTest::addColumn<QString>("firstName");
    QTest::addColumn<QByteArray>("firstData");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("identification") << "KVA" << identData << true;
    QTest::newRow("other first name") << "readme.txt" << identData << true;
    QTest::newRow("longer first entry") << "KVA" << (identData + "extra") << true;
    QTest::newRow("no zero byte") << "KVA" << QByteArray("MZT-500") << false;
    QTest::newRow("other model") << "KVA" << QByteArray("MZT-501\0", 8) << false;
    QTest::newRow("empty first entry") << "KVA" << QByteArray() << false;
}

void TestArchiveFile::filesFromSystemTar()
{
    QFETCH(QString, firstName);
    QFETCH(QByteArray, firstData);
    QFETCH(bool, accepted);
    const QString tar = QStandardPaths::findExecutable("tar");
    if (tar.isEmpty())
        QSKIP("no tar on this machine");

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString src = work.filePath("src");
    QVERIFY(QDir().mkpath(src));
    const QByteArray seq = testdata::recorderFile(1, 1, 4096, 3725400, 40, 21);
    const QByteArray settings = testdata::recorderFile(0, 0, 1024, 0, 20, 22);
    QVERIFY(writeAll(src + '/' + firstName, firstData));
    QVERIFY(writeAll(src + "/SEQUENCE 01", seq));
    QVERIFY(writeAll(src + "/SETTINGS", settings));
    const QString path = work.filePath("made-by-tar.mzt");
    const ToolRun made = runTool(
        tar, {"--format=ustar", "-czf", path, "-C", src, firstName, "SEQUENCE 01", "SETTINGS"});
    QCOMPARE(made.exitCode, 0);

    MZTArchive archive(path);
    QCOMPARE(archive.load(), accepted);
    QVERIFY(!archive.isModified());
    if (!accepted) {
        QVERIFY(archive.entries().isEmpty());
        return;
    }
    QCOMPARE(archive.entries().size(), 2);
    const ArchiveEntry* first = archive.entries().at(0);
    QCOMPARE(first->name(), QStringLiteral("SEQUENCE 01"));
    QCOMPARE(first->id(), 1);
    QCOMPARE(first->type(), 1);
    QCOMPARE(first->duration(), 3725400u);
    QCOMPARE(first->durationText(), QStringLiteral("1:02:05"));
    QCOMPARE(first->memSizeText(), QStringLiteral("4.00 KBytes"));
    QCOMPARE(first->content(), seq);
    QCOMPARE(archive.entries().at(1)->name(), QStringLiteral("SETTINGS"));
    QCOMPARE(archive.entries().at(1)->content(), settings);
}

void TestArchiveFile::recorderInGzipComment()
{
    // The recorder sits in the gzip header's comment, behind the flag that
    // announces it, and nowhere in the tar stream.
    QCOMPARE(quint8(m_sampleFile[0]), quint8(0x1f));
    QCOMPARE(quint8(m_sampleFile[1]), quint8(0x8b));
    QVERIFY(quint8(m_sampleFile[3]) & 0x10);
    const QByteArray stream = gunzip(m_sampleFile);
    QVERIFY(!stream.isEmpty());
    QVERIFY(!stream.contains("KV 00"));
    QVERIFY(!stream.contains("serial"));

    // Saved again it stays; a file of another writer, without a comment,
    // has no recorder and loads as before.
    const QString path = m_dir.filePath("recorder.mzt");
    QVERIFY(writeAll(path, m_sampleFile));
    MZTArchive loaded(path);
    QVERIFY(loaded.load());
    QCOMPARE(loaded.recorder(), m_sampleRecorder);
    QVERIFY(loaded.save());
    MZTArchive again(path);
    QVERIFY(again.load());
    QCOMPARE(again.recorder(), m_sampleRecorder);

    MZTArchive foreign;
    QVERIFY(loadBytes(foreign, gzip(tarMember("KVA", identData) + tarEnd)));
    QVERIFY(foreign.recorder().isEmpty());

    // A comment of another program is no recorder.
    MZTArchive otherComment;
    QVERIFY(loadBytes(otherComment,
                      gzip(tarMember("KVA", identData) + tarEnd, "serial=KV1\nplace=2\n")));
    QVERIFY(otherComment.recorder().isEmpty());
}

void TestArchiveFile::summaryDigestsAsWritten()
{
    // Two entries of one id (the last counts, as for a restore), one whose
    // memory size word is the recorder's own: the digest is that of the
    // file as a save writes it, whatever the word held.
    const QByteArray first = testdata::recorderFile(7, 1, 0, 1000, 400, 21);
    const QByteArray second = testdata::recorderFile(7, 1, 0, 2000, 500, 22);
    const QByteArray settings = testdata::recorderFile(0, 0, 9999, 0, 200, 23);
    const QString path = m_dir.filePath("summary.mzt");
    QVERIFY(writeAll(path,
                     gzip(tarMember("KVA", identData) + tarMember("SEQUENCE 07", first)
                          + tarMember("SETTINGS", settings) + tarMember("SEQUENCE 07", second)
                          + tarEnd)));
    QString error;
    const std::optional<ArchiveSummary> summary = summarizeArchive(path, &error);
    QVERIFY2(summary, qPrintable(error));
    QCOMPARE(summary->files.size(), 2);
    QCOMPARE(summary->files[0].id, 0);
    QCOMPARE(summary->files[0].length, settings.size());
    QCOMPARE(summary->files[1].id, 7);
    QCOMPARE(summary->files[1].duration, 2000u);
    QCOMPARE(summary->files[1].digest, writtenDigest(7, 1, 2000, second));

    MZTArchive archive(path);
    QVERIFY(archive.load());
    QVERIFY(archive.save());
    const std::optional<ArchiveSummary> saved = summarizeArchive(path, &error);
    QVERIFY2(saved, qPrintable(error));
    QCOMPARE(saved->files[0].digest, summary->files[0].digest);
    QVERIFY(saved->writtenAt.isValid());

    // Refused for the loader's reasons.
    QVERIFY(writeAll(path, m_sampleFile.left(m_sampleFile.size() - 3)));
    QVERIFY(!summarizeArchive(path, &error));
    QVERIFY(!error.isEmpty());
}

void TestArchiveFile::truncatedFiles()
{
    for (qsizetype length = 0; length < m_sampleFile.size(); ++length) {
        MZTArchive archive;
        if (loadBytes(archive, m_sampleFile.left(length)))
            QFAIL(qPrintable(QStringLiteral("loaded when cut to %1 bytes").arg(length)));
        QVERIFY(archive.entries().isEmpty());
        QVERIFY(!archive.isModified());
    }
}

void TestArchiveFile::flippedBytes()
{
    // Every byte, with one low bit, one high bit and all bits flipped. Some
    // flips cannot be seen: the gzip header's time stamp and system bytes, and
    // the odd deflate bit that leaves the decompressed bytes as they were. A
    // flip may go unnoticed only when the data is exactly what was saved.
    int attempts = 0;
    int unnoticed = 0;
    for (qsizetype pos = 0; pos < m_sampleFile.size(); ++pos) {
        for (char mask : {char(0x01), char(0x80), char(0xFF)}) {
            QByteArray damaged = m_sampleFile;
            damaged[pos] = char(damaged[pos] ^ mask);
            MZTArchive archive;
            ++attempts;
            if (!loadBytes(archive, damaged)) {
                QVERIFY(archive.entries().isEmpty());
                QVERIFY(!archive.isModified());
                continue;
            }
            ++unnoticed;
            if (snapshot(archive) != m_sampleLoaded || archive.recorder() != m_sampleRecorder) {
                QFAIL(qPrintable(QStringLiteral("byte %1 flipped with %2 loaded altered data")
                                     .arg(pos)
                                     .arg(int(uchar(mask)), 0, 16)));
            }
        }
    }
    QVERIFY2(unnoticed * 20 < attempts, qPrintable(QString::number(unnoticed)));
}

void TestArchiveFile::damagedGzipTrailer()
{
    const qsizetype size = m_sampleFile.size();
    for (qsizetype pos : {size - 8, size - 5, size - 4, size - 1}) {
        QByteArray damaged = m_sampleFile;
        damaged[pos] = char(damaged[pos] + 1);
        const QString path = m_dir.filePath("bad-trailer.mzt");
        QVERIFY(writeAll(path, damaged));
        MZTArchive archive(path);
        QVERIFY(!archive.load());
        QVERIFY(archive.entries().isEmpty());
        QVERIFY(!archive.isModified());
        QCOMPARE(readAll(path), damaged);
    }
    // Bytes after the last member that are not another member.
    MZTArchive archive;
    QVERIFY(!loadBytes(archive, m_sampleFile + QByteArray(512, '\0')));
    QVERIFY(!loadBytes(archive, m_sampleFile + "x"));
}

void TestArchiveFile::damagedTarInsideIntactGzip()
{
    const QByteArray tar = gunzip(m_sampleFile);
    QVERIFY(tar.size() > 4096);
    MZTArchive reference;
    QVERIFY(loadBytes(reference, gzip(tar)));
    QCOMPARE(snapshot(reference), m_sampleLoaded);

    // The header of the second recorder file (after KVA, and SEQUENCE 02 of
    // 300 bytes): a bad checksum must not pass for the end of the archive.
    const qsizetype third = 1024 + 512 + 512;
    QCOMPARE(tar.mid(third, 8), QByteArray("SETTINGS"));
    QByteArray badHeader = tar;
    badHeader[third + 1] = 'X';
    MZTArchive archive;
    QVERIFY(!loadBytes(archive, gzip(badHeader)));
    QVERIFY(archive.entries().isEmpty());
    QVERIFY(!archive.isModified());

    // Cut inside the entry data, or inside a header.
    QVERIFY(!loadBytes(archive, gzip(tar.left(third + 512 + 100))));
    QVERIFY(!loadBytes(archive, gzip(tar.left(third + 100))));
    QVERIFY(archive.entries().isEmpty());

    // An entry too short for its record header.
    const QByteArray shortEntry =
        tarMember("KVA", identData) + tarMember("SEQUENCE 01", "0123456789abcde") + tarEnd;
    QVERIFY(!loadBytes(archive, gzip(shortEntry)));
    // A directory or link has no data at all.
    const QByteArray directory = tarMember("KVA", identData) + tarMember("dir/", {}, '5') + tarEnd;
    QVERIFY(!loadBytes(archive, gzip(directory)));
    // Not tar at all, or not compressed.
    QVERIFY(!loadBytes(archive, gzip(QByteArray(4096, 'x'))));
    QVERIFY(!loadBytes(archive, tar));
    QVERIFY(!loadBytes(archive, QByteArray()));
    QVERIFY(archive.entries().isEmpty());
}

void TestArchiveFile::concatenatedGzipMembers()
{
    // gzip allows a file of several members (as "cat a.gz b.gz" makes).
    const QByteArray tar = gunzip(m_sampleFile);
    MZTArchive archive;
    QVERIFY(loadBytes(archive, gzip(tar.left(1000)) + gzip(tar.mid(1000))));
    QCOMPARE(snapshot(archive), m_sampleLoaded);
}

void TestArchiveFile::entrySizeLimit()
{
    // An announced size near 8 GiB with nothing behind it fails without
    // trying to make room for it.
    MZTArchive archive;
    const QByteArray huge = tarMember("KVA", identData) + ustarHeader("SEQUENCE 01", 077777777777LL)
        + testdata::recorderFile(1, 1, 0, 0, 512, 1) + tarEnd;
    QVERIFY(!loadBytes(archive, gzip(huge)));

    // Complete entries on both sides of the limit.
    const QByteArray record = testdata::recorderFile(1, 1, 0, 0, 16, 1);
    for (const qint64 size : {MZTArchive::maxEntrySize, MZTArchive::maxEntrySize + 1}) {
        GzipWriter writer;
        writer.append(tarMember("KVA", identData) + ustarHeader("SEQUENCE 01", size) + record);
        writer.appendZeros(size - record.size());
        writer.appendZeros((512 - size % 512) % 512 + 1024);
        MZTArchive limited;
        QCOMPARE(loadBytes(limited, writer.finish()), size <= MZTArchive::maxEntrySize);
        if (size <= MZTArchive::maxEntrySize)
            QCOMPARE(limited.entries().first()->content().size(), size);
    }
}

void TestArchiveFile::nonAsciiNames()
{
    // Names are stored as Latin-1 and come back the same.
    const QString path = m_dir.filePath("latin1.mzt");
    const QString name = QStringLiteral("S\u00c9QUENCE \u00fc");
    MZTArchive archive(path);
    archive.addEntry(testdata::entryFor(name, testdata::recorderFile(4, 1, 0, 0, 64, 31)));
    QVERIFY(archive.save());
    MZTArchive loaded(path);
    QVERIFY(loaded.load());
    QCOMPARE(loaded.entries().size(), 1);
    QCOMPARE(loaded.entries().first()->name(), name);

    // A plain ustar name in Latin-1 bytes, as another writer may leave it.
    const QByteArray file = testdata::recorderFile(2, 1, 0, 0, 32, 32);
    MZTArchive plain;
    QVERIFY(
        loadBytes(plain, gzip(tarMember("KVA", identData) + tarMember("S\xc9Q", file) + tarEnd)));
    QCOMPARE(plain.entries().first()->name(), QStringLiteral("S\u00c9Q"));

    // A pax path that cannot be converted to the locale's character set: the
    // library warns about the header, but the entry is whole and is kept.
    const QByteArray record = " path=\xff\xfe\n";
    const QByteArray paxRecord = QByteArray::number(record.size() + 2) + record;
    const QByteArray pax = tarMember("KVA", identData) + tarMember("PaxHeader/x", paxRecord, 'x')
        + tarMember("x", file) + tarMember("SETTINGS", file) + tarEnd;
    MZTArchive warned;
    QVERIFY(loadBytes(warned, gzip(pax)));
    QCOMPARE(warned.entries().size(), 2);
    QCOMPARE(warned.entries().first()->content(), file);
    QCOMPARE(warned.entries().last()->name(), QStringLiteral("SETTINGS"));
}

void TestArchiveFile::nativeFileNames()
{
    // Paths that Latin-1 cannot spell.
    const QString dir = m_dir.filePath(QStringLiteral("\u0410\u0440\u0445\u0438\u0432 \u20ac"));
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + QStringLiteral("/\u30c6\u30b9\u30c8 \u2603.mzt");
    MZTArchive archive(path);
    makeSample(archive);
    QVERIFY(archive.save());
    QVERIFY(QFile::exists(path));
    MZTArchive loaded(path);
    QVERIFY(loaded.load());
    QCOMPARE(snapshot(loaded), m_sampleLoaded);
}

void TestArchiveFile::failedLoadLeavesArchiveAlone()
{
    const QString path = m_dir.filePath("half.mzt");
    const QByteArray cut = m_sampleFile.left(m_sampleFile.size() - 20);
    QVERIFY(writeAll(path, cut));

    // A fresh archive stays empty and unmodified and keeps the path as its name.
    MZTArchive fresh(path);
    QVERIFY(!fresh.load());
    QVERIFY(fresh.entries().isEmpty());
    QVERIFY(!fresh.isModified());
    QCOMPARE(fresh.fileName(), path);

    // An archive that already holds entries keeps exactly them.
    MZTArchive holding(path);
    holding.addEntry(testdata::entryFor("SEQUENCE 09", testdata::recorderFile(9, 1, 0, 0, 40, 41)));
    const QList<QByteArray> before = snapshot(holding);
    QVERIFY(!holding.load());
    QCOMPARE(snapshot(holding), before);
    QVERIFY(holding.isModified());
    QCOMPARE(readAll(path), cut);

    // A directory is no archive either.
    MZTArchive directory(m_dir.path());
    QVERIFY(!directory.load());
    QVERIFY(directory.entries().isEmpty());
}

void TestArchiveFile::saveToImpossiblePath()
{
    MZTArchive archive;
    makeSample(archive);
    const QList<QByteArray> before = snapshot(archive);

    // The parent is a regular file: stops even a process that may write anywhere.
    const QString regular = m_dir.filePath("regular-file");
    QVERIFY(writeAll(regular, "not a directory"));
    archive.setFileName(regular + "/archive.mzt");
    QVERIFY(!archive.save());
    QVERIFY(archive.isModified());
    QCOMPARE(readAll(regular), QByteArray("not a directory"));

    // The name is a directory.
    const QString directory = m_dir.filePath("a-directory.mzt");
    QVERIFY(QDir().mkpath(directory));
    archive.setFileName(directory);
    QVERIFY(!archive.save());
    QVERIFY(QFileInfo(directory).isDir());

    archive.setModified(false);
    QVERIFY(!archive.save());
    QVERIFY(!archive.isModified());
    QCOMPARE(snapshot(archive), before);
}

void TestArchiveFile::saveIntoReadOnlyDirectory()
{
    if (geteuid() == 0)
        QSKIP("permissions do not stop root; saveToImpossiblePath and failedWriteKeepsOldFile "
              "cover failure");
    const QString dir = m_dir.filePath("read-only");
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + "/kept.mzt";
    QVERIFY(writeAll(path, m_sampleFile));
    QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
    MZTArchive archive(path);
    archive.addEntry(testdata::entryFor("SEQUENCE 01", testdata::recorderFile(1, 1, 0, 0, 64, 51)));
    const bool saved = archive.save();
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(!saved);
    QVERIFY(archive.isModified());
    QCOMPARE(readAll(path), m_sampleFile);
}

void TestArchiveFile::failedWriteKeepsOldFile()
{
    const QString dir = m_dir.filePath("file-size-limit");
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + "/kept.mzt";
    QVERIFY(writeAll(path, m_sampleFile));

    // The new archive is far larger than the limit, so writing it fails
    // part-way (EFBIG), after the save has begun to write.
    MZTArchive archive(path);
    for (int i = 0; i < 4; ++i)
        archive.addEntry(testdata::entryFor(
            "SEQUENCE 01", testdata::recorderFile(1, 1, 0, 0, 256 * 1024, 60 + i)));
    bool saved;
    {
        FileSizeLimit limit(64 * 1024);
        saved = archive.save();
    }
    QVERIFY(!saved);
    QVERIFY(archive.isModified());
    QCOMPARE(readAll(path), m_sampleFile);
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList {"kept.mzt"});
    MZTArchive old(path);
    QVERIFY(old.load());
    QCOMPARE(snapshot(old), m_sampleLoaded);

    // Without the limit the same archive replaces the old file.
    QVERIFY(archive.save());
    QVERIFY(!archive.isModified());
    MZTArchive replaced(path);
    QVERIFY(replaced.load());
    QCOMPARE(replaced.entries().size(), 4);
}

QTEST_GUILESS_MAIN(TestArchiveFile)
#include "tst_archive_file.moc"
