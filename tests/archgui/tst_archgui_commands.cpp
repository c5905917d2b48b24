// The main window's archive commands: the archive label, the archive kept
// across restarts, the save questions and their outcomes, failed opens and
// the archive check at close. Dialogs are answered by a script that acts on
// whichever modal widget is active, so no user and no native dialog is needed.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "kvpmaster.h"
#include "mztarchive.h"
#include "testrecords.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString settingsKey = QStringLiteral("archive_file_name");
const QString windowTitle = QStringLiteral("MZT-500 Data Backup Tool");
const QString archiveFilter = QStringLiteral("MZT-500 Archives (*.mzt)");

QSettings storedSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvant"),
                     QStringLiteral("MZT-500 Data Backup Tool"));
}

QVariant storedArchiveName()
{
    return storedSettings().value(settingsKey);
}

ArchiveEntry* sequenceEntry(qint32 id)
{
    const QByteArray file = testcommon::recorderFile(id, 1, 1024, quint32(id) * 1000,
                                                     QByteArray(40, char('a' + id % 26)));
    return testcommon::makeEntry(id, 1, file, testcommon::sequenceName(id));
}

bool writeArchive(const QString& path, const QList<qint32>& ids)
{
    MZTArchive archive(path);
    for (qint32 id : ids)
        archive.addEntry(sequenceEntry(id));
    return archive.save();
}

// The ids of the archive file at path, or {-1} if it does not load.
QList<qint32> idsOnDisk(const QString& path)
{
    MZTArchive archive(path);
    if (!archive.load())
        return {-1};
    QList<qint32> ids;
    for (const ArchiveEntry* entry : archive.entries())
        ids << entry->id();
    return ids;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<qint32> idsOf(const MZTArchive* archive)
{
    QList<qint32> ids;
    for (const ArchiveEntry* entry : archive->entries())
        ids << entry->id();
    return ids;
}

// What a scripted step found when its dialog came up.
struct SeenDialog {
    QString kind; // "file", "message" or the class name of anything else
    QString title;
    QString text;
    QString informativeText;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QWidget* parent = nullptr;
    QString directory;
    QStringList nameFilters;
};

// Answers the modal dialogs the window opens, one step per dialog, in order.
// A dialog that comes when no step is left is rejected and counted, so a
// test never hangs on an unexpected question.
class DialogScript : public QObject {
public:
    DialogScript()
    {
        connect(&m_timer, &QTimer::timeout, this, &DialogScript::poll);
        m_timer.start(10);
    }

    // Accept the file dialog with path; an empty path cancels it.
    void fileDialog(const QString& path)
    {
        m_steps.append([this, path](QWidget* widget) {
            auto* dialog = qobject_cast<QFileDialog*>(widget);
            if (!dialog)
                return reject(widget);
            SeenDialog& seen = m_seen.last();
            seen.kind = QStringLiteral("file");
            seen.directory = dialog->directory().absolutePath();
            seen.nameFilters = dialog->nameFilters();
            if (path.isEmpty()) {
                dialog->reject();
            } else {
                // selectFile() leaves the name field alone while it has focus.
                if (QWidget* focused = dialog->focusWidget())
                    focused->clearFocus();
                dialog->selectFile(path);
                static_cast<QDialog*>(dialog)->accept();
            }
        });
    }

    void messageBox(QMessageBox::StandardButton answer)
    {
        m_steps.append([this, answer](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (!box || !box->button(answer))
                return reject(widget);
            SeenDialog& seen = m_seen.last();
            seen.kind = QStringLiteral("message");
            seen.text = box->text();
            seen.informativeText = box->informativeText();
            seen.buttons = box->standardButtons();
            seen.defaultButton = box->standardButton(box->defaultButton());
            box->button(answer)->click();
        });
    }

    // Clicks the box's button whose text, mnemonic aside, is text.
    void messageBoxButton(const QString& text)
    {
        m_steps.append([this, text](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            QAbstractButton* chosen = nullptr;
            for (QAbstractButton* button : box ? box->buttons() : QList<QAbstractButton*>())
                if (button->text().remove(QLatin1Char('&')) == text)
                    chosen = button;
            if (!chosen || !chosen->isEnabled())
                return reject(widget);
            SeenDialog& seen = m_seen.last();
            seen.kind = QStringLiteral("message");
            seen.text = box->text();
            seen.informativeText = box->informativeText();
            chosen->click();
        });
    }

    bool finished() const { return m_steps.isEmpty() && m_unexpected == 0; }
    const QList<SeenDialog>& seen() const { return m_seen; }
    const SeenDialog& seen(int i) const { return m_seen.at(i); }

private:
    void poll()
    {
        QWidget* widget = QApplication::activeModalWidget();
        if (!widget || widget->property("scriptAnswered").toBool())
            return;
        widget->setProperty("scriptAnswered", true);
        SeenDialog seen;
        seen.kind = QString::fromLatin1(widget->metaObject()->className());
        seen.title = widget->windowTitle();
        seen.parent = widget->parentWidget();
        m_seen.append(seen);
        if (m_steps.isEmpty())
            return reject(widget);
        m_steps.takeFirst()(widget);
        // A dialog that refused the answer would otherwise wait forever.
        if (widget->isVisible())
            reject(widget);
    }

    void reject(QWidget* widget)
    {
        ++m_unexpected;
        if (auto* dialog = qobject_cast<QDialog*>(widget))
            dialog->reject();
        else
            widget->close();
    }

    QTimer m_timer;
    QList<std::function<void(QWidget*)>> m_steps;
    QList<SeenDialog> m_seen;
    int m_unexpected = 0;
};

// Saves the window's archive, answering the question about its file with
// "Save as..." and the file dialog with path; whether both were asked.
bool saveAnsweringSaveAs(MainWindow* window, const QString& path)
{
    DialogScript script;
    script.messageBoxButton(QStringLiteral("Save as..."));
    script.fileDialog(path);
    window->on_saveArchive_clicked();
    return script.finished();
}

} // namespace

