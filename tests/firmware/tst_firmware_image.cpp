// UpdateImage against built-in, hand-made and damaged KV2 files.
#include "builtinimage.h"
#include "kv2format.h"
#include "kv2testfiles.h"
#include "updateimage.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray makeFile(const QString& model, const QList<int>& sizes)
{
    return makeKv2File(model, sizes, "\r\nnotes\r\n");
}

void putU32(QByteArray& file, int offset, quint32 value)
{
    qToLittleEndian<quint32>(value, file.data() + offset);
}

} // namespace

class TestImage : public QObject {
    Q_OBJECT

private slots:
    void builtInImage();
    void headerBlockAndSectionViews();
    void magicNeedsTrailingZero();
    void checksumCoversSectionsOnly_data();
    void checksumCoversSectionsOnly();
    void modelMatchAndStatusLines();
    void unreadableFiles();
    void zeroSections();
    void layoutCheckedBeforeReading_data();
    void layoutCheckedBeforeReading();
    void oversizedFileRejected();
    void onlyRegularFilesAreRead();
    void nonAsciiPath();
    void reloadResetsState();
    void versionStatedInTheFreeText_data();
    void versionStatedInTheFreeText();
};

void TestImage::builtInImage()
{
    UpdateImage image;
    QVERIFY(image.load(builtInImagePath()));
    QVERIFY(image.isValid());
    QCOMPARE(image.size(), 161536);
    QCOMPARE(image.sectionCount(), 2);
    QCOMPARE(image.section(0)->size(), 105472);
    QCOMPARE(image.section(1)->size(), 54784);
    QCOMPARE(image.transmissionSize(), 160512);
    QVERIFY(image.matchesDevice("MZT-500"));
    QCOMPARE(image.statusText("MZT-500"),
             QString("<font color =\"green\">The file %1 is OK.</font>").arg(builtInImagePath()));

    QFile f(builtInImagePath());
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray raw = f.readAll();
    QCOMPARE(raw.mid(45, 7), QByteArray::fromHex("01020006010001"));
    QVERIFY(raw.mid(256).startsWith("\r\n"));
    QVERIFY(raw.contains(" : outputs_ROM/SAM7_ROM.mem\r\n"));
    QVERIFY(raw.contains(" : ../resources/MZT-500-FPGA.bit\r\n"));
}

void TestImage::headerBlockAndSectionViews()
{
    const QByteArray file = makeFile("MZT-500", {512, 256, 0, 768, 256, 256, 256, 256});
    UpdateImage image;
    QVERIFY(image.loadFromBytes(file, "eight.kv2"));
    QCOMPARE(image.sectionCount(), 8);
    QCOMPARE(QByteArray(image.headerBlock()->data(), image.headerBlock()->size()), file.left(256));
    // Sections lie back to back after the 1280-byte header.
    qsizetype offset = 1280;
    for (int i = 0; i < 8; ++i) {
        const auto s = image.section(i);
        QVERIFY(s);
        QCOMPARE(QByteArray(s->data(), s->size()), file.mid(offset, s->size()));
        offset += s->size();
    }
    QVERIFY(!image.section(8));
    QVERIFY(!image.section(-1));
    QCOMPARE(image.transmissionSize(), 256 + 512 + 256 + 768 + 4 * 256);
}

void TestImage::magicNeedsTrailingZero()
{
    QByteArray file = makeFile("MZT-500", {256});
    file[4] = 'X';
    UpdateImage image;
    QVERIFY(!image.loadFromBytes(file, "x.kv2"));
    QVERIFY(!image.isValid());
    QCOMPARE(image.sectionCount(), -1);
    QVERIFY(!image.headerBlock());
    QCOMPARE(image.transmissionSize(), -1);
    QCOMPARE(image.statusText("MZT-500"),
             QString("<font color =\"red\">The file x.kv2 is not a valid KV2 file.</font>"));
}

void TestImage::checksumCoversSectionsOnly_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<bool>("valid");
    QTest::newRow("header byte 104") << 104 << true;
    QTest::newRow("header byte 255") << 255 << true;
    QTest::newRow("free text") << 256 << true;
    QTest::newRow("header byte 1279") << 1279 << true;
    QTest::newRow("first section byte") << 1280 << false;
    QTest::newRow("last byte of first section") << 1280 + 512 - 1 << false;
    QTest::newRow("last byte of file") << 1280 + 512 + 256 - 1 << false;
    QTest::newRow("stored checksum") << 100 << false;
}

