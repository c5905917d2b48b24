// A save that meets a full or failing disk: whatever step fails, and at
// whatever byte of the new file, the old archive stays byte for byte as it
// was, the save says it failed, and no stray file is left beside it.
#include "archive_lock.h"
#include "archivetestdata.h"
#include "mztarchive.h"
#include "regular_file.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
    void writeProtectedArchiveIsNotReplaced();
    void leftoversOfKilledSavesAreRemoved();
    void namesThatAreNotUtf8AreKeptExactly();
    void oneSaverAtATime();

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

// Renaming over a file needs only the folder's permission; a file made
// read-only is still left alone, through a link too, and even for root,
// whom access() lets write anything.
void TestArchiveSave::writeProtectedArchiveIsNotReplaced()
{
    const QByteArray native = QFile::encodeName(oldPath());
    QCOMPARE(::chmod(native.constData(), 0444), 0);
    const QString link = m_dir->filePath("link.mzt");
    QVERIFY(QFile::link(oldPath(), link));
    for (const QString& path : {oldPath(), link}) {
        MZTArchive archive(path);
        fillNew(archive);
        QVERIFY(MZTArchive::isWriteProtected(path));
        QVERIFY(!archive.save());
        QCOMPARE(archive.failure(), MZTArchive::Failure::WriteProtected);
        QVERIFY2(archive.errorString().contains(QStringLiteral("write-protected")),
                 qPrintable(archive.errorString()));
        QVERIFY(archive.isModified());
        QCOMPARE(readAll(oldPath()), m_oldFile);
    }
    struct stat st { };
    QCOMPARE(::stat(native.constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0444));

    // Any write permission, or a new file, is saved as before.
    QCOMPARE(::chmod(native.constData(), 0640), 0);
    QVERIFY(!MZTArchive::isWriteProtected(oldPath()));
    QVERIFY(!MZTArchive::isWriteProtected(m_dir->filePath("new.mzt")));
    MZTArchive archive(oldPath());
    fillNew(archive);
    QVERIFY(archive.save());
    QCOMPARE(archive.failure(), MZTArchive::Failure::None);
}

