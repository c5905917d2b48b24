// The archive's entry list and the texts shown for a recorder file.
#include "archivetestdata.h"
#include "contenttext.h"
#include "mztarchive.h"

#include <QTest>

class TestArchiveModel : public QObject {
    Q_OBJECT

private slots:
    void memSizeText_data();
    void memSizeText();
    void durationText_data();
    void durationText();
    void nameTexts();
    void entryTexts();
    void addEntry();
    void removeEntries();
    void clearEntry();
};

void TestArchiveModel::memSizeText_data()
{
    QTest::addColumn<quint32>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0u << "0 Bytes";
    QTest::newRow("500") << 500u << "500 Bytes";
    QTest::newRow("1023") << 1023u << "1023 Bytes";
    QTest::newRow("1024") << 1024u << "1.00 KBytes";
    QTest::newRow("1536") << 1536u << "1.50 KBytes";
    QTest::newRow("5000") << 5000u << "4.88 KBytes";
    // 1.125 KiB and 1.125 MiB lie exactly between two hundredths: halves go up.
    QTest::newRow("half KiB hundredth") << 1152u << "1.13 KBytes";
    QTest::newRow("1048575") << 1048575u << "1024.00 KBytes";
    QTest::newRow("1048576") << 1048576u << "1.00 MBytes";
    QTest::newRow("2621440") << 2621440u << "2.50 MBytes";
    QTest::newRow("3145728") << 3145728u << "3.00 MBytes";
    QTest::newRow("half MiB hundredth") << 1179648u << "1.13 MBytes";
    QTest::newRow("max") << 0xFFFFFFFFu << "4096.00 MBytes";
}

void TestArchiveModel::memSizeText()
{
    QFETCH(quint32, bytes);
    QFETCH(QString, text);
    QCOMPARE(mzt::memSizeText(bytes), text);

    // The archive table shows the same text from word 2 of the entry's header.
    ArchiveEntry entry;
    const QByteArray file = testdata::recorderFile(1, 7, bytes, 0, 40, 1);
    entry.appendContent(file.constData(), file.size());
    QCOMPARE(entry.memSizeText(), text);
}

void TestArchiveModel::durationText_data()
{
    QTest::addColumn<quint32>("ms");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0u << "0:00:00";
    QTest::newRow("499") << 499u << "0:00:00";
    QTest::newRow("500") << 500u << "0:00:01";
    QTest::newRow("59999") << 59999u << "0:01:00";
    QTest::newRow("65499") << 65499u << "0:01:05";
    QTest::newRow("3600000") << 3600000u << "1:00:00";
    QTest::newRow("3725400") << 3725400u << "1:02:05";
    QTest::newRow("36000000") << 36000000u << "10:00:00";
    QTest::newRow("360000000") << 360000000u << "100:00:00";
    QTest::newRow("max") << 0xFFFFFFFFu << "1193:02:47";
}

void TestArchiveModel::durationText()
{
    QFETCH(quint32, ms);
    QFETCH(QString, text);
    QCOMPARE(mzt::durationText(ms), text);

    ArchiveEntry entry;
    entry.setType(1);
    entry.setDuration(ms);
    QCOMPARE(entry.durationText(), text);
}

void TestArchiveModel::nameTexts()
{
    QCOMPARE(mzt::contentNameText(0, 0), QStringLiteral("SETTINGS"));
    QCOMPARE(mzt::contentNameText(1, 7), QStringLiteral("SEQUENCE 07"));
    QCOMPARE(mzt::contentNameText(1, 12), QStringLiteral("SEQUENCE 12"));
    QCOMPARE(mzt::contentNameText(1, 64), QStringLiteral("SEQUENCE 64"));
    QCOMPARE(mzt::contentNameText(2, 3), QStringLiteral("UNKNOWN"));
    QCOMPARE(mzt::contentNameText(5, 3), QString());
    QCOMPARE(mzt::sequenceNameText(1), QStringLiteral("SEQUENCE 01"));
    QCOMPARE(mzt::sequenceNameText(100), QStringLiteral("SEQUENCE 100"));
}