void TestImage::checksumCoversSectionsOnly()
{
    QFETCH(int, offset);
    QFETCH(bool, valid);
    QByteArray file = makeFile("MZT-500", {512, 256});
    file[offset] = char(file[offset] + 1);
    UpdateImage image;
    QCOMPARE(image.loadFromBytes(file, "f.kv2"), valid);
    QCOMPARE(image.isValid(), valid);
    if (!valid && offset != 100)
        QCOMPARE(image.computedChecksum().value(), image.header()->checksum + 1);
}

void TestImage::modelMatchAndStatusLines()
{
    UpdateImage image;
    QVERIFY(image.loadFromBytes(makeFile("MZT-1000", {256}), "other.kv2"));
    QVERIFY(!image.matchesDevice("MZT-500"));
    QVERIFY(!image.matchesDevice(""));
    QVERIFY(!image.matchesDevice("MZT-1000 "));
    QVERIFY(image.matchesDevice("MZT-1000"));
    QCOMPARE(image.statusText("MZT-500"),
             QString("<font color =\"grey\">The file other.kv2 does not contain a firmware update "
                     "for the connected device.</font>"));
    QCOMPARE(image.statusText(""),
             QString("<font color =\"grey\">The file other.kv2 is OK.</font>"));
    QCOMPARE(image.statusText("MZT-1000"),
             QString("<font color =\"green\">The file other.kv2 is OK.</font>"));

    // A model name filling the whole 40-byte field has no terminating zero.
    QByteArray file = makeFile("M", {256});
    file.replace(5, 40, QByteArray(40, 'Q'));
    QVERIFY(image.loadFromBytes(file, "long.kv2"));
    QVERIFY(image.matchesDevice(QString(40, 'Q')));

    // The status line is rich text; the name must not turn into markup.
    QVERIFY(image.loadFromBytes(makeFile("MZT-500", {256}), "a<b>&c.kv2"));
    QCOMPARE(image.statusText("MZT-500"),
             QString("<font color =\"green\">The file a&lt;b&gt;&amp;c.kv2 is OK.</font>"));
}

void TestImage::unreadableFiles()
{
    UpdateImage image;
    QVERIFY(!image.load("/nonexistent/update.kv2"));
    QVERIFY(image.isNotReadable());
    QCOMPARE(image.sectionCount(), -1);
    QVERIFY(!image.matchesDevice("MZT-500"));
    QCOMPARE(
        image.statusText("MZT-500"),
        QString("<font color =\"red\">The file /nonexistent/update.kv2 is not readable.</font>"));
    QVERIFY(!image.load(""));
    QCOMPARE(image.statusText("MZT-500"), QString());

    // Never loaded: invalid, red.
    UpdateImage fresh;
    QVERIFY(!fresh.isValid());
    QCOMPARE(fresh.transmissionSize(), -1);
    QVERIFY(fresh.statusText("MZT-500").startsWith("<font color =\"red\">"));
}

void TestImage::zeroSections()
{
    UpdateImage image;
    QVERIFY(image.loadFromBytes(makeFile("MZT-500", {}), "empty.kv2"));
    QCOMPARE(image.sectionCount(), 0);
    QCOMPARE(image.transmissionSize(), 256);
    QVERIFY(!image.section(0));
    QVERIFY(image.headerBlock());
}

void TestImage::layoutCheckedBeforeReading_data()
{
    QTest::addColumn<QByteArray>("file");
    const QByteArray good = makeFile("MZT-500", {512, 256});

    QTest::newRow("shorter than header") << good.left(1279);
    QTest::newRow("header only, sections missing") << good.left(1280);
    QTest::newRow("last section cut short") << good.left(good.size() - 1);
    QByteArray nine = makeFile("MZT-500", {256, 256, 256, 256, 256, 256, 256, 256});
    nine[46] = 9;
    QTest::newRow("nine sections") << nine;
    QByteArray odd = good;
    putU32(odd, 68, 511);
    putU32(odd, 72, 257);
    QTest::newRow("size not whole blocks") << odd;
    QByteArray huge = good;
    putU32(huge, 68, 0xFFFFFF00u);
    putU32(huge, 72, 0xFFFFFF00u);
    QTest::newRow("sizes past the file, 32-bit wrap") << huge;
    QByteArray wrap = good;
    // 0xFFFFFD00 + 0x400 wraps to 0x100 in 32 bits, which would "fit".
    putU32(wrap, 68, 0xFFFFFD00u);
    putU32(wrap, 72, 0x400u);
    QTest::newRow("sum wraps to a small value") << wrap;
}

