// The device and archive tables: rows from content lists, their texts and
// icons, sorting, context menus and renumbering in the archive.
#include "apptest.h"

#include "comparisoncolumn.h"
#include "mztarchive.h"
#include "nofocusdelegate.h"

#include <QHeaderView>
#include <QMessageBox>
#include <QStyleOptionViewItem>

using namespace apptest;

namespace {

QByteArray list(std::initializer_list<QByteArray> records)
{
    QByteArray l;
    for (const QByteArray& r : records)
        l += r;
    return l;
}

void show(MainWindow& w, QByteArray content)
{
    w.newMZTContentArrived(content.data(), int(content.size()));
}

QStringList rowTexts(const QTableWidget* t, int row)
{
    return {t->item(row, 0)->text(), t->item(row, 1)->text(), t->item(row, 2)->text()};
}

ArchiveEntry* entry(qint32 id, qint32 type, quint32 memSize, quint32 duration)
{
    auto* e = new ArchiveEntry;
    e->setId(id);
    e->setType(type);
    e->setDuration(duration);
    e->setName(type == 0 ? QStringLiteral("SETTINGS")
                         : QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QLatin1Char('0')));
    const QByteArray rec = record(quint32(id), quint32(type), memSize, duration);
    e->appendContent(rec.constData(), rec.size());
    return e;
}

// The colour the table shows 8 pixels into the top row of the icon square
// of a row's first cell.
QRgb iconPixel(QTableWidget* t, int row)
{
    const QRect cell = t->visualItemRect(t->item(row, 0));
    const QImage shot = t->viewport()->grab().toImage();
    return shot.pixel(cell.topLeft() + QPoint(3 + 8, 1 + 1));
}

} // namespace

class TestTables : public QObject {
    Q_OBJECT

    std::unique_ptr<MainWindow> w;
    QTableWidget* dev() { return w->ui()->devTable; }
    QTableWidget* arch() { return w->ui()->archTable; }

private slots:
    void init()
    {
        install({});
        w = std::make_unique<MainWindow>();
        QVERIFY(waitSettled(*w, 0));
    }
    void cleanup()
    {
        w.reset();
        sim::Bus::instance().uninstall();
    }

    void tableSetUp();
    void rowTexts_data();
    void rowTexts();
    void listLengths();
    void rowsStayTogetherWhenSorted();
    void typeIcons();
    void deviceContextMenu();
    void archiveContextMenu();
    void archiveRows();
    void renumbering();
    void sizesAndDurationsSortByValue();
    void columnsFitTheirContent();
    void arrowsFollowTheSelectionAfterARebuild();
};

