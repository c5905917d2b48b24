// A save that meets a full or failing disk: whatever step fails, and at
// whatever byte of the new file, the old archive stays byte for byte as it
// was, the save says it failed, and no stray file is left beside it.
#include "archivetestdata.h"
#include "mztarchive.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

// The archive library hands its output over in blocks of this size.
constexpr qint64 kLibraryBlock = 10240;

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Clears the injected faults however a test ends.
struct Faults {
    explicit Faults(const MZTArchive::SaveFaults& faults) { MZTArchive::setSaveFaults(faults); }
    ~Faults() { MZTArchive::setSaveFaults({}); }
};

QList<QByteArray> stored(const MZTArchive& archive)
{
    QList<QByteArray> result;
    for (const ArchiveEntry* e : archive.entries())
        result.append(e->name().toLatin1() + '|' + testdata::storedContent(*e));
    return result;
}

} // namespace

class TestArchiveSave : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void fullDiskAtEveryOffset();
    void silentlyLostOrDamagedBytesAreCaught();
    void failedFlushCloseOrReplace();
    void replacementKeepsPermissionsAndLinks();
    void boundsAreKeptOnSave();

private:
    // The archive to save over the old one: small (the library writes it in
    // one piece as it closes) or large enough to take several writes.
    void fillNew(MZTArchive& archive, bool large = false);
    QString oldPath() const { return m_dir->filePath("old.mzt"); }
    void checkOldKept(const MZTArchive& attempt, const char* context);

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_oldFile;
    qint64 m_newSize = 0;
    qint64 m_largeSize = 0;
};

void TestArchiveSave::initTestCase()
{
    // Thousands of saves: their diagnostics would drown the test's output.
    QLoggingCategory::setFilterRules(QStringLiteral("mzt.archive.debug=false"));
}

void TestArchiveSave::init()
{
    // Every save that gets as far as flushing to the disk waits for it; in
    // memory the thousands of saves below take seconds, not minutes.
    const QString memory = QStringLiteral("/dev/shm");
    m_dir = QFileInfo(memory).isDir() && QFileInfo(memory).isWritable()
        ? std::make_unique<QTemporaryDir>(memory + QStringLiteral("/mzt-save-XXXXXX"))
        : std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    MZTArchive old(oldPath());
    old.addEntry(
        testdata::entryFor("SEQUENCE 02", testdata::recorderFile(2, 1, 0, 61000, 3000, 1)));
    old.addEntry(testdata::entryFor("SETTINGS", testdata::recorderFile(0, 0, 0, 0, 200, 2)));
    QVERIFY(old.save());
    m_oldFile = readAll(oldPath());

    for (const bool large : {false, true}) {
        MZTArchive sized(m_dir->filePath("sized.mzt"));
        fillNew(sized, large);
        QVERIFY(sized.save());
        (large ? m_largeSize : m_newSize) = QFileInfo(sized.fileName()).size();
        QVERIFY(QFile::remove(sized.fileName()));
    }
    QVERIFY(m_newSize > 1000);
    QVERIFY(m_largeSize > 2 * kLibraryBlock);
}

void TestArchiveSave::fillNew(MZTArchive& archive, bool large)
{
    const int scale = large ? 20 : 1;
    archive.addEntry(
        testdata::entryFor("SEQUENCE 02", testdata::recorderFile(2, 1, 0, 1000, 600 * scale, 3)));
    archive.addEntry(
        testdata::entryFor("SEQUENCE 07", testdata::recorderFile(7, 1, 0, 2000, 700 * scale, 4)));
    archive.addEntry(testdata::entryFor("SETTINGS", testdata::recorderFile(0, 0, 0, 0, 300, 5)));
}

void TestArchiveSave::checkOldKept(const MZTArchive& attempt, const char* context)
{
    QVERIFY2(attempt.isModified(), context);
    QVERIFY2(!attempt.errorString().isEmpty(), context);
    QVERIFY2(readAll(oldPath()) == m_oldFile, context);
    QVERIFY2(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden)
                 == QStringList {QStringLiteral("old.mzt")},
             context);
}

void TestArchiveSave::fullDiskAtEveryOffset()
{
    MZTArchive archive(oldPath());
    fillNew(archive);
    for (qint64 space = 0; space < m_newSize; ++space) {
        Faults faults({.spaceLeft = space});
        const QByteArray context = "space " + QByteArray::number(space);
        QVERIFY2(!archive.save(), context);
        checkOldKept(archive, context);
        QVERIFY2(archive.errorString().contains(QStringLiteral("No space left")), context);
    }

    // In a file written in several pieces: every offset near the ends of
    // the pieces, and offsets spread over the rest.
    MZTArchive large(oldPath());
    fillNew(large, true);
    QList<qint64> offsets;
    for (qint64 space = 0; space < m_largeSize; space += 97)
        offsets.append(space);
    for (qint64 end = kLibraryBlock; end < m_largeSize + kLibraryBlock; end += kLibraryBlock) {
        for (qint64 space = end - 40; space <= end + 40; ++space) {
            if (space >= 0 && space < m_largeSize)
                offsets.append(space);
        }
    }
    for (const qint64 space : std::as_const(offsets)) {
        Faults faults({.spaceLeft = space});
        const QByteArray context = "large, space " + QByteArray::number(space);
        QVERIFY2(!large.save(), context);
        checkOldKept(large, context);
    }

    // Room for exactly the new file is enough.
    Faults exact({.spaceLeft = m_newSize});
    QVERIFY(archive.save());
    QVERIFY(!archive.isModified());
    MZTArchive loaded(oldPath());
    QVERIFY(loaded.load());
    QCOMPARE(stored(loaded), stored(archive));
}

