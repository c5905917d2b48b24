// The About dialog: fixed size, version and the legal notice.
#include "aboutdialog.h"

#include <QLabel>
#include <QTemporaryFile>
#include <QTest>
#include <QTextBrowser>

class TestAbout : public QObject {
    Q_OBJECT

private slots:
    void showsVersionAndNoticeAndCannotBeResized();
    void noticeEndsAtTheFirstZeroByte();
};

void TestAbout::showsVersionAndNoticeAndCannotBeResized()
{
    AboutDialog dialog;
    dialog.show();
    QCOMPARE(dialog.minimumSize(), QSize(440, 330));
    QCOMPARE(dialog.maximumSize(), QSize(440, 330));
    dialog.resize(800, 600);
    QCOMPARE(dialog.size(), QSize(440, 330));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("About MZT-500 Data Backup Tool"));
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("versionLbl"))->text(),
             QStringLiteral("Version 0.4"));

    const QString notice =
        dialog.findChild<QTextBrowser*>(QStringLiteral("textBrowser"))->toPlainText();
    QVERIFY(notice.contains(QLatin1String("Korvant")));
    for (const char* library : {"Qt", "libarchive", "libftdi1", "libusb", "zlib"})
        QVERIFY2(notice.contains(QLatin1String(library)), library);
    for (const char* licence : {"LGPLv3", "BSD-2-Clause", "LGPL-2.1", "zlib licence"})
        QVERIFY2(notice.contains(QLatin1String(licence)), licence);

    QTest::mouseClick(dialog.findChild<QWidget*>(QStringLiteral("buttonOK")), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
}

void TestAbout::noticeEndsAtTheFirstZeroByte()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write(QByteArray("Visible text\0hidden text", 24));
    file.close();
    QCOMPARE(AboutDialog::readNotice(file.fileName()), QStringLiteral("Visible text"));
    QCOMPARE(AboutDialog::readNotice(QStringLiteral("/nonexistent/notice.txt")), QString());
}

QTEST_MAIN(TestAbout)
#include "tst_app_about.moc"
