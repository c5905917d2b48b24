// A save killed part-way must leave the archive on disk as it was before,
// and what it leaves beside it is recognisably a save's and gone after the
// next save into the folder.
#include "archivetestdata.h"
#include "mztarchive.h"

#include <QDir>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

class TestArchiveCrash : public QObject {
    Q_OBJECT

private slots:
    void killDuringSave();
};

static QList<QByteArray> storedForm(const MZTArchive& archive)
{
    QList<QByteArray> result;
    for (const ArchiveEntry* e : archive.entries())
        result.append(e->name().toLatin1() + '|' + testdata::storedContent(*e));
    return result;
}

void TestArchiveCrash::killDuringSave()
{
    QLoggingCategory::setFilterRules(QStringLiteral("mzt.archive.debug=false"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("killed.mzt");

    QList<QList<QByteArray>> generations;
    for (int g = 0; g < 2; ++g) {
        MZTArchive archive;
        testdata::fillBig(archive, g);
        generations.append(storedForm(archive));
    }

    int interrupted = 0;
    for (int round = 0; round < 6; ++round) {
        QProcess saver;
        saver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        saver.start(QStringLiteral(MZT_SAVE_LOOP), {path});
        QVERIFY(saver.waitForStarted());
        // Kill only once a first save is complete, at a random moment of the
        // saves that follow.
        QByteArray out;
        while (!out.contains("saved")) {
            QVERIFY2(saver.waitForReadyRead(120000), "the saver reported no save");
            out += saver.readAllStandardOutput();
        }
        QThread::msleep(QRandomGenerator::global()->bounded(400));
        saver.kill();
        QVERIFY(saver.waitForFinished());
        QCOMPARE(saver.exitStatus(), QProcess::CrashExit);
        // Know that the kill hit a save at work and not the gap between two.
        out += saver.readAllStandardOutput();
        if (out.trimmed().split('\n').last().startsWith("saving"))
            ++interrupted;

        MZTArchive loaded(path);
        QVERIFY2(loaded.load(), qPrintable(QStringLiteral("round %1").arg(round)));
        const QList<QByteArray> found = storedForm(loaded);
        QVERIFY(found == generations[0] || found == generations[1]);
        // At most the one save just killed left its file (the saver removed
        // those of the rounds before), named as a save's.
        const QStringList beside =
            QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".mzt."));
        QVERIFY2(beside.size() <= 1, qPrintable(beside.join(' ')));
        for (const QString& name : beside)
            QVERIFY2(
                QRegularExpression(QStringLiteral("^killed\\.mzt\\.mzt500-save-\\d+-[0-9a-z]+$"))
                    .match(name)
                    .hasMatch(),
                qPrintable(name));
    }
    QVERIFY(interrupted > 0);

    MZTArchive last(path);
    testdata::fillBig(last, 0);
    QVERIFY(last.save());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList {QStringLiteral("killed.mzt")});
}

QTEST_GUILESS_MAIN(TestArchiveCrash)
#include "tst_archive_crash.moc"