void TestTables::tableSetUp()
{
    for (QTableWidget* t : {dev(), arch()}) {
        QCOMPARE(t->columnCount(), 3);
        QCOMPARE(t->horizontalHeaderItem(0)->text(), QStringLiteral("name"));
        QCOMPARE(t->horizontalHeaderItem(1)->text(), QStringLiteral("size"));
        QCOMPARE(t->horizontalHeaderItem(2)->text(), QStringLiteral("duration"));
        QCOMPARE(t->editTriggers(), QAbstractItemView::NoEditTriggers);
        QCOMPARE(t->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(t->selectionMode(), QAbstractItemView::ExtendedSelection);
        QVERIFY(t->isSortingEnabled());
        // The vertical header is the rows' state column, not row numbers.
        QVERIFY(qobject_cast<comparison::StateColumn*>(t->verticalHeader()));
        QCOMPARE(t->contextMenuPolicy(), Qt::CustomContextMenu);
        QVERIFY(dynamic_cast<NoFocusDelegate*>(t->itemDelegate()));
    }
    QVERIFY(dev()->itemDelegate() != arch()->itemDelegate());
}

void TestTables::rowTexts_data()
{
    QTest::addColumn<QByteArray>("rec");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<uint>("id");
    QTest::newRow("sequence") << record(3, 1, 5000, 3725400)
                              << QStringList {"SEQUENCE 03", "4.88 KBytes", "1:02:05"} << 3u;
    QTest::newRow("two digits") << record(12, 1, 1023, 499)
                                << QStringList {"SEQUENCE 12", "1023 Bytes", "0:00:00"} << 12u;
    QTest::newRow("half second") << record(7, 1, 1024, 500)
                                 << QStringList {"SEQUENCE 07", "1.00 KBytes", "0:00:01"} << 7u;
    QTest::newRow("minute") << record(64, 1, 1048575, 59999)
                            << QStringList {"SEQUENCE 64", "1024.00 KBytes", "0:01:00"} << 64u;
    QTest::newRow("100 hours") << record(1, 1, 2621440, 360000000)
                               << QStringList {"SEQUENCE 01", "2.50 MBytes", "100:00:00"} << 1u;
    // Only sequences have a playing time.
    QTest::newRow("settings") << record(0, 0, 1048576, 5000)
                              << QStringList {"SETTINGS", "1.00 MBytes", ""} << 0u;
    QTest::newRow("unknown") << record(9, 2, 16, 5000) << QStringList {"UNKNOWN", "16 Bytes", ""}
                             << 9u;
    // A type without a name still shows its size and carries its id.
    QTest::newRow("type 5") << record(70, 5, 2048, 1000) << QStringList {"", "2.00 KBytes", ""}
                            << 70u;
}

void TestTables::rowTexts()
{
    QFETCH(QByteArray, rec);
    QFETCH(QStringList, texts);
    QFETCH(uint, id);
    show(*w, rec);
    QCOMPARE(dev()->rowCount(), 1);
    QCOMPARE(::rowTexts(dev(), 0), texts);
    QCOMPARE(dev()->item(0, 0)->data(1).toUInt(), id);
    QVERIFY(w->isDeviceReady());
}

void TestTables::listLengths()
{
    // 48 bytes: three files.
    show(*w, list({record(0, 0, 100, 0), record(1, 1, 200, 1000), record(2, 1, 300, 2000)}));
    QCOMPARE(dev()->rowCount(), 3);
    // 50 bytes is no list at all: the table stays as it was.
    QByteArray odd = list({record(5, 1, 1, 1), record(6, 1, 1, 1), record(7, 1, 1, 1)}) + "xy";
    show(*w, odd);
    QCOMPARE(dev()->rowCount(), 3);
    QVERIFY(rowOfName(dev(), QStringLiteral("SEQUENCE 05")) < 0);
    // 2048 bytes, the most the recorder can send: 128 rows.
    QByteArray full;
    for (quint32 i = 0; i < 128; ++i)
        full += record(i % 64 + 1, 1, 1024 * i, 1000 * i);
    show(*w, full);
    QCOMPARE(dev()->rowCount(), 128);
    // 0 bytes: an empty recorder.
    show(*w, QByteArray());
    QCOMPARE(dev()->rowCount(), 0);
}

void TestTables::rowsStayTogetherWhenSorted()
{
    dev()->sortItems(0, Qt::DescendingOrder);
    const QByteArray unsorted =
        list({record(9, 1, 9 * 1024, 9000), record(0, 0, 512, 0), record(40, 1, 40 * 1024, 40000),
              record(2, 1, 2048, 2000), record(17, 1, 17 * 1024, 17000)});
    show(*w, unsorted);
    QCOMPARE(dev()->rowCount(), 5);
    QCOMPARE(dev()->item(0, 0)->text(), QStringLiteral("SETTINGS"));
    QCOMPARE(dev()->item(1, 0)->text(), QStringLiteral("SEQUENCE 40"));
    for (int r = 0; r < 5; ++r) {
        const int id = dev()->item(r, 0)->data(1).toInt();
        if (id == 0) {
            QCOMPARE(::rowTexts(dev(), r), (QStringList {"SETTINGS", "512 Bytes", ""}));
            continue;
        }
        QCOMPARE(dev()->item(r, 0)->text(),
                 QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QLatin1Char('0')));
        QCOMPARE(dev()->item(r, 1)->text(), QStringLiteral("%1.00 KBytes").arg(id));
        QCOMPARE(dev()->item(r, 2)->text(),
                 QStringLiteral("0:00:%1").arg(id, 2, 10, QLatin1Char('0')));
    }

    // The archive table is rebuilt the same way.
    MZTArchive a;
    for (qint32 id : {33, 4, 0, 21})
        a.addEntry(entry(id, id ? 1 : 0, quint32(id) * 1024 + 1024, quint32(id) * 1000));
    arch()->sortItems(1, Qt::AscendingOrder);
    w->fillArchiveTable(&a, arch());
    QCOMPARE(arch()->rowCount(), 4);
    for (int r = 0; r < 4; ++r) {
        const int id = arch()->item(r, 0)->data(1).toInt();
        QCOMPARE(arch()->item(r, 1)->text(), QStringLiteral("%1.00 KBytes").arg(id + 1));
    }
}

