// mzt500-kv2 as the build and a user run it.
#include "builtinimage.h"
#include "kv2format.h"
#include "updateimage.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run runTool(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(MZT_KV2_TOOL), args);
    Run r;
    if (!p.waitForFinished(60000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

bool writeBytes(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

} // namespace

class TestKv2Tool : public QObject {
    Q_OBJECT

private slots:
    void infoOnBuiltInImage();
    void infoOnDamagedFiles();
    void buildWritesLoadableFile();
    void buildRefusesBadInput();
    void refusesDevicesAndPipes();

private:
    QTemporaryDir m_dir;
};

void TestKv2Tool::infoOnBuiltInImage()
{
    QFile::remove(m_dir.filePath("builtin.kv2"));
    QVERIFY(QFile::copy(builtInImagePath(), m_dir.filePath("builtin.kv2")));
    const Run r = runTool({"info", m_dir.filePath("builtin.kv2")});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.last(), QString("valid"));
    QVERIFY(lines.contains("model: MZT-500"));
    QVERIFY(lines.contains("magic: 4b 56 55 32 00"));
    QVERIFY(lines.contains("sections: 2"));
    QVERIFY(lines.contains("section 0: 105472 bytes"));
    QVERIFY(lines.contains("section 1: 54784 bytes"));
    QVERIFY(lines.contains("transmission size: 160512"));
    // The diagnostics of the library stay off the tool's output.
    QVERIFY(!r.err.contains("Size of sector"));
}

void TestKv2Tool::infoOnDamagedFiles()
{
    QFile f(builtInImagePath());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QByteArray image = f.readAll();
    image[2000] = char(image[2000] ^ 0x5A);
    QVERIFY(writeBytes(m_dir.filePath("damaged.kv2"), image));
    Run r = runTool({"info", m_dir.filePath("damaged.kv2")});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.out.trimmed().split('\n').last(), QString("invalid: checksum mismatch"));
    QVERIFY(r.out.contains("stored checksum: "));

    QVERIFY(writeBytes(m_dir.filePath("short.kv2"), image.left(100)));
    r = runTool({"info", m_dir.filePath("short.kv2")});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.out.trimmed().split('\n').last().startsWith("invalid: "));

    r = runTool({"info", m_dir.filePath("missing.kv2")});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.out.trimmed().split('\n').last().startsWith("invalid: cannot open"));

    QCOMPARE(runTool({"info"}).exitCode, 2);
}

void TestKv2Tool::buildWritesLoadableFile()
{
    const QByteArray text = "\r\n2026-01-01\r\n : a.mem\r\n";
    const QByteArray s0 = kv2::placeholderSection("a", 1024);
    const QByteArray s1(256, '\xAB');
    QVERIFY(writeBytes(m_dir.filePath("text.txt"), text));
    QVERIFY(writeBytes(m_dir.filePath("s0.bin"), s0));
    QVERIFY(writeBytes(m_dir.filePath("s1.bin"), s1));
    const Run r =
        runTool({"build", "--model", "MZT-900", "--text", m_dir.filePath("text.txt"), "--out",
                 m_dir.filePath("out.kv2"), m_dir.filePath("s0.bin"), m_dir.filePath("s1.bin")});
    QCOMPARE(r.exitCode, 0);
    UpdateImage image;
    QVERIFY(image.load(m_dir.filePath("out.kv2")));
    QVERIFY(image.matchesDevice("MZT-900"));
    QCOMPARE(image.size(), 1280 + 1024 + 256);
    QCOMPARE(QByteArray(image.section(0)->data(), 1024), s0);
    QCOMPARE(QByteArray(image.section(1)->data(), 256), s1);
    QFile f(m_dir.filePath("out.kv2"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll().mid(256, text.size()), text);
}

void TestKv2Tool::buildRefusesBadInput()
{
    QVERIFY(writeBytes(m_dir.filePath("t.txt"), "x"));
    QVERIFY(writeBytes(m_dir.filePath("odd.bin"), QByteArray(300, 'a')));
    QVERIFY(writeBytes(m_dir.filePath("long.txt"), QByteArray(1025, 'x')));
    QVERIFY(writeBytes(m_dir.filePath("ok.bin"), QByteArray(256, 'a')));
    const QString out = m_dir.filePath("refused.kv2");
    Run r = runTool({"build", "--model", "MZT-500", "--text", m_dir.filePath("t.txt"), "--out", out,
                     m_dir.filePath("odd.bin")});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.err.contains("multiple of 256"));
    r = runTool({"build", "--model", "MZT-500", "--text", m_dir.filePath("long.txt"), "--out", out,
                 m_dir.filePath("ok.bin")});
    QCOMPARE(r.exitCode, 1);
    QStringList nine = {"build", "--model", "MZT-500", "--text", m_dir.filePath("t.txt"),
                        "--out", out};
    for (int i = 0; i < 9; ++i)
        nine << m_dir.filePath("ok.bin");
    QCOMPARE(runTool(nine).exitCode, 1);
    r = runTool({"build", "--model", "", "--text", m_dir.filePath("t.txt"), "--out", out});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(!QFile::exists(out));
    QCOMPARE(runTool({"build", "--model", "MZT-500"}).exitCode, 2);
}

void TestKv2Tool::refusesDevicesAndPipes()
{
    // Neither an endless device nor a FIFO without a writer holds the tool:
    // it names the reason and ends.
    const QString fifo = m_dir.filePath("fifo.kv2");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& path : {fifo, QStringLiteral("/dev/zero")}) {
        const Run r = runTool({"info", path});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.out.trimmed().split('\n').last().startsWith(
                     "invalid: cannot open: not a regular file"),
                 qPrintable(r.out));
    }
    const Run r = runTool({"build", "--model", "MZT-500", "--text", "/dev/zero", "--out",
                           m_dir.filePath("never.kv2")});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("not a regular file"), qPrintable(r.err));
    QVERIFY(!QFile::exists(m_dir.filePath("never.kv2")));
}

QTEST_GUILESS_MAIN(TestKv2Tool)
#include "tst_firmware_kv2tool.moc"