// A window past its start-up discovery, or a failed test.
#define START_WINDOW(var, ...)                                                                     \
    auto var = startWindow(__VA_ARGS__);                                                           \
    QVERIFY2(var, "the window stayed busy after start-up")

class TestArchiveCommands : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void labelShowsNameModifiedMarkAndPath();
    void startUpArchiveFromSettingsOrArgument();
    void archiveNameRememberedAcrossRestarts();
    void saveWritesInPlaceOrAsksForName();
    void replacingModifiedArchiveAsksFirst();
    void openReportsDamagedArchives();
    void damagedStartUpArchiveIsNotReplacedBySave();
    void failedSaveKeepsTheFileOnDisk();
    void closeChecksUnsavedChanges();
    void commandsDoNothingWhileBusy();
    void archiveChangedByAnotherProgramIsNotOverwritten();
    void writeProtectedArchiveIsNeverReplaced();

private:
    std::unique_ptr<MainWindow> startWindow(const QString* argument = nullptr);
    QString path(const QString& name) const { return m_files->filePath(name); }
    QLabel* label(MainWindow& window) const { return window.ui()->archLabel; }

    QTemporaryDir m_settingsDir;
    std::unique_ptr<QTemporaryDir> m_files;
};

void TestArchiveCommands::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    // Settings go to a private folder, never to the user's own settings.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    qApp->setQuitOnLastWindowClosed(false);
}

void TestArchiveCommands::init()
{
    m_files = std::make_unique<QTemporaryDir>();
    QVERIFY(m_files->isValid());
    storedSettings().remove(settingsKey);
}

void TestArchiveCommands::cleanup()
{
    m_files.reset();
}

std::unique_ptr<MainWindow> TestArchiveCommands::startWindow(const QString* argument)
{
    auto window =
        argument ? std::make_unique<MainWindow>(*argument) : std::make_unique<MainWindow>();
    window->show();
    // Discovery keeps the window busy at first; without recorders it ends soon.
    if (!QTest::qWaitFor([&] { return !window->isBusy(); }, 30000))
        window.reset();
    return window;
}

void TestArchiveCommands::labelShowsNameModifiedMarkAndPath()
{
    START_WINDOW(window);
    QVERIFY(!window->isBusy());
    QCOMPARE(label(*window)->text(), QStringLiteral("<b><i>Unnamed archive"));
    QCOMPARE(label(*window)->toolTip(), QString());

    // Unsaved changes are marked whether the archive has a name or not.
    window->archive()->addEntry(sequenceEntry(3));
    window->updateArchLabel();
    QCOMPARE(label(*window)->text(), QStringLiteral("<b><i>Unnamed archive</i> *"));

    const QString named = path(QStringLiteral("show.mzt"));
    window->archive()->setFileName(named);
    window->updateArchLabel();
    QCOMPARE(label(*window)->text(), QStringLiteral("<b>show.mzt *</b>"));
    QCOMPARE(label(*window)->toolTip(), named);

    window->archive()->setModified(false);
    window->updateArchLabel();
    QCOMPARE(label(*window)->text(), QStringLiteral("<b>show.mzt</b>"));

    // The label is rich text: a name with markup characters shows as typed.
    const QString marked = path(QStringLiteral("<i>a&b.mzt"));
    window->archive()->setFileName(marked);
    window->updateArchLabel();
    QCOMPARE(label(*window)->text(), QStringLiteral("<b>&lt;i&gt;a&amp;b.mzt</b>"));
    QCOMPARE(label(*window)->toolTip(), marked);

    // Back to unnamed: the tool tip goes with the name.
    window->archive()->setFileName(QString());
    window->updateArchLabel();
    QCOMPARE(label(*window)->toolTip(), QString());
}