// A save killed with SIGKILL leaves its new file behind. The next save into
// the folder removes such files whose writer is gone, and only those: a
// file of a save still running (its writer alive, or its lock held) and
// files of other names stay.
void TestArchiveSave::leftoversOfKilledSavesAreRemoved()
{
    QProcess ended;
    ended.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(ended.waitForStarted());
    const QByteArray gone = QByteArray::number(ended.processId());
    ended.kill();
    QVERIFY(ended.waitForFinished());
    QProcess running;
    running.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(running.waitForStarted());
    const QByteArray alive = QByteArray::number(running.processId());

    const auto make = [&](const QByteArray& name) {
        QFile file(m_dir->filePath(QString::fromLatin1(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(m_oldFile);
    };
    const QList<QByteArray> stale {"old.mzt.mzt500-save-" + gone + "-k3j2",
                                   "other.mzt.mzt500-save-" + gone + "-0"};
    const QList<QByteArray> kept {"old.mzt.mzt500-save-" + alive + "-a1",
                                  "old.mzt.mzt500-save-" + gone + "-locked",
                                  "old.mzt.mzt500-save-" + gone + "-x.part",
                                  "old.mzt.backup",
                                  "old.mzt.mzt500-lock",
                                  "notes.mzt500-save-abc"};
    for (const QByteArray& name : stale + kept)
        make(name);
    // A writer in another pid namespace: its pid means nothing here, its
    // lock does.
    const int locked =
        ::open(QFile::encodeName(m_dir->filePath(QString::fromLatin1(kept[1]))).constData(),
               O_RDONLY | O_CLOEXEC);
    QVERIFY(locked >= 0);
    QCOMPARE(::flock(locked, LOCK_EX | LOCK_NB), 0);

    MZTArchive archive(oldPath());
    fillNew(archive);
    QVERIFY(archive.save());
    ::close(locked);
    running.kill();
    running.waitForFinished();

    QStringList expected {QStringLiteral("old.mzt")};
    for (const QByteArray& name : kept)
        expected.append(QString::fromLatin1(name));
    expected.sort();
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
}

// File names are bytes. Two names that differ only in a byte that is not
// UTF-8 are two archives, each saved and loaded under exactly its name.
void TestArchiveSave::namesThatAreNotUtf8AreKeptExactly()
{
    // Every single byte, and UTF-8 as the system and Qt write it, converts
    // back unchanged; valid UTF-8 converts as Qt's own encoding does.
    for (int byte = 1; byte < 256; ++byte) {
        const QByteArray name = "a" + QByteArray(1, char(byte)) + "\xc3\xa9\xf0\x9f\x98\x80";
        QCOMPARE(mzt::nativePath(mzt::pathFromNative(name)), name);
    }
    for (const QByteArray& invalid : {QByteArray("\xc3"), QByteArray("\xed\xa0\x80"),
                                      QByteArray("\xc0\xaf"), QByteArray("\xf4\x90\x80\x80")})
        QCOMPARE(mzt::nativePath(mzt::pathFromNative("x" + invalid + "y")), "x" + invalid + "y");
    const QString text = QStringLiteral("caf\u00e9 \u266b \U0001F600");
    QCOMPARE(mzt::pathFromNative(QFile::encodeName(text)), text);
    QCOMPARE(mzt::nativePath(text), QFile::encodeName(text));

    const QByteArray folder = QFile::encodeName(m_dir->path());
    for (const char* name : {"caf\xe9.mzt", "caf\xe8.mzt"}) {
        MZTArchive archive(mzt::pathFromNative(folder + '/' + name));
        fillNew(archive);
        archive.entries().first()->setName(QString::fromLatin1(name));
        QVERIFY2(archive.save(), qPrintable(archive.errorString()));
    }
    for (const char* name : {"caf\xe9.mzt", "caf\xe8.mzt"}) {
        struct stat st { };
        QCOMPARE(::stat((folder + '/' + name).constData(), &st), 0);
        MZTArchive loaded(mzt::pathFromNative(folder + '/' + name));
        QVERIFY2(loaded.load(), qPrintable(loaded.errorString()));
        QCOMPARE(loaded.entries().first()->name(), QString::fromLatin1(name));
    }
    struct stat st { };
    QCOMPARE(::stat((folder + "/caf\xef\xbf\xbd.mzt").constData(), &st), -1);
    // QTemporaryDir cannot name them to remove them.
    for (const char* name : {"caf\xe9.mzt", "caf\xe8.mzt"})
        ::unlink((folder + '/' + name).constData());
}

// The lock a saver holds from load to save: a second one is told who holds
// it, through a link to the archive too, and gets it once it is released;
// the lock file goes with the last holder, also when the archive itself is
// replaced meanwhile.
void TestArchiveSave::oneSaverAtATime()
{
    const QString link = m_dir->filePath("link.mzt");
    QVERIFY(QFile::link(oldPath(), link));
    const QString lockFile = oldPath() + QStringLiteral(".mzt500-lock");
    mzt::ArchiveLock first;
    qint64 holder = -1;
    QString reason;
    QCOMPARE(first.tryLock(oldPath(), &holder, &reason), mzt::ArchiveLock::Outcome::Taken);
    QVERIFY(QFileInfo::exists(lockFile));
    {
        mzt::ArchiveLock second;
        for (const QString& path : {oldPath(), link}) {
            QCOMPARE(second.tryLock(path, &holder, &reason), mzt::ArchiveLock::Outcome::Held);
            QCOMPARE(holder, qint64(::getpid()));
            QVERIFY(!second.isHeld());
        }
        MZTArchive archive(oldPath());
        fillNew(archive);
        QVERIFY(archive.save());
        first.release();
        QVERIFY(!QFileInfo::exists(lockFile));
        QCOMPARE(second.tryLock(link, &holder, &reason), mzt::ArchiveLock::Outcome::Taken);
        QCOMPARE(first.tryLock(oldPath(), &holder, &reason), mzt::ArchiveLock::Outcome::Held);
    }
    QVERIFY(!QFileInfo::exists(lockFile));
    // A missing archive is locked all the same.
    const QString fresh = m_dir->filePath("fresh.mzt");
    QCOMPARE(first.tryLock(fresh, &holder, &reason), mzt::ArchiveLock::Outcome::Taken);
    mzt::ArchiveLock other;
    QCOMPARE(other.tryLock(fresh, &holder, &reason), mzt::ArchiveLock::Outcome::Held);
}

QTEST_GUILESS_MAIN(TestArchiveSave)
#include "tst_archive_save.moc"
