// The transfer's progress line: the arithmetic of speed and time left, and
// units that stay readable from bytes to megabytes and seconds to hours.
#include "progress_text.h"

#include <QtTest>

using cli::TransferTotals;
Q_DECLARE_METATYPE(TransferTotals)

class TestCliProgress : public QObject {
    Q_OBJECT

private slots:
    void totals_data()
    {
        QTest::addColumn<TransferTotals>("totals");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing moved yet") << TransferTotals {0, 12, 0, 3500000, 5000}
                                           << "0/12 files  0 B of 3.50 MB  -- B/s  --:-- left";
        QTest::newRow("first second: no guess")
            << TransferTotals {0, 2, 4000, 10000, 999}
            << "0/2 files  4.0 kB of 10.0 kB  -- B/s  --:-- left";
        QTest::newRow("steady") << TransferTotals {3, 12, 1000000, 2000000, 10000}
                                << "3/12 files  1.00 MB of 2.00 MB  100.0 kB/s  0:10 left";
        QTest::newRow("a part of a second left is a second")
            << TransferTotals {0, 1, 999, 1000, 1000}
            << "0/1 files  999 B of 1.0 kB  999 B/s  0:01 left";
        QTest::newRow("hours") << TransferTotals {1, 65, 12400, 50000000, 1000}
                               << "1/65 files  12.4 kB of 50.00 MB  12.4 kB/s  1:07:12 left";
        QTest::newRow("done") << TransferTotals {2, 2, 5000, 5000, 2000}
                              << "2/2 files  5.0 kB of 5.0 kB  2.5 kB/s  0:00 left";
    }

    void totals()
    {
        QFETCH(TransferTotals, totals);
        QFETCH(QString, text);
        QCOMPARE(cli::totalsText(totals), text);
    }
};

QTEST_GUILESS_MAIN(TestCliProgress)
#include "tst_cli_progress.moc"