void TestArchiveCommands::startUpArchiveFromSettingsOrArgument()
{
    // Nothing remembered: empty and unnamed.
    {
        START_WINDOW(window);
        QVERIFY(window->archive()->fileName().isEmpty());
        QVERIFY(window->archive()->entries().isEmpty());
        QCOMPARE(window->ui()->archTable->rowCount(), 0);
    }

    // A remembered file that no longer exists: empty, the name kept.
    const QString missing = path(QStringLiteral("gone.mzt"));
    storedSettings().setValue(settingsKey, missing);
    {
        START_WINDOW(window);
        QCOMPARE(window->archive()->fileName(), missing);
        QVERIFY(window->archive()->entries().isEmpty());
        QVERIFY(!window->archive()->isModified());
        QCOMPARE(label(*window)->text(), QStringLiteral("<b>gone.mzt</b>"));
    }

    // A path given at start wins over the remembered one, whatever characters
    // its name holds.
    const QString remembered = path(QStringLiteral("remembered.mzt"));
    const QString given = path(QStringLiteral("Lichtshow äöü – €.mzt"));
    QVERIFY(writeArchive(remembered, {7}));
    QVERIFY(writeArchive(given, {12, 5}));
    storedSettings().setValue(settingsKey, remembered);
    {
        START_WINDOW(window, &given);
        QVERIFY(window->archivePathFromCommandLine());
        QCOMPARE(window->archive()->fileName(), given);
        QCOMPARE(idsOf(window->archive()), (QList<qint32> {12, 5}));
        QCOMPARE(window->ui()->archTable->rowCount(), 2);
        QVERIFY(!window->archive()->isModified());
    }
    {
        START_WINDOW(window);
        QCOMPARE(idsOf(window->archive()), QList<qint32> {7});
    }
}

void TestArchiveCommands::archiveNameRememberedAcrossRestarts()
{
    const QString saved = path(QStringLiteral("Bühne 1.mzt"));
    {
        START_WINDOW(window);
        window->archive()->addEntry(sequenceEntry(4));
        window->archive()->addEntry(sequenceEntry(9));
        DialogScript script;
        script.fileDialog(saved);
        window->on_saveArchiveAs_clicked();
        QVERIFY(script.finished());
        QCOMPARE(script.seen(0).title, QStringLiteral("Save Archive As"));
        QCOMPARE(script.seen(0).parent, window.get());
        QVERIFY(script.seen(0).nameFilters.contains(archiveFilter));
        QCOMPARE(window->archive()->fileName(), saved);
        QVERIFY(!window->archive()->isModified());
        QCOMPARE(label(*window)->text(), QStringLiteral("<b>Bühne 1.mzt</b>"));
        QCOMPARE(storedArchiveName().toString(), saved);
    }
    QCOMPARE(idsOnDisk(saved), (QList<qint32> {4, 9}));

    // The next start loads it; New forgets it for the start after.
    {
        START_WINDOW(window);
        QCOMPARE(window->archive()->fileName(), saved);
        QCOMPARE(idsOf(window->archive()), (QList<qint32> {4, 9}));
        DialogScript script;
        window->on_actionNew_Archive_triggered();
        QVERIFY(script.finished());
        QVERIFY(script.seen().isEmpty());
        QVERIFY(window->archive()->fileName().isEmpty());
        QCOMPARE(window->ui()->archTable->rowCount(), 0);
        QCOMPARE(storedArchiveName().toString(), QString());
    }
    {
        START_WINDOW(window);
        QVERIFY(window->archive()->fileName().isEmpty());
        QVERIFY(window->archive()->entries().isEmpty());

        // Open alone does not change what the next start loads; closing does.
        DialogScript script;
        script.fileDialog(saved);
        window->on_openArchive_clicked();
        QVERIFY(script.finished());
        QCOMPARE(window->archive()->fileName(), saved);
        QCOMPARE(storedArchiveName().toString(), QString());
        QVERIFY(window->close());
        QCOMPARE(storedArchiveName().toString(), saved);
    }
    {
        START_WINDOW(window);
        QCOMPARE(idsOf(window->archive()), (QList<qint32> {4, 9}));

        // A named archive whose file is gone is not remembered at close.
        window->archive()->setFileName(path(QStringLiteral("never-written.mzt")));
        QVERIFY(window->close());
        QCOMPARE(storedArchiveName().toString(), saved);
    }
}