void TestImage::layoutCheckedBeforeReading()
{
    QFETCH(QByteArray, file);
    UpdateImage image;
    QVERIFY(!image.loadFromBytes(file, "bad.kv2"));
    QVERIFY(!image.isValid());
    QVERIFY(!image.isNotReadable());
    QVERIFY(!image.computedChecksum());
    QVERIFY(!image.section(0));
    QVERIFY(!image.problem().isEmpty());
    QCOMPARE(image.statusText("MZT-500"),
             QString("<font color =\"red\">The file bad.kv2 is not a valid KV2 file.</font>"));
}

void TestImage::oversizedFileRejected()
{
    QTemporaryDir dir;
    QFile f(dir.filePath("big.kv2"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.write(makeFile("MZT-500", {256})) > 0);
    QVERIFY(f.resize(kv2::MaxFileSize + 1)); // sparse: costs no disk space
    f.close();
    UpdateImage image;
    QVERIFY(!image.load(f.fileName()));
    QVERIFY(!image.isValid());
    QVERIFY(!image.isNotReadable());
    QVERIFY(image.problem().contains("above"));
}

void TestImage::onlyRegularFilesAreRead()
{
    // A device reports size 0 and then delivers without end; a FIFO nobody
    // writes to would block an ordinary open for ever. The load of the FIFO
    // runs aside so that the test can free it and fail instead of hanging.
    QTemporaryDir dir;
    const QString fifo = dir.filePath("update.kv2");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& path : {fifo, QStringLiteral("/dev/zero"), dir.path()}) {
        UpdateImage image;
        auto loading = std::async(std::launch::async, [&] { return image.load(path); });
        if (loading.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            loading.wait();
            ::close(writer);
            QFAIL(qPrintable(path + " blocked the load"));
        }
        QVERIFY(!loading.get());
        QVERIFY(image.isNotReadable());
        QVERIFY2(image.problem().contains("not a regular file"), qPrintable(image.problem()));
        QCOMPARE(image.statusText("MZT-500"),
                 QString("<font color =\"red\">The file %1 is not readable.</font>").arg(path));
    }
}

void TestImage::nonAsciiPath()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QString::fromUtf8("Aktualisierung für Gerät ½"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QString::fromUtf8("/Ωmega.kv2");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(makeFile("MZT-500", {256}));
    f.close();
    UpdateImage image;
    QVERIFY(image.load(path));
    QVERIFY(image.statusText("MZT-500").contains(QString::fromUtf8("Ωmega.kv2 is OK.")));
}

void TestImage::reloadResetsState()
{
    UpdateImage image;
    QVERIFY(image.loadFromBytes(makeFile("MZT-500", {256}), "a.kv2"));
    QVERIFY(!image.load("/nonexistent.kv2"));
    QVERIFY(!image.isValid());
    QCOMPARE(image.sectionCount(), -1);
    QVERIFY(!image.headerBlock());
    QVERIFY(image.loadFromBytes(makeFile("MZT-500", {512}), "b.kv2"));
    QVERIFY(!image.isNotReadable());
    QCOMPARE(image.transmissionSize(), 768);
}

void TestImage::versionStatedInTheFreeText_data()
{
    QTest::addColumn<QByteArray>("freeText");
    QTest::addColumn<int>("version"); // -1: none stated

    QTest::newRow("statement") << QByteArray("\r\nSoftware version: 1.05\r\n") << 0x0105;
    QTest::newRow("with a V, short minor") << QByteArray("Version V2.3") << 0x0203;
    QTest::newRow("first one wins") << QByteArray("version 1.06\nversion 1.07") << 0x0106;
    // The built-in file's kind of text: dates and paths, no version.
    QTest::newRow("dates and paths only")
        << QByteArray("\r\n2026-11-30 14:02\r\n : outputs_ROM/SAM7_ROM.mem\r\n") << -1;
    QTest::newRow("number on the next line") << QByteArray("version\n1.05") << -1;
    QTest::newRow("word inside another") << QByteArray("subversion 1.05") << -1;
    QTest::newRow("out of range") << QByteArray("version 300.1") << -1;
}

void TestImage::versionStatedInTheFreeText()
{
    QFETCH(QByteArray, freeText);
    QFETCH(int, version);
    const std::optional<quint16> stated = kv2::statedVersion(freeText);
    QCOMPARE(stated.has_value() ? int(*stated) : -1, version);
}

QTEST_GUILESS_MAIN(TestImage)
#include "tst_firmware_image.moc"