void TestTables::typeIcons()
{
    show(*w, list({record(0, 0, 100, 0), record(1, 1, 200, 1000), record(70, 7, 1, 1)}));
    QCOMPARE(dev()->rowCount(), 3);
    const QRgb settings =
        QIcon(QStringLiteral(":/pixmaps/Settings.ico")).pixmap(16, 16).toImage().pixel(8, 1);
    const QRgb sequence =
        QIcon(QStringLiteral(":/pixmaps/Sequence 2.ico")).pixmap(16, 16).toImage().pixel(8, 1);
    QVERIFY(settings != sequence);
    for (int r = 0; r < 3; ++r) {
        const bool isSettings = dev()->item(r, 0)->data(1).toInt() == 0;
        QCOMPARE(iconPixel(dev(), r), isSettings ? settings : sequence);
    }
}

void TestTables::deviceContextMenu()
{
    show(*w, list({record(0, 0, 100, 0), record(1, 1, 200, 1000), record(2, 1, 300, 2000)}));
    const int settingsRow = rowOfName(dev(), QStringLiteral("SETTINGS"));
    const int sequenceRow = rowOfName(dev(), QStringLiteral("SEQUENCE 02"));
    // Below the rows: the menu of the selection alone.
    auto open = [this] { w->ctxMenuDev(QPoint(10, dev()->viewport()->height() - 2)); };

    dev()->clearSelection();
    QCOMPARE(menuTexts(open), (QStringList {"Select all", "Clear selection"}));

    // The settings file alone cannot be deleted...
    selectRows(dev(), {settingsRow});
    QCOMPARE(menuTexts(open),
             (QStringList {"Select all", "Clear selection", "", "Save selected in archive"}));
    // ...but with a sequence it may be part of a deletion.
    selectRows(dev(), {settingsRow, sequenceRow});
    QCOMPARE(menuTexts(open),
             (QStringList {"Select all", "Clear selection", "", "Save selected in archive",
                           "Delete selected"}));
    selectRows(dev(), {sequenceRow});
    QVERIFY(menuTexts(open).contains(QStringLiteral("Delete selected")));

    w->select_all_dev();
    QCOMPARE(dev()->selectedItems().size(), 9);
    w->clear_selection_dev();
    QVERIFY(dev()->selectedItems().isEmpty());
}

void TestTables::archiveContextMenu()
{
    MZTArchive a;
    a.addEntry(entry(0, 0, 100, 0));
    a.addEntry(entry(5, 1, 2048, 5000));
    a.addEntry(entry(64, 1, 2048, 5000));
    a.addEntry(entry(65, 1, 2048, 5000));
    w->fillArchiveTable(&a, arch());
    auto open = [this] { w->ctxMenuArch(QPoint(10, arch()->viewport()->height() - 2)); };
    const QStringList withSelection {"Select all", "Clear selection", "",
                                     "Transfer selected to device", "Delete selected"};

    arch()->clearSelection();
    QCOMPARE(menuTexts(open), (QStringList {"Select all", "Clear selection"}));
    // Only a single sequence row can be renumbered.
    for (const char* name : {"SEQUENCE 05", "SEQUENCE 64"}) {
        selectRows(arch(), {rowOfName(arch(), QLatin1String(name))});
        QCOMPARE(menuTexts(open), withSelection + QStringList {"Move Sequence to"});
    }
    selectRows(arch(), {rowOfName(arch(), QStringLiteral("SETTINGS"))});
    QCOMPARE(menuTexts(open), withSelection);
    selectRows(arch(), {rowOfName(arch(), QStringLiteral("SEQUENCE 65"))});
    QCOMPARE(menuTexts(open), withSelection);
    selectRows(arch(),
               {rowOfName(arch(), QStringLiteral("SEQUENCE 05")),
                rowOfName(arch(), QStringLiteral("SEQUENCE 64"))});
    QCOMPARE(menuTexts(open), withSelection);

    w->select_all_arch();
    QCOMPARE(arch()->selectedItems().size(), 12);
    QVERIFY(w->ui()->toDevice->isEnabled());
    w->clear_selection_arch();
    QVERIFY(!w->ui()->toDevice->isEnabled());
}

