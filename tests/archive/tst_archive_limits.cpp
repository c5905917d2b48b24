// What a load refuses before it reads or allocates: paths that are not
// regular files, and archives beyond the bounds on entries and content.
#include "archivetestdata.h"
#include "mztarchive.h"
#include "tarbuilder.h"

#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A tar stream of count minimal entries behind the identification entry.
QByteArray smallEntries(int count)
{
    const QByteArray member = tarMember("SEQUENCE 01", testdata::recorderFile(1, 1, 0, 0, 16, 1));
    QByteArray tar = tarMember("KVA", identData);
    for (int i = 0; i < count; ++i)
        tar += member;
    return tar + tarEnd;
}

} // namespace

class TestArchiveLimits : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void onlyRegularFilesAreRead();
    void entryCountBound();
    void totalContentBound();

private:
    QTemporaryDir m_dir;
};

void TestArchiveLimits::onlyRegularFilesAreRead()
{
    // A FIFO nobody writes to would block an ordinary open for ever; the load
    // runs aside so that the test can free it and fail instead of hanging.
    const QString fifo = m_dir.filePath("fifo.mzt");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    MZTArchive fromFifo(fifo);
    auto loading = std::async(std::launch::async, [&] { return fromFifo.load(); });
    if (loading.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
        loading.wait();
        ::close(writer);
        QFAIL("the load blocked on a FIFO without a writer");
    }
    QVERIFY(!loading.get());
    QVERIFY(fromFifo.errorString().contains(QStringLiteral("not a regular file")));

    // A device reports size 0 and would then deliver without end; a
    // directory cannot be read at all.
    for (const QString& path : {QStringLiteral("/dev/zero"), m_dir.path()}) {
        MZTArchive archive(path);
        QVERIFY2(!archive.load(), qPrintable(path));
        QVERIFY2(archive.errorString().contains(QStringLiteral("not a regular file")),
                 qPrintable(archive.errorString()));
        QVERIFY(archive.entries().isEmpty());
    }
}

void TestArchiveLimits::entryCountBound()
{
    MZTArchive atBound;
    QVERIFY(loadBytes(atBound, gzip(smallEntries(MZTArchive::maxEntries))));
    QCOMPARE(atBound.entries().size(), MZTArchive::maxEntries);

    MZTArchive beyond;
    QVERIFY(!loadBytes(beyond, gzip(smallEntries(MZTArchive::maxEntries + 1))));
    QVERIFY(beyond.entries().isEmpty());
    QVERIFY(beyond.errorString().contains(QString::number(MZTArchive::maxEntries)));
}

void TestArchiveLimits::totalContentBound()
{
    QLoggingCategory::setFilterRules(QStringLiteral("mzt.archive.debug=false"));
    // Entries of the largest size, all zeros: a file of a few hundred KiB that
    // would take gigabytes if entries were only bounded one by one. The load
    // stops at the first entry beyond the total, before reading its data.
    const qint64 size = MZTArchive::maxEntrySize;
    const int fitting = int(MZTArchive::maxTotalContent / size);
    const QByteArray record = testdata::recorderFile(1, 1, 0, 0, 16, 1);
    GzipWriter writer;
    writer.append(tarMember("KVA", identData));
    for (int i = 0; i <= fitting; ++i) {
        writer.append(ustarHeader("SEQUENCE 01", size) + record);
        writer.appendZeros(size - record.size());
    }
    writer.append(tarEnd);
    const QByteArray file = writer.finish();
    QVERIFY(file.size() < MZTArchive::maxTotalContent / 64);

    MZTArchive archive;
    QVERIFY(!loadBytes(archive, file));
    QVERIFY(archive.entries().isEmpty());
    QVERIFY(archive.errorString().contains(QString::number(MZTArchive::maxTotalContent)));
}

QTEST_GUILESS_MAIN(TestArchiveLimits)
#include "tst_archive_limits.moc"