void TestArchiveCommands::saveWritesInPlaceOrAsksForName()
{
    START_WINDOW(window);

    // Unnamed: Save asks for a name; cancelling leaves it unnamed and changed.
    window->archive()->addEntry(sequenceEntry(2));
    {
        DialogScript script;
        script.fileDialog(QString());
        window->on_actionSave_Archive_triggered();
        QVERIFY(script.finished());
        QCOMPARE(script.seen().size(), 1);
        QCOMPARE(script.seen(0).kind, QStringLiteral("file"));
        QVERIFY(window->archive()->fileName().isEmpty());
        QVERIFY(window->archive()->isModified());
        QCOMPARE(label(*window)->text(), QStringLiteral("<b><i>Unnamed archive</i> *"));
        QVERIFY(!storedArchiveName().isValid());
    }

    // A name where no file can be written: the failure is reported and the
    // dialog comes again; cancelling keeps the rejected name and the changes.
    const QString blocker = path(QStringLiteral("not-a-folder"));
    QFile blockerFile(blocker);
    QVERIFY(blockerFile.open(QIODevice::WriteOnly));
    blockerFile.close();
    const QString unwritable = blocker + QStringLiteral("/x.mzt");
    {
        DialogScript script;
        script.fileDialog(unwritable);
        script.messageBox(QMessageBox::Ok);
        script.fileDialog(QString());
        window->on_saveArchiveAs_clicked();
        QVERIFY(script.finished());
        QCOMPARE(script.seen(1).text, QStringLiteral("Failed to save the archive."));
        QCOMPARE(script.seen(1).title, windowTitle);
        QCOMPARE(script.seen(1).parent, window.get());
        QCOMPARE(window->archive()->fileName(), unwritable);
        QVERIFY(window->archive()->isModified());
        QCOMPARE(label(*window)->text(), QStringLiteral("<b>x.mzt *</b>"));
        QVERIFY(!storedArchiveName().isValid());
    }

    // Save of a name whose file does not exist goes to the dialog as well.
    const QString first = path(QStringLiteral("first.mzt"));
    {
        DialogScript script;
        script.fileDialog(first);
        window->on_saveArchive_clicked();
        QVERIFY(script.finished());
        QCOMPARE(window->archive()->fileName(), first);
        QCOMPARE(label(*window)->text(), QStringLiteral("<b>first.mzt</b>"));
    }
    QCOMPARE(idsOnDisk(first), QList<qint32> {2});

    // With the file in place, Save writes it without asking and removes the mark.
    window->archive()->addEntry(sequenceEntry(33));
    window->updateArchLabel();
    QCOMPARE(label(*window)->text(), QStringLiteral("<b>first.mzt *</b>"));
    {
        DialogScript script;
        window->on_saveArchive_clicked();
        QVERIFY(script.finished());
        QVERIFY(script.seen().isEmpty());
        QCOMPARE(label(*window)->text(), QStringLiteral("<b>first.mzt</b>"));
    }
    QCOMPARE(idsOnDisk(first), (QList<qint32> {2, 33}));

    // A file that cannot be rewritten in place sends Save to the dialog.
    QVERIFY(QFile::remove(first));
    QVERIFY(QDir().mkdir(first));
    window->archive()->addEntry(sequenceEntry(34));
    const QString second = path(QStringLiteral("second.mzt"));
    {
        DialogScript script;
        script.fileDialog(second);
        window->on_saveArchive_clicked();
        QVERIFY(script.finished());
        QCOMPARE(window->archive()->fileName(), second);
        QVERIFY(!window->archive()->isModified());
    }
    QCOMPARE(idsOnDisk(second), (QList<qint32> {2, 33, 34}));
}

void TestArchiveCommands::replacingModifiedArchiveAsksFirst()
{
    const QString named = path(QStringLiteral("named.mzt"));
    QVERIFY(writeArchive(named, {1, 2}));
    storedSettings().setValue(settingsKey, named);
    START_WINDOW(window);
    QCOMPARE(idsOf(window->archive()), (QList<qint32> {1, 2}));

    // No: the changes go, the file stays as it was.
    window->archive()->addEntry(sequenceEntry(3));
    {
        DialogScript script;
        script.messageBox(QMessageBox::No);
        window->on_newArchive_clicked();
        QVERIFY(script.finished());
        const SeenDialog& question = script.seen(0);
        QCOMPARE(question.text,
                 QStringLiteral(
                     "The current archive has been modified\nDo you want to save the changes?"));
        QCOMPARE(question.title, windowTitle);
        QCOMPARE(question.parent, window.get());
        QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(question.defaultButton, QMessageBox::No);
        QVERIFY(window->archive()->fileName().isEmpty());
        QVERIFY(window->archive()->entries().isEmpty());
    }
    QCOMPARE(idsOnDisk(named), (QList<qint32> {1, 2}));

    // Yes with a file in place: written there, then replaced.
    {
        DialogScript script;
        script.fileDialog(named);
        window->on_openArchive_clicked();
        QVERIFY(script.finished());
        window->archive()->addEntry(sequenceEntry(8));
    }
    {
        DialogScript script;
        script.messageBox(QMessageBox::Yes);
        window->on_newArchive_clicked();
        QVERIFY(script.finished());
        QCOMPARE(script.seen().size(), 1);
        QVERIFY(window->archive()->entries().isEmpty());
    }
    QCOMPARE(idsOnDisk(named), (QList<qint32> {1, 2, 8}));

    // Yes on an unnamed archive whose Save as is cancelled: nothing was saved,
    // so New keeps the archive instead of dropping what the user meant to keep.
    window->archive()->addEntry(sequenceEntry(21));
    MZTArchive* unsaved = window->archive();
    {
        DialogScript script;
        script.messageBox(QMessageBox::Yes);
        script.fileDialog(QString());
        window->on_newArchive_clicked();
        QVERIFY(script.finished());
        QVERIFY(window->archive() == unsaved);
        QCOMPARE(idsOf(window->archive()), QList<qint32> {21});
        QVERIFY(window->archive()->isModified());
    }

    // The same when the chosen file cannot be written and the user gives up.
    const QString blocker = path(QStringLiteral("plain-file"));
    QFile blockerFile(blocker);
    QVERIFY(blockerFile.open(QIODevice::WriteOnly));
    blockerFile.close();
    {
        DialogScript script;
        script.messageBox(QMessageBox::Yes);
        script.fileDialog(blocker + QStringLiteral("/y.mzt"));
        script.messageBox(QMessageBox::Ok);
        script.fileDialog(QString());
        window->on_newArchive_clicked();
        QVERIFY(script.finished());
        QVERIFY(window->archive() == unsaved);
        QVERIFY(window->archive()->isModified());
    }

    // Yes, then a name that works: saved, remembered, then replaced.
    const QString rescued = path(QStringLiteral("rescued.mzt"));
    {
        DialogScript script;
        script.messageBox(QMessageBox::Yes);
        script.fileDialog(rescued);
        window->on_newArchive_clicked();
        QVERIFY(script.finished());
        QVERIFY(window->archive()->fileName().isEmpty());
        QVERIFY(window->archive()->entries().isEmpty());
        // New forgets the saved name again for the next start.
        QCOMPARE(storedArchiveName().toString(), QString());
    }
    QCOMPARE(idsOnDisk(rescued), QList<qint32> {21});
}