void TestTables::archiveRows()
{
    MZTArchive a;
    a.addEntry(entry(0, 0, 1024, 0));
    a.addEntry(entry(3, 1, 5000, 3725400));
    w->fillArchiveTable(&a, arch());
    QCOMPARE(arch()->rowCount(), 2);
    const int seq = rowOfName(arch(), QStringLiteral("SEQUENCE 03"));
    QCOMPARE(::rowTexts(arch(), seq), (QStringList {"SEQUENCE 03", "4.88 KBytes", "1:02:05"}));
    QCOMPARE(arch()->item(seq, 0)->data(1).toInt(), 3);
    // Rebuilding replaces the rows.
    MZTArchive empty;
    w->fillArchiveTable(&empty, arch());
    QCOMPARE(arch()->rowCount(), 0);
}

void TestTables::renumbering()
{
    MZTArchive* a = w->archive();
    if (!a)
        QSKIP("the window holds no archive object in this build");
    a->addEntry(entry(5, 1, 2048, 5000));
    a->addEntry(entry(12, 1, 2048, 5000));
    a->setModified(false);
    w->fillArchiveTable(a, arch());
    auto* delegate = static_cast<NoFocusDelegate*>(arch()->itemDelegate());

    auto renumber = [&](const QString& from, int to) {
        const int row = rowOfName(arch(), from);
        const QModelIndex index = arch()->model()->index(row, 0);
        std::unique_ptr<QWidget> editor(
            delegate->createEditor(arch()->viewport(), QStyleOptionViewItem(), index));
        auto* box = qobject_cast<QComboBox*>(editor.get());
        if (!box)
            return QString("no combo box");
        if (box->count() != 64 || box->itemText(63) != QLatin1String("SEQUENCE 64")
            || box->currentIndex() != arch()->item(row, 0)->data(1).toInt() - 1)
            return QString("wrong editor");
        // Other entries' numbers are marked, the entry's own is not.
        for (int n = 1; n <= 64; ++n) {
            const bool marked = box->itemData(n - 1, NoFocusDelegate::usedNumberRole).toBool();
            if (marked
                != (rowOfName(arch(), box->itemText(n - 1)) >= 0 && n - 1 != box->currentIndex()))
                return QStringLiteral("wrong mark on %1").arg(n);
        }
        // The editor shows the whole name even over a narrow cell.
        QStyleOptionViewItem narrow;
        narrow.rect = QRect(0, 0, 40, 18);
        delegate->updateEditorGeometry(box, narrow, index);
        if (box->width() < box->fontMetrics().horizontalAdvance(box->itemText(63)))
            return QString("editor clips the name");
        box->setCurrentIndex(to - 1);
        QString message;
        QTimer::singleShot(0, [&message] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                message = box->text();
                box->accept();
            }
        });
        delegate->setModelData(box, arch()->model(), index);
        return message;
    };

    // Taken number: a message, nothing changes.
    QCOMPARE(renumber(QStringLiteral("SEQUENCE 05"), 12),
             QStringLiteral("SEQUENCE 12 already exists"));
    QCOMPARE(a->entries().at(0)->id(), 5);
    QCOMPARE(a->entries().at(1)->id(), 12);
    QVERIFY(!a->isModified());
    QVERIFY(rowOfName(arch(), QStringLiteral("SEQUENCE 05")) >= 0);

    // Free number: the entry and its row change, the row is selected.
    QCOMPARE(renumber(QStringLiteral("SEQUENCE 05"), 40), QString());
    QCOMPARE(a->entries().at(0)->id(), 40);
    QCOMPARE(a->entries().at(0)->name(), QStringLiteral("SEQUENCE 40"));
    QVERIFY(a->isModified());
    const int row = rowOfName(arch(), QStringLiteral("SEQUENCE 40"));
    QVERIFY(row >= 0);
    QCOMPARE(arch()->item(row, 0)->data(1).toInt(), 40);
    QCOMPARE(arch()->selectedItems().size(), 3);
    QCOMPARE(arch()->selectedItems().first()->row(), row);
}

