#include "cli.h"

#include "builtinimage.h"
#include "clilog.h"
#include "contenttext.h"
#include "fwupdater.h"
#include "kvpfileops.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "mztarchive.h"
#include "names.h"
#include "updateimage.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>

Q_LOGGING_CATEGORY(lcCli, "mzt.cli")

namespace cli {

std::atomic<bool> interrupted {false};
std::atomic<KVPMaster*> activeMaster {nullptr};
std::atomic<bool> uninterruptible {false};

namespace {

// File transfers run with a longer reply time-out: the recorder takes its
// time to look up and prepare a stored file.
constexpr int TransferReplyTimeoutMs = 2000;
constexpr int LastSequenceId = 64;
constexpr qint32 TypeSettings = 0;
constexpr qint32 TypeSequence = 1;
constexpr uint DeletionDone = 255;
// Replacing a file deletes the old one first: that fills this share of the
// current file's progress, the write the rest.
constexpr uint DeletionShare = 30;
constexpr uint EndOfRead = 0xFFFFFFFFu;

// The name a recorder file is shown under here. A record of a type without
// a name (the window leaves its cell empty) still needs something to show.
QString recordName(const ContentRecord& record)
{
    const QString name = mzt::contentNameText(record.type, record.id);
    return name.isEmpty() ? QStringLiteral("(id %1)").arg(record.id) : name;
}

QList<NamedFile> namesOnRecorder(const QList<ContentRecord>& records)
{
    QList<NamedFile> files;
    for (const ContentRecord& r : records)
        files.append({int(r.id), recordName(r)});
    return files;
}

// The entry a transfer of this id works on: the last one, as in the window.
ArchiveEntry* lastEntryWithId(const MZTArchive& archive, int id)
{
    ArchiveEntry* found = nullptr;
    for (ArchiveEntry* entry : archive.entries())
        if (entry && entry->id() == id)
            found = entry;
    return found;
}

QString entryName(const ArchiveEntry& entry)
{
    return entry.name().isEmpty() ? QStringLiteral("(id %1)").arg(entry.id()) : entry.name();
}

QString reportLine(const QString& name, const QString& what)
{
    return name.leftJustified(12) + QStringLiteral("  ") + what;
}

// The update image's status line without its colour markup.
QString plainStatus(const QString& rich)
{
    static const QRegularExpression font(QStringLiteral("^<font color =\"[a-z]+\">(.*)</font>$"),
                                         QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = font.match(rich);
    return match.hasMatch() ? match.captured(1) : rich;
}

// Prints rows as columns two blanks apart; the last column is not padded.
QStringList columns(const QList<QStringList>& rows, const QList<bool>& rightAligned = {})
{
    QList<qsizetype> widths;
    for (const QStringList& row : rows)
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    QStringList lines;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (i > 0)
                line += QStringLiteral("  ");
            const bool right = i < rightAligned.size() && rightAligned[i];
            if (right)
                line += row[i].rightJustified(widths[i]);
            else
                line += i + 1 < row.size() ? row[i].leftJustified(widths[i]) : row[i];
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        lines.append(line);
    }
    return lines;
}

// A connection that ends with the scope that made it.
class ScopedConnection {
public:
    explicit ScopedConnection(QMetaObject::Connection c)
        : m_connection(std::move(c))
    {
    }
    ~ScopedConnection() { QObject::disconnect(m_connection); }
    ScopedConnection(const ScopedConnection&) = delete;
    ScopedConnection& operator=(const ScopedConnection&) = delete;

private:
    QMetaObject::Connection m_connection;
};

int percentOf(quint64 done, quint64 total)
{
    return total ? int(std::min<quint64>(done * 100 / total, 100)) : 0;
}

} // namespace

Cli::Cli(const Options& options)
    : m_options(options)
    , m_terminal(options.quiet)
{
}

Cli::~Cli()
{
    activeMaster = nullptr;
}

RecorderSession& Cli::session()
{
    if (!m_session) {
        m_session = std::make_unique<RecorderSession>();
        activeMaster = m_session->master();
    }
    return *m_session;
}

int Cli::run()
{
    const QString& command = m_options.command;
    int status = ExitUsage;
    if (command == QLatin1String("devices"))
        status = devices();
    else if (command == QLatin1String("list"))
        status = list();
    else if (command == QLatin1String("backup"))
        status = backup();
    else if (command == QLatin1String("restore"))
        status = restore();
    else if (command == QLatin1String("delete"))
        status = remove();
    else if (command == QLatin1String("update-firmware"))
        status = updateFirmware();
    else if (command == QLatin1String("archive"))
        status = showArchive();
    m_terminal.endProgress();
    // A recorder left in transfer mode does not play; after an interruption
    // the link may be gone, and waiting for it would only delay the exit.
    if (m_inTransferMode && !interrupted)
        session().leaveTransferMode();
    activeMaster = nullptr;
    return status;
}

int Cli::interruptedExit()
{
    return m_terminal.fail(ExitInterrupted, QStringLiteral("Interrupted."));
}

int Cli::failAfter(const QStringList& done, const QString& reason)
{
    m_terminal.endProgress();
    for (const QString& line : done)
        m_terminal.report(line);
    return interrupted ? interruptedExit() : m_terminal.fail(ExitFailed, reason);
}

std::optional<RecorderInfo> Cli::chooseRecorder(int* status)
{
    const int wanted = m_options.device;
    const auto enough = [wanted](const RecorderInfo& r) {
        return wanted > 0 ? r.line == wanted : r.model == RecorderSession::Model;
    };
    int listed = 0;
    const QList<RecorderInfo> found = session().discover(enough, &listed);
    if (interrupted) {
        *status = interruptedExit();
        return std::nullopt;
    }
    if (found.isEmpty()) {
        *status = m_terminal.fail(ExitNoRecorder,
                                  listed ? QStringLiteral("No recorder answers.")
                                         : QStringLiteral("No recorder found."));
        return std::nullopt;
    }
    std::optional<RecorderInfo> chosen;
    if (wanted > 0) {
        if (found.size() < wanted) {
            *status = m_terminal.fail(
                ExitNoRecorder,
                QStringLiteral("There is no recorder %1; %2 found (see mzt500-cli devices).")
                    .arg(wanted)
                    .arg(found.size()));
            return std::nullopt;
        }
        chosen = found[wanted - 1];
    } else {
        const auto it = std::find_if(found.cbegin(), found.cend(), enough);
        if (it == found.cend()) {
            *status = m_terminal.fail(
                ExitNoRecorder,
                QStringLiteral("No %1 recorder found.").arg(RecorderSession::Model));
            return std::nullopt;
        }
        chosen = *it;
    }
    if (chosen->model != RecorderSession::Model) {
        *status = m_terminal.fail(ExitFailed,
                                  QStringLiteral("Device %1 is a \"%2\", not an %3.")
                                      .arg(chosen->line)
                                      .arg(chosen->model, RecorderSession::Model));
        return std::nullopt;
    }
    session().connectTo(*chosen);
    qCDebug(lcCli).noquote() << "using" << chosen->displayName << "at device index"
                             << chosen->deviceIndex;
    return chosen;
}

bool Cli::openRecorder(QList<ContentRecord>* records, int* status)
{
    if (!chooseRecorder(status))
        return false;
    const int mode = session().ensureTransferMode();
    if (interrupted) {
        *status = interruptedExit();
        return false;
    }
    if (mode == 3) {
        *status = m_terminal.fail(ExitBusy, QStringLiteral("The device is currently busy."));
        return false;
    }
    if (mode != 1) {
        *status = m_terminal.fail(ExitFailed, QStringLiteral("The recorder does not answer."));
        return false;
    }
    m_inTransferMode = true;
    QString reason;
    if (!session().readContent(records, &reason)) {
        *status = interrupted ? interruptedExit() : m_terminal.fail(ExitFailed, reason);
        return false;
    }
    return true;
}

bool Cli::loadArchive(MZTArchive* archive, int* status)
{
    const QString path = archive->fileName();
    if (!QFileInfo::exists(path)) {
        *status = m_terminal.fail(ExitBadFile, QStringLiteral("%1: no such file.").arg(path));
        return false;
    }
    if (!archive->load()) {
        *status = m_terminal.fail(
            ExitBadFile, QStringLiteral("%1 is not a readable MZT-500 archive.").arg(path));
        return false;
    }
    return true;
}

int Cli::devices()
{
    if (!m_options.arguments.isEmpty())
        return m_terminal.fail(ExitUsage,
                               QStringLiteral("devices takes no arguments (see --help)."));
    int listed = 0;
    const QList<RecorderInfo> found = session().discover({}, &listed);
    if (interrupted)
        return interruptedExit();
    if (found.isEmpty())
        return m_terminal.fail(ExitNoRecorder,
                               listed ? QStringLiteral("No recorder answers.")
                                      : QStringLiteral("No recorder found."));
    QList<QStringList> rows;
    for (const RecorderInfo& r : found)
        rows.append({QString::number(r.line), r.displayName, r.description, r.serial});
    for (const QString& line : columns(rows, {true}))
        m_terminal.print(line);
    return ExitOk;
}

int Cli::list()
{
    if (!m_options.arguments.isEmpty())
        return m_terminal.fail(ExitUsage, QStringLiteral("list takes no arguments (see --help)."));
    int status = ExitOk;
    QList<ContentRecord> records;
    if (!openRecorder(&records, &status))
        return status;
    QList<QStringList> rows;
    for (const ContentRecord& r : records)
        rows.append({recordName(r), mzt::memSizeText(r.memSize),
                     r.type == quint32(TypeSequence) ? mzt::durationText(r.duration) : QString()});
    for (const QString& line : columns(rows, {false, true}))
        m_terminal.print(line);
    return ExitOk;
}

int Cli::backup()
{
    if (m_options.arguments.isEmpty())
        return m_terminal.fail(ExitUsage,
                               QStringLiteral("backup needs the archive to write (see --help)."));
    const QString path = m_options.arguments.first();
    const QStringList names = joinSplitNames(m_options.arguments.mid(1));
    int status = ExitOk;

    MZTArchive archive(path);
    const bool existed = QFileInfo::exists(path);
    if (existed && !loadArchive(&archive, &status))
        return status;

    QList<ContentRecord> records;
    if (!openRecorder(&records, &status))
        return status;
    const QList<NamedFile> onRecorder = namesOnRecorder(records);
    QList<NamedFile> chosen = onRecorder;
    if (!names.isEmpty()) {
        QString unknown;
        chosen = resolveNames(names, onRecorder, &unknown);
        if (chosen.isEmpty())
            return m_terminal.fail(
                ExitFailed,
                QStringLiteral("There is no file \"%1\" on the recorder.").arg(unknown));
    }

    QHash<int, QString> storedNames;
    for (const ContentRecord& r : records)
        storedNames.insert(int(r.id), mzt::contentNameText(r.type, r.id));

    KVPMaster* master = session().master();
    ReplyTimeout timeout(master, TransferReplyTimeoutMs);
    QString label;
    int index = 0;
    quint32 expected = 0;
    const auto count = int(chosen.size());
    ScopedConnection received(QObject::connect(
        master, &KVPMaster::sigReceived, master,
        [&](uint bytes) {
            // The size request's own end mark arrives before the size is known.
            if (expected == 0)
                return;
            m_terminal.progress(label, index, count,
                                bytes == EndOfRead ? 100 : percentOf(bytes, expected));
        },
        Qt::DirectConnection));

    QStringList done;
    for (const NamedFile& file : chosen) {
        ++index;
        label = file.name;
        expected = 0;
        if (interrupted)
            return interruptedExit();
        m_terminal.progress(label, index, count, 0);
        QByteArray data;
        const kvp::StoredFileRead read =
            kvp::readStoredFile(master, kvp::fileNumberForId(file.id), &data,
                                [&expected](quint32 size) { expected = size; });
        expected = 0;
        if (interrupted)
            return interruptedExit();
        if (read == kvp::StoredFileRead::Missing) {
            m_terminal.warn(QStringLiteral("%1 is not on the recorder; skipped.").arg(file.name));
            continue;
        }
        // Checked before the archive is touched: whatever it already holds
        // under this id must survive a failed copy.
        if (read == kvp::StoredFileRead::Failed)
            return m_terminal.fail(ExitFailed,
                                   QStringLiteral("Reading %1 from the recorder failed; "
                                                  "the archive was not changed.")
                                       .arg(file.name));
        if (data.size() < ContentRecord::Size || data.size() % 2 != 0)
            return m_terminal.fail(ExitFailed,
                                   QStringLiteral("The recorder sent a damaged copy of %1; "
                                                  "the archive was not changed.")
                                       .arg(file.name));

        const ContentRecord record =
            ContentRecord::fromBytes(reinterpret_cast<const unsigned char*>(data.constData()));
        ArchiveEntry* target = lastEntryWithId(archive, file.id);
        std::unique_ptr<ArchiveEntry> fresh;
        if (!target) {
            fresh = std::make_unique<ArchiveEntry>();
            target = fresh.get();
        }
        target->clear();
        target->setId(qint32(record.id));
        target->setType(qint32(record.type));
        target->setDuration(record.duration);
        target->appendContent(data.constData(), data.size());
        // The entry is named as the window names it, which may be empty.
        target->setName(storedNames.value(file.id));
        const bool added = fresh != nullptr;
        if (added)
            archive.addEntry(fresh.release());
        else
            archive.setModified(true);
        done.append(
            reportLine(file.name, added ? QStringLiteral("added") : QStringLiteral("replaced")));
    }
    m_terminal.endProgress();

    if ((!existed || archive.isModified()) && !archive.save())
        return m_terminal.fail(ExitFailed,
                               QStringLiteral("Failed to save the archive %1.").arg(path));
    for (const QString& line : done)
        m_terminal.report(line);
    return ExitOk;
}

int Cli::restore()
{
    if (m_options.arguments.isEmpty())
        return m_terminal.fail(ExitUsage,
                               QStringLiteral("restore needs the archive to read (see --help)."));
    const QString path = m_options.arguments.first();
    const QStringList names = joinSplitNames(m_options.arguments.mid(1));
    int status = ExitOk;

    MZTArchive archive(path);
    if (!loadArchive(&archive, &status))
        return status;

    QList<NamedFile> inArchive;
    for (const ArchiveEntry* entry : archive.entries())
        if (entry)
            inArchive.append({entry->id(), entryName(*entry)});
    QList<NamedFile> chosen;
    if (names.isEmpty()) {
        for (const NamedFile& file : inArchive)
            if (std::none_of(chosen.cbegin(), chosen.cend(),
                             [&](const NamedFile& f) { return f.id == file.id; }))
                chosen.append(file);
    } else {
        QString unknown;
        chosen = resolveNames(names, inArchive, &unknown);
        if (chosen.isEmpty())
            return m_terminal.fail(
                ExitFailed, QStringLiteral("There is no entry \"%1\" in %2.").arg(unknown, path));
    }

    // Everything about the entries is checked before the recorder is asked
    // anything, so a refusal leaves it as it was.
    struct Planned {
        const ArchiveEntry* entry;
        QString name;
    };
    QList<Planned> planned;
    QStringList skipped;
    for (const NamedFile& file : chosen) {
        const ArchiveEntry* entry = lastEntryWithId(archive, file.id);
        const QString name = entryName(*entry);
        if ((entry->type() == TypeSettings) != (entry->id() == 0))
            return m_terminal.fail(
                ExitBadFile,
                entry->type() == TypeSettings
                    ? QStringLiteral("%1 is a settings entry with id %2; settings "
                                     "must have id 0. Nothing was written.")
                          .arg(name)
                          .arg(entry->id())
                    : QStringLiteral("%1 has id 0, which only the settings may have. "
                                     "Nothing was written.")
                          .arg(name));
        const bool recorderFile = (entry->type() == TypeSettings || entry->type() == TypeSequence)
            && entry->id() >= 0 && entry->id() <= LastSequenceId;
        if (recorderFile)
            planned.append({entry, name});
        else
            skipped.append(
                reportLine(name, QStringLiteral("skipped: not a file a recorder stores")));
    }

    QList<ContentRecord> records;
    if (!openRecorder(&records, &status))
        return status;
    KVPMaster* master = session().master();
    ReplyTimeout timeout(master, TransferReplyTimeoutMs);

    QStringList overwritten;
    for (const Planned& p : planned) {
        // The recorder always keeps a settings block, so restoring the
        // settings always replaces it.
        if (p.entry->type() == TypeSettings) {
            overwritten.append(QStringLiteral("SETTINGS"));
            continue;
        }
        bool exists = false;
        if (!kvp::queryFileExists(master, p.entry->id(), &exists))
            return interrupted
                ? interruptedExit()
                : m_terminal.fail(ExitFailed,
                                  QStringLiteral("Checking which files the recorder "
                                                 "holds failed; nothing was written."));
        if (exists)
            overwritten.append(p.name);
    }
    if (!overwritten.isEmpty() && !m_options.overwrite)
        return m_terminal.fail(
            ExitWouldOverwrite,
            QStringLiteral("Nothing was written: these files are on the recorder and would "
                           "be overwritten: %1. Use --overwrite to replace them.")
                .arg(overwritten.join(QStringLiteral(", "))));

    QString label;
    int index = 0;
    bool replacing = false;
    const auto count = int(planned.size());
    ScopedConnection transferred(QObject::connect(
        master, &KVPMaster::sigTransferred, master,
        [&](uint percent) {
            const uint shown =
                replacing ? percent * (100 - DeletionShare) / 100 + DeletionShare : percent;
            m_terminal.progress(label, index, count, int(shown));
        },
        Qt::DirectConnection));

    QStringList done;
    const auto failWith = [&](const QString& reason) { return failAfter(done, reason); };
    for (const Planned& p : planned) {
        ++index;
        label = p.name;
        replacing = false;
        if (interrupted)
            return failWith(QString());
        m_terminal.progress(label, index, count, 0);
        const int fileNumber = kvp::fileNumberForId(p.entry->id());
        bool exists = false;
        if (!kvp::queryFileExists(master, fileNumber, &exists))
            return failWith(QStringLiteral("Writing %1 to the recorder failed.").arg(p.name));
        if (exists) {
            replacing = true;
            kvp::DeleteSequenceHooks hooks;
            hooks.abortRequested = [] { return interrupted.load(); };
            hooks.onProgress = [&](uint progress) {
                m_terminal.progress(label, index, count,
                                    int(progress * DeletionShare / DeletionDone));
            };
            if (!kvp::deleteStoredFile(master, fileNumber, hooks))
                return failWith(
                    QStringLiteral("Replacing %1 failed: the recorder did not delete its "
                                   "old copy.")
                        .arg(p.name));
        }
        if (interrupted)
            return failWith(QString());
        if (!kvp::writeStoredFile(master, fileNumber, p.entry->refreshedContent()))
            return failWith(
                exists ? QStringLiteral("Writing %1 to the recorder failed after its old copy "
                                        "was deleted; the archive still holds it.")
                             .arg(p.name)
                       : QStringLiteral("Writing %1 to the recorder failed.").arg(p.name));
        done.append(
            reportLine(p.name, exists ? QStringLiteral("replaced") : QStringLiteral("written")));
    }
    m_terminal.endProgress();
    for (const QString& line : done + skipped)
        m_terminal.report(line);
    return ExitOk;
}

int Cli::remove()
{
    const QStringList names = joinSplitNames(m_options.arguments);
    if (names.isEmpty())
        return m_terminal.fail(ExitUsage,
                               QStringLiteral("delete needs the names of the files to delete "
                                              "(see --help)."));
    const auto settings = std::find_if(names.cbegin(), names.cend(),
                                       [](const QString& n) { return idForName(n) == 0; });
    if (settings != names.cend())
        return m_terminal.fail(ExitUsage, QStringLiteral("The settings cannot be deleted."));
    int status = ExitOk;
    QList<ContentRecord> records;
    if (!openRecorder(&records, &status))
        return status;
    const QList<NamedFile> onRecorder = namesOnRecorder(records);
    QString unknown;
    const QList<NamedFile> chosen = resolveNames(names, onRecorder, &unknown);
    if (chosen.isEmpty())
        return m_terminal.fail(
            ExitFailed, QStringLiteral("There is no file \"%1\" on the recorder.").arg(unknown));
    if (std::any_of(chosen.cbegin(), chosen.cend(), [](const NamedFile& f) { return f.id == 0; }))
        return m_terminal.fail(ExitUsage, QStringLiteral("The settings cannot be deleted."));

    KVPMaster* master = session().master();
    QStringList done;
    int index = 0;
    const auto count = int(chosen.size());
    for (const NamedFile& file : chosen) {
        ++index;
        if (interrupted)
            break;
        m_terminal.progress(file.name, index, count, 0);
        kvp::DeleteSequenceHooks hooks;
        hooks.abortRequested = [] { return interrupted.load(); };
        hooks.onProgress = [&](uint progress) {
            m_terminal.progress(file.name, index, count, int(progress * 100 / DeletionDone));
        };
        hooks.reconnectAfterStatusFailure = false;
        if (!kvp::deleteStoredFile(master, file.id, hooks))
            return failAfter(done, QStringLiteral("Deleting %1 failed.").arg(file.name));
        done.append(reportLine(file.name, QStringLiteral("deleted")));
    }
    m_terminal.endProgress();
    for (const QString& line : done)
        m_terminal.report(line);
    return interrupted ? interruptedExit() : ExitOk;
}

int Cli::updateFirmware()
{
    if (m_options.arguments.size() > 1)
        return m_terminal.fail(ExitUsage,
                               QStringLiteral("update-firmware takes at most one update file "
                                              "(see --help)."));
    const bool builtIn = m_options.arguments.isEmpty();
    const QString path = builtIn ? builtInImagePath() : m_options.arguments.first();
    UpdateImage image;
    // The image compiled into the program is for the MZT-500 by construction;
    // a file from elsewhere must say so.
    if (!image.load(path) || (!builtIn && !image.matchesDevice(RecorderSession::Model))) {
        const QString reason = plainStatus(image.statusText(RecorderSession::Model));
        return m_terminal.fail(ExitBadFile,
                               reason.isEmpty() ? QStringLiteral("No update file given.") : reason);
    }

    int status = ExitOk;
    const std::optional<RecorderInfo> recorder = chooseRecorder(&status);
    if (!recorder)
        return status;

    FwUpdater updater;
    updater.attach(session().master(), session().link());
    updater.setImage(&image);
    updater.setDeviceIndex(recorder->deviceIndex);
    bool succeeded = false;
    QEventLoop loop;
    QObject::connect(&updater, &FwUpdater::progress, &loop, [&](int percent) {
        m_terminal.progress(QStringLiteral("Firmware"), 1, 1, percent);
    });
    QObject::connect(&updater, &FwUpdater::success, &loop, [&succeeded] { succeeded = true; });
    QObject::connect(&updater, &QThread::finished, &loop, &QEventLoop::quit);
    uninterruptible = true;
    m_terminal.progress(QStringLiteral("Firmware"), 1, 1, 0);
    updater.start();
    loop.exec();
    updater.wait();
    uninterruptible = false;
    m_terminal.endProgress();
    if (!succeeded)
        return m_terminal.fail(
            ExitFailed,
            QStringLiteral("The firmware update of %1 failed.").arg(recorder->displayName));
    m_terminal.report(
        QStringLiteral("%1  firmware updated from %2")
            .arg(recorder->displayName, builtIn ? QStringLiteral("the built-in image") : path));
    return ExitOk;
}

int Cli::showArchive()
{
    if (m_options.arguments.size() != 1)
        return m_terminal.fail(
            ExitUsage, QStringLiteral("archive needs exactly one archive file (see --help)."));
    int status = ExitOk;
    MZTArchive archive(m_options.arguments.first());
    if (!loadArchive(&archive, &status))
        return status;
    QList<QStringList> rows {{QStringLiteral("NAME"), QStringLiteral("ID"), QStringLiteral("TYPE"),
                              QStringLiteral("BYTES"), QStringLiteral("MEMORY"),
                              QStringLiteral("DURATION")}};
    for (const ArchiveEntry* entry : archive.entries()) {
        if (!entry)
            continue;
        rows.append({entryName(*entry), QString::number(entry->id()),
                     QString::number(entry->type()), QString::number(entry->content().size()),
                     entry->memSizeText(), entry->durationText()});
    }
    for (const QString& line : columns(rows, {false, true, true, true, true}))
        m_terminal.print(line);
    return ExitOk;
}

} // namespace cli