void TestArchiveCommands::damagedStartUpArchiveIsNotReplacedBySave()
{
    const QString damaged = path(QStringLiteral("damaged.mzt"));
    QVERIFY(writeArchive(damaged, {1, 2, 3, 4}));
    QFile file(damaged);
    QVERIFY(file.open(QIODevice::ReadWrite));
    const QByteArray cut = file.readAll().left(file.size() / 2);
    QVERIFY(file.resize(cut.size()));
    file.close();
    storedSettings().setValue(settingsKey, damaged);

    // Remembered or given on the command line alike.
    for (const QString* argument : {static_cast<const QString*>(nullptr), &damaged}) {
        DialogScript script;
        script.messageBox(QMessageBox::Ok);
        START_WINDOW(window, argument);
        QTRY_VERIFY(script.finished());
        QCOMPARE(script.seen(0).kind, QStringLiteral("message"));
        QCOMPARE(script.seen(0).parent, window.get());
        QVERIFY2(script.seen(0).text.contains(QStringLiteral("could not be loaded"))
                     && script.seen(0).text.contains(damaged),
                 qPrintable(script.seen(0).text));
        // An unnamed archive: Save has to ask for a name.
        QVERIFY(window->archive()->fileName().isEmpty());
        QVERIFY(window->archive()->entries().isEmpty());
        QCOMPARE(label(*window)->text(), QStringLiteral("<b><i>Unnamed archive"));

        window->archive()->addEntry(sequenceEntry(9));
        script.fileDialog(QString());
        window->on_saveArchive_clicked();
        QVERIFY(script.finished());
        QCOMPARE(script.seen(1).kind, QStringLiteral("file"));
        QCOMPARE(readAll(damaged), cut);

        script.messageBox(QMessageBox::Discard);
        QVERIFY(window->close());
        QVERIFY(script.finished());
        // The next start tries the remembered file again.
        QCOMPARE(storedArchiveName().toString(), damaged);
    }
    QCOMPARE(readAll(damaged), cut);
}

void TestArchiveCommands::failedSaveKeepsTheFileOnDisk()
{
    const QString old = path(QStringLiteral("old.mzt"));
    QVERIFY(writeArchive(old, {1, 2}));
    const QByteArray before = readAll(old);
    const QString probe = path(QStringLiteral("probe.mzt"));
    QVERIFY(writeArchive(probe, {1, 2, 3}));
    const qint64 newSize = QFileInfo(probe).size();

    START_WINDOW(window, &old);
    window->archive()->addEntry(sequenceEntry(3));
    // The disk fills at every byte of the new file in turn: Save reports
    // nothing saved (it asks for another name, cancelled here) and the file
    // on disk stays as it was.
    for (qint64 space = 0; space < newSize; ++space) {
        MZTArchive::setSaveFaults({.spaceLeft = space});
        DialogScript script;
        script.fileDialog(QString());
        window->on_saveArchive_clicked();
        MZTArchive::setSaveFaults({});
        QVERIFY(script.finished());
        QCOMPARE(script.seen(0).title, QStringLiteral("Save Archive As"));
        QVERIFY(window->archive()->isModified());
        QCOMPARE(label(*window)->text(), QStringLiteral("<b>old.mzt *</b>"));
        QVERIFY2(readAll(old) == before, qPrintable(QString::number(space)));
    }
    QCOMPARE(QDir(m_files->path()).entryList(QDir::Files | QDir::Hidden),
             (QStringList {QStringLiteral("old.mzt"), QStringLiteral("probe.mzt")}));

    // With room on the disk the same Save writes in place.
    DialogScript script;
    window->on_saveArchive_clicked();
    QVERIFY(script.finished());
    QVERIFY(script.seen().isEmpty());
    QVERIFY(!window->archive()->isModified());
    QCOMPARE(idsOnDisk(old), (QList<qint32> {1, 2, 3}));
}