void TestTables::sizesAndDurationsSortByValue()
{
    // As text, "1.22 MBytes" sorts before "512 Bytes" and "10:00:00" before
    // "1:02:05"; by value they do not.
    show(*w,
         list({record(1, 1, 1279262, 36000000), record(2, 1, 512, 3725000), record(0, 0, 10240, 0),
               record(3, 1, 102400, 5000)}));
    QStringList names;
    dev()->sortItems(1, Qt::AscendingOrder);
    for (int r = 0; r < 4; ++r)
        names << dev()->item(r, 0)->text();
    QCOMPARE(names, (QStringList {"SEQUENCE 02", "SETTINGS", "SEQUENCE 03", "SEQUENCE 01"}));
    QCOMPARE(dev()->item(3, 1)->text(), QStringLiteral("1.22 MBytes"));

    names.clear();
    dev()->sortItems(2, Qt::AscendingOrder);
    for (int r = 0; r < 4; ++r)
        names << dev()->item(r, 0)->text();
    // The settings have no playing time and come first.
    QCOMPARE(names, (QStringList {"SETTINGS", "SEQUENCE 03", "SEQUENCE 02", "SEQUENCE 01"}));
    QCOMPARE(dev()->item(3, 2)->text(), QStringLiteral("10:00:00"));

    // The archive table the same way, also while rows are being put in.
    MZTArchive a;
    a.addEntry(entry(1, 1, 1279262, 36000000));
    a.addEntry(entry(2, 1, 512, 3725000));
    a.addEntry(entry(3, 1, 102400, 5000));
    arch()->sortItems(2, Qt::DescendingOrder);
    w->fillArchiveTable(&a, arch());
    QCOMPARE(arch()->item(0, 2)->text(), QStringLiteral("10:00:00"));
    QCOMPARE(arch()->item(1, 2)->text(), QStringLiteral("1:02:05"));
    QCOMPARE(arch()->item(2, 2)->text(), QStringLiteral("0:00:05"));
    arch()->sortItems(1, Qt::AscendingOrder);
    QCOMPARE(arch()->item(0, 1)->text(), QStringLiteral("512 Bytes"));
    QCOMPARE(arch()->item(2, 1)->text(), QStringLiteral("1.22 MBytes"));
}

void TestTables::columnsFitTheirContent()
{
    // A large font, as some desktop themes use: names and sizes still show whole.
    QFont big = dev()->font();
    big.setPointSize(big.pointSize() * 2);
    dev()->setFont(big);
    show(*w, list({record(64, 1, 104448, 5000), record(0, 0, 512, 0)}));
    const QFontMetrics metrics(big);
    const int row = rowOfName(dev(), QStringLiteral("SEQUENCE 64"));
    // The name starts after the type icon.
    QVERIFY(dev()->columnWidth(0) >= 16 + metrics.horizontalAdvance(QStringLiteral("SEQUENCE 64")));
    QVERIFY(dev()->columnWidth(1) >= metrics.horizontalAdvance(dev()->item(row, 1)->text()));
    QCOMPARE(dev()->horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);

    // Never narrower than the usual widths, and a column the user widened stays so.
    QCOMPARE(arch()->columnWidth(0), 120);
    arch()->setColumnWidth(0, 260);
    MZTArchive a;
    a.addEntry(entry(7, 1, 2048, 5000));
    w->fillArchiveTable(&a, arch());
    QCOMPARE(arch()->columnWidth(0), 260);
}

void TestTables::arrowsFollowTheSelectionAfterARebuild()
{
    MZTArchive* a = w->archive();
    a->addEntry(entry(5, 1, 2048, 5000));
    w->fillArchiveTable(a, arch());
    selectRows(arch(), {0});
    QVERIFY(w->ui()->toDevice->isEnabled());
    // A rebuilt table has nothing selected, and the arrow goes off with it.
    w->fillArchiveTable(a, arch());
    QVERIFY(arch()->selectedItems().isEmpty());
    QVERIFY(!w->ui()->toDevice->isEnabled());

    // Leaving the busy state rebuilds the table too.
    selectRows(arch(), {0});
    show(*w, list({record(1, 1, 200, 1000)}));
    selectRows(dev(), {0});
    w->enterBusy();
    QVERIFY(!w->ui()->toDevice->isEnabled());
    w->operationDone();
    QVERIFY(!w->ui()->toDevice->isEnabled());
    QVERIFY(w->ui()->toArchive->isEnabled());
    // A new listing replaces the recorder's rows and their selection.
    show(*w, list({record(2, 1, 200, 1000)}));
    QVERIFY(!w->ui()->toArchive->isEnabled());
}

QTEST_MAIN(TestTables)
#include "tst_app_tables.moc"