void TestArchiveSave::silentlyLostOrDamagedBytesAreCaught()
{
    // The disk says every write succeeded, but the file ends early or holds a
    // changed byte: only reading it back before the replacement can tell.
    MZTArchive archive(oldPath());
    fillNew(archive);
    const QList<QByteArray> wanted = stored(archive);
    for (qint64 offset = 0; offset < m_newSize; ++offset) {
        const QByteArray context = "lost from " + QByteArray::number(offset);
        Faults faults({.loseFrom = offset});
        QVERIFY2(!archive.save(), context);
        checkOldKept(archive, context);
    }
    int caught = 0;
    for (qint64 offset = 0; offset < m_newSize; ++offset) {
        const QByteArray context = "damaged at " + QByteArray::number(offset);
        Faults faults({.damageAt = offset});
        archive.setModified(true);
        if (!archive.save()) {
            checkOldKept(archive, context);
            ++caught;
            continue;
        }
        // A few gzip header bytes (time stamp, system) do not change what the
        // file holds; a save may pass only when the content is intact.
        MZTArchive loaded(oldPath());
        QVERIFY2(loaded.load(), context);
        QVERIFY2(stored(loaded) == wanted, context);
        m_oldFile = readAll(oldPath());
    }
    QVERIFY(caught > m_newSize - 16);
}

void TestArchiveSave::failedFlushCloseOrReplace()
{
    MZTArchive archive(oldPath());
    fillNew(archive);
    for (const auto& [faults, context] :
         {std::pair {MZTArchive::SaveFaults {.failSync = true}, "sync"},
          {MZTArchive::SaveFaults {.failClose = true}, "close"},
          {MZTArchive::SaveFaults {.failReplace = true}, "replace"}}) {
        Faults injected(faults);
        QVERIFY2(!archive.save(), context);
        checkOldKept(archive, context);
    }
    // A new archive that fails leaves no file at all.
    MZTArchive fresh(m_dir->filePath("fresh.mzt"));
    fillNew(fresh);
    {
        Faults injected({.spaceLeft = 100});
        QVERIFY(!fresh.save());
    }
    QVERIFY(!QFile::exists(fresh.fileName()));
    checkOldKept(fresh, "fresh");
}

void TestArchiveSave::replacementKeepsPermissionsAndLinks()
{
    QVERIFY(
        QFile::setPermissions(oldPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const QString link = m_dir->filePath("link.mzt");
    QVERIFY(QFile::link(oldPath(), link));
    MZTArchive archive(link);
    fillNew(archive);
    QVERIFY(archive.save());
    QVERIFY(QFileInfo(link).isSymLink());
    struct stat st { };
    QCOMPARE(::stat(QFile::encodeName(oldPath()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
    MZTArchive loaded(oldPath());
    QVERIFY(loaded.load());
    QCOMPARE(stored(loaded), stored(archive));

    // Something that is not a regular file is not replaced.
    const QString fifo = m_dir->filePath("fifo.mzt");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    archive.setFileName(fifo);
    QVERIFY(!archive.save());
    QVERIFY(archive.errorString().contains(QStringLiteral("not a regular file")));
    QCOMPARE(QFileInfo(fifo).isFile(), false);
    QVERIFY(QFileInfo::exists(fifo));
}

void TestArchiveSave::boundsAreKeptOnSave()
{
    // An archive the load would refuse is not written either.
    MZTArchive many(oldPath());
    for (int i = 0; i <= MZTArchive::maxEntries; ++i)
        many.addEntry(testdata::entryFor("SEQUENCE 01", testdata::recorderFile(1, 1, 0, 0, 16, 1)));
    QVERIFY(!many.save());
    QVERIFY(many.errorString().contains(QString::number(MZTArchive::maxEntries)));
    checkOldKept(many, "entries");

    delete many.entries().takeLast();
    QVERIFY(many.save());
    MZTArchive loaded(oldPath());
    QVERIFY(loaded.load());
    QCOMPARE(loaded.entries().size(), MZTArchive::maxEntries);
}

QTEST_GUILESS_MAIN(TestArchiveSave)
#include "tst_archive_save.moc"