void TestArchiveCommands::openReportsDamagedArchives()
{
    const QString good = path(QStringLiteral("good.mzt"));
    const QString broken = path(QStringLiteral("broken.mzt"));
    QVERIFY(writeArchive(good, {10, 11, 12}));
    QFile file(broken);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("this is no archive at all");
    file.close();

    storedSettings().setValue(settingsKey, good);
    START_WINDOW(window);
    window->archive()->addEntry(sequenceEntry(40));
    MZTArchive* modified = window->archive();

    // No, then cancel the dialog: the modified archive stays.
    {
        DialogScript script;
        script.messageBox(QMessageBox::No);
        script.fileDialog(QString());
        window->on_action_Open_Archive_triggered();
        QVERIFY(script.finished());
        QCOMPARE(script.seen(1).title, QStringLiteral("Open Archive"));
        QCOMPARE(script.seen(1).directory, m_files->path());
        QVERIFY(script.seen(1).nameFilters.contains(archiveFilter));
        QVERIFY(window->archive() == modified);
        QVERIFY(window->archive()->isModified());
        QCOMPARE(label(*window)->text(), QStringLiteral("<b>good.mzt *</b>"));
    }

    // Yes, the file cannot be rewritten in place and the Save as is
    // cancelled: Open stops before its dialog and keeps the changes.
    QVERIFY(QFile::remove(good));
    QVERIFY(QDir().mkdir(good));
    {
        DialogScript script;
        script.messageBox(QMessageBox::Yes);
        script.fileDialog(QString());
        window->on_openArchive_clicked();
        QVERIFY(script.finished());
        // Only the question and the Save as dialog: Open stopped there.
        QCOMPARE(script.seen().size(), 2);
        QVERIFY(window->archive() == modified);
        QVERIFY(window->archive()->isModified());
    }
    QVERIFY(QDir().rmdir(good));
    QVERIFY(writeArchive(good, {10, 11, 12}));

    // A damaged file is reported and the dialog comes again.
    {
        DialogScript script;
        script.messageBox(QMessageBox::No);
        script.fileDialog(broken);
        script.messageBox(QMessageBox::Ok);
        script.fileDialog(good);
        window->on_openArchive_clicked();
        QVERIFY(script.finished());
        QCOMPARE(script.seen(2).text, QStringLiteral("Failed to open the archive."));
        QCOMPARE(script.seen(2).title, windowTitle);
        QCOMPARE(script.seen(2).parent, window.get());
        QCOMPARE(window->archive()->fileName(), good);
        QCOMPARE(idsOf(window->archive()), (QList<qint32> {10, 11, 12}));
        QVERIFY(!window->archive()->isModified());
        QCOMPARE(window->ui()->archTable->rowCount(), 3);
        QCOMPARE(label(*window)->text(), QStringLiteral("<b>good.mzt</b>"));
    }

    // A failed open and a cancel keep the current archive as it was.
    {
        DialogScript script;
        script.fileDialog(broken);
        script.messageBox(QMessageBox::Ok);
        script.fileDialog(QString());
        MZTArchive* current = window->archive();
        window->on_openArchive_clicked();
        QVERIFY(script.finished());
        QVERIFY(window->archive() == current);
        QCOMPARE(idsOf(window->archive()), (QList<qint32> {10, 11, 12}));
    }
}