void TestArchiveModel::entryTexts()
{
    // Only sequences have a playing time, whatever the duration field says.
    ArchiveEntry settings;
    settings.setType(0);
    settings.setDuration(5000);
    QCOMPARE(settings.durationText(), QString());
    ArchiveEntry unknown;
    unknown.setType(7);
    unknown.setDuration(5000);
    QCOMPARE(unknown.durationText(), QString());

    // The size shown is the header's figure, not the content length, and an
    // entry of unknown type still has one.
    const QByteArray file = testdata::recorderFile(9, 7, 2621440, 0, 100, 2);
    unknown.appendContent(file.constData(), file.size());
    QCOMPARE(unknown.memSizeText(), QStringLiteral("2.50 MBytes"));

    ArchiveEntry headless;
    headless.appendContent("0123456789abcde", 15);
    QCOMPARE(headless.memSizeText(), QStringLiteral("0"));
    QCOMPARE(ArchiveEntry().memSizeText(), QStringLiteral("0"));
}

void TestArchiveModel::addEntry()
{
    MZTArchive archive(QStringLiteral("x.mzt"));
    QVERIFY(!archive.isModified());
    QCOMPARE(archive.fileName(), QStringLiteral("x.mzt"));

    archive.addEntry(nullptr);
    QVERIFY(!archive.isModified());
    QVERIFY(archive.entries().isEmpty());

    auto* first = new ArchiveEntry;
    auto* second = new ArchiveEntry;
    archive.addEntry(first);
    QVERIFY(archive.isModified());
    archive.setModified(false);
    archive.addEntry(second);
    QVERIFY(archive.isModified());
    QCOMPARE(archive.entries(), (QList<ArchiveEntry*> {first, second}));

    // A new entry is blank.
    QCOMPARE(first->name(), QString());
    QCOMPARE(first->id(), 0);
    QCOMPARE(first->type(), 0);
    QCOMPARE(first->duration(), 0u);
    QVERIFY(first->content().isEmpty());
}

void TestArchiveModel::removeEntries()
{
    MZTArchive archive;
    QList<ArchiveEntry*> made;
    for (int id : {3, 5, 3, 0, 3}) {
        auto* entry = new ArchiveEntry;
        entry->setId(id);
        entry->setType(id == 0 ? 0 : (made.size() == 4 ? 7 : 1));
        archive.addEntry(entry);
        made.append(entry);
    }
    archive.setModified(false);

    archive.removeEntries(42);
    QVERIFY(!archive.isModified());
    QCOMPARE(archive.entries().size(), 5);

    // Every entry with the id goes, whatever its type; the rest keep their order.
    archive.removeEntries(3);
    QVERIFY(archive.isModified());
    QCOMPARE(archive.entries(), (QList<ArchiveEntry*> {made[1], made[3]}));

    archive.setModified(false);
    archive.removeEntries(0);
    QVERIFY(archive.isModified());
    QCOMPARE(archive.entries(), (QList<ArchiveEntry*> {made[1]}));
}

void TestArchiveModel::clearEntry()
{
    ArchiveEntry* entry = testdata::entryFor(QStringLiteral("SEQUENCE 04"),
                                             testdata::recorderFile(4, 1, 1024, 9000, 64, 3));
    QCOMPARE(entry->id(), 4);
    QCOMPARE(entry->duration(), 9000u);
    entry->clear();
    QCOMPARE(entry->name(), QString());
    QCOMPARE(entry->id(), 0);
    QCOMPARE(entry->type(), 0);
    QCOMPARE(entry->duration(), 0u);
    QVERIFY(entry->content().isEmpty());
    delete entry;
}

QTEST_GUILESS_MAIN(TestArchiveModel)
#include "tst_archive_model.moc"