void TestArchiveCommands::closeChecksUnsavedChanges()
{
    const QString named = path(QStringLiteral("close.mzt"));
    QVERIFY(writeArchive(named, {5}));
    storedSettings().setValue(settingsKey, named);

    const auto pollRunning = [](MainWindow& window) {
        for (QTimer* timer : window.findChildren<QTimer*>()) {
            if (timer->interval() == 600 && timer->isActive())
                return true;
        }
        return false;
    };

    {
        START_WINDOW(window);
        QVERIFY(pollRunning(*window));

        // Unchanged: closes at once.
        DialogScript script;
        QVERIFY(window->close());
        QVERIFY(script.seen().isEmpty());
    }
    {
        START_WINDOW(window);
        window->archive()->addEntry(sequenceEntry(6));

        // Cancel: the window stays and works: poll and master run again.
        {
            DialogScript script;
            script.messageBox(QMessageBox::Cancel);
            QVERIFY(!window->close());
            QVERIFY(script.finished());
            const SeenDialog& box = script.seen(0);
            QCOMPARE(box.text, QStringLiteral("The archive has been modified."));
            QCOMPARE(box.informativeText, QStringLiteral("Do you want to save your changes?"));
            QCOMPARE(box.buttons, QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
            QCOMPARE(box.defaultButton, QMessageBox::Save);
            QCOMPARE(box.parent, nullptr);
            QVERIFY(pollRunning(*window));
            QVERIFY(window->master()->isRunning());
        }

        // Save, but the file cannot be rewritten and the Save as is cancelled:
        // the window must not close over the unsaved changes.
        QVERIFY(QFile::remove(named));
        QVERIFY(QDir().mkdir(named));
        {
            DialogScript script;
            script.messageBox(QMessageBox::Save);
            script.fileDialog(QString());
            QVERIFY(!window->close());
            QVERIFY(script.finished());
            QVERIFY(window->archive()->isModified());
            QVERIFY(pollRunning(*window));
            QVERIFY(window->master()->isRunning());
        }
        QVERIFY(QDir().rmdir(named));
        QVERIFY(writeArchive(named, {5}));

        // Save with the file in place: written, then closed.
        {
            DialogScript script;
            script.messageBox(QMessageBox::Save);
            QVERIFY(window->close());
            QVERIFY(script.finished());
        }
        QCOMPARE(idsOnDisk(named), (QList<qint32> {5, 6}));
    }
    {
        START_WINDOW(window);
        window->archive()->addEntry(sequenceEntry(7));
        DialogScript script;
        script.messageBox(QMessageBox::Discard);
        QVERIFY(window->close());
        QVERIFY(script.finished());
        QCOMPARE(storedArchiveName().toString(), named);
    }
    QCOMPARE(idsOnDisk(named), (QList<qint32> {5, 6}));
}

void TestArchiveCommands::commandsDoNothingWhileBusy()
{
    const QString named = path(QStringLiteral("busy.mzt"));
    QVERIFY(writeArchive(named, {1}));
    storedSettings().setValue(settingsKey, named);
    START_WINDOW(window);
    window->archive()->addEntry(sequenceEntry(2));
    MZTArchive* current = window->archive();

    window->enterBusy();
    DialogScript script;
    window->on_newArchive_clicked();
    window->on_openArchive_clicked();
    window->on_saveArchive_clicked();
    window->on_saveArchiveAs_clicked();
    QVERIFY(script.seen().isEmpty());
    QVERIFY(window->archive() == current);
    QVERIFY(window->archive()->isModified());
    QCOMPARE(idsOnDisk(named), QList<qint32> {1});

    // Leaving the busy state refreshes the label with the modified mark.
    window->operationDone();
    QCOMPARE(label(*window)->text(), QStringLiteral("<b>busy.mzt *</b>"));
    QCOMPARE(window->ui()->archTable->rowCount(), 2);
}

void TestArchiveCommands::archiveChangedByAnotherProgramIsNotOverwritten()
{
    const QString shared = path(QStringLiteral("shared.mzt"));
    QVERIFY(writeArchive(shared, {1}));
    START_WINDOW(window, &shared);
    const QString changedText =
        QStringLiteral("shared.mzt was changed by another program after it was opened here.");

    // Another program (the command line's backup) adds an entry: the window
    // notices without a save and names what only the file holds.
    {
        DialogScript script;
        script.messageBoxButton(QStringLiteral("Cancel"));
        QVERIFY(writeArchive(shared, {1, 2}));
        QTRY_VERIFY_WITH_TIMEOUT(script.finished(), 10000);
        QCOMPARE(script.seen(0).text, changedText);
        QCOMPARE(script.seen(0).informativeText,
                 QStringLiteral("Replacing it would drop 1 entry that only the file holds: "
                                "SEQUENCE 02."));
        QCOMPARE(idsOf(window->archive()), QList<qint32> {1});
    }

    // A save asks again, whatever was answered before; Cancel writes nothing.
    window->archive()->addEntry(sequenceEntry(3));
    {
        DialogScript script;
        script.messageBoxButton(QStringLiteral("Cancel"));
        window->on_saveArchive_clicked();
        QVERIFY(script.finished());
        QCOMPARE(script.seen(0).text, changedText);
        QVERIFY(script.seen(0).informativeText.endsWith(
            QLatin1String("\nReloading it discards the changes made here.")));
        QCOMPARE(idsOnDisk(shared), (QList<qint32> {1, 2}));
        QVERIFY(window->archive()->isModified());
    }

    // Save as keeps both: the other program's file and the window's archive.
    const QString mine = path(QStringLiteral("mine.mzt"));
    {
        QVERIFY(saveAnsweringSaveAs(window.get(), mine));
        QCOMPARE(idsOnDisk(shared), (QList<qint32> {1, 2}));
        QCOMPARE(idsOnDisk(mine), (QList<qint32> {1, 3}));
        QCOMPARE(window->archive()->fileName(), mine);
    }

    // Replace writes the window's archive after saying what goes.
    {
        DialogScript script;
        QVERIFY(writeArchive(mine, {1, 3, 4}));
        script.messageBoxButton(QStringLiteral("Cancel"));
        QTRY_VERIFY_WITH_TIMEOUT(script.finished(), 10000);
    }
    window->archive()->addEntry(sequenceEntry(5));
    {
        DialogScript script;
        script.messageBoxButton(QStringLiteral("Replace"));
        window->on_saveArchive_clicked();
        QVERIFY(script.finished());
        QVERIFY(script.seen(0).informativeText.startsWith(QLatin1String(
            "Replacing it would drop 1 entry that only the file holds: SEQUENCE 04.")));
        QCOMPARE(idsOnDisk(mine), (QList<qint32> {1, 3, 5}));
        QVERIFY(!window->archive()->isModified());
    }

    // Reload shows what the other program saved; the status line says so.
    {
        DialogScript script;
        script.messageBoxButton(QStringLiteral("Reload"));
        QVERIFY(writeArchive(mine, {8, 9}));
        QTRY_VERIFY_WITH_TIMEOUT(script.finished(), 10000);
        QCOMPARE(idsOf(window->archive()), (QList<qint32> {8, 9}));
        QCOMPARE(window->ui()->archTable->rowCount(), 2);
        QCOMPARE(window->statusBar()->currentMessage(),
                 QStringLiteral("Opened mine.mzt (2 entries)."));
    }

    // The same bytes written again (a copy, a touch) are no change: Save
    // writes without a question.
    {
        const QByteArray bytes = readAll(mine);
        QVERIFY(QFile::remove(mine));
        QFile copy(mine);
        QVERIFY(copy.open(QIODevice::WriteOnly));
        QCOMPARE(copy.write(bytes), bytes.size());
        copy.close();
        window->archive()->addEntry(sequenceEntry(10));
        DialogScript script;
        window->on_saveArchive_clicked();
        QVERIFY(script.finished());
        QVERIFY(script.seen().isEmpty());
        QCOMPARE(idsOnDisk(mine), (QList<qint32> {8, 9, 10}));
    }

    // A file that appears under the name of an archive whose file was
    // missing at start is no less another program's work.
    const QString later = path(QStringLiteral("later.mzt"));
    START_WINDOW(fresh, &later);
    fresh->archive()->addEntry(sequenceEntry(11));
    QVERIFY(writeArchive(later, {12}));
    {
        DialogScript script;
        script.messageBoxButton(QStringLiteral("Cancel"));
        fresh->on_saveArchive_clicked();
        QTRY_VERIFY_WITH_TIMEOUT(script.finished(), 10000);
        QCOMPARE(idsOnDisk(later), QList<qint32> {12});
    }
}

void TestArchiveCommands::writeProtectedArchiveIsNeverReplaced()
{
    const QString kept = path(QStringLiteral("kept.mzt"));
    QVERIFY(writeArchive(kept, {1}));
    START_WINDOW(window, &kept);
    window->archive()->addEntry(sequenceEntry(2));
    const QFileDevice::Permissions readOnly =
        QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    QVERIFY(QFile::setPermissions(kept, readOnly));
    const QByteArray before = readAll(kept);

    // Save says so and offers Save as; Cancel writes nothing.
    {
        DialogScript script;
        script.messageBoxButton(QStringLiteral("Cancel"));
        window->on_saveArchive_clicked();
        QVERIFY(script.finished());
        QCOMPARE(script.seen(0).text, QStringLiteral("kept.mzt is write-protected."));
        QCOMPARE(script.seen(0).informativeText,
                 QStringLiteral("The archive was not saved; the file was left as it is.\nSave it "
                                "under another name instead?"));
        QCOMPARE(readAll(kept), before);
        QVERIFY(window->archive()->isModified());
    }

    // Save as under another name keeps the changes.
    const QString copy = path(QStringLiteral("copy.mzt"));
    {
        QVERIFY(saveAnsweringSaveAs(window.get(), copy));
        QCOMPARE(readAll(kept), before);
        QCOMPARE(idsOnDisk(copy), (QList<qint32> {1, 2}));
        QCOMPARE(window->archive()->fileName(), copy);
    }
    QCOMPARE(QFile::permissions(kept) & ~QFileDevice::Permissions(0x0700), readOnly);

    // Closing does not lose changes the protected file cannot take.
    QVERIFY(QFile::setPermissions(copy, readOnly));
    window->archive()->addEntry(sequenceEntry(3));
    {
        DialogScript script;
        script.messageBox(QMessageBox::Save);
        script.messageBoxButton(QStringLiteral("Cancel"));
        QVERIFY(!window->close());
        QVERIFY(script.finished());
        QCOMPARE(idsOnDisk(copy), (QList<qint32> {1, 2}));
    }
}

QTEST_MAIN(TestArchiveCommands)
#include "tst_archgui_commands.moc"
