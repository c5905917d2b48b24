#include "cli.h"

#include "archive_lock.h"

#include "builtinimage.h"
#include "clilog.h"
#include "contenttext.h"
#include "fwupdater.h"
#include "json_output.h"
#include "kvpmaster.h"
#include "kvpmphyusb.h"
#include "mztarchive.h"
#include "names.h"
#include "recorder_vocabulary.h"
#include "regular_file.h"
#include "transfers.h"
#include "updateimage.h"

#include <QEventLoop>
#include <QHash>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcCli, "mzt.cli")

namespace cli {

std::atomic<bool> interrupted {false};
std::atomic<int> interruptSignal {0};
std::atomic<bool> settling {false};
std::mutex interruptLock;
std::atomic<KVPMaster*> activeMaster {nullptr};
std::atomic<bool> uninterruptible {false};
std::atomic<bool> signalEndsEventLoop {false};

namespace {

// Replacing a file deletes the old one first: that fills this share of the
// current file's progress, the write the rest.
constexpr uint DeletionShare = 30;

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

QString entryName(const ArchiveEntry& entry)
{
    return entry.name().isEmpty() ? QStringLiteral("(id %1)").arg(entry.id()) : entry.name();
}

QJsonObject recorderJson(const RecorderInfo& r)
{
    return {{QStringLiteral("line"), r.line},
            {QStringLiteral("name"), r.displayName},
            {QStringLiteral("model"), r.model},
            {QStringLiteral("description"), r.description},
            {QStringLiteral("serial"), r.serial}};
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
QStringList columns(QList<QStringList> rows, const QList<bool>& rightAligned = {})
{
    // Measured as the terminal will show them.
    if (::isatty(STDOUT_FILENO) == 1)
        for (QStringList& row : rows)
            for (QString& cell : row)
                cell = visibleControls(cell);
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

// Through the path's bytes: a name that is not UTF-8 is the file it names.
bool fileExists(const QString& path)
{
    struct stat st { };
    return ::stat(mzt::nativePath(path).constData(), &st) == 0;
}

// For the completion: the names a command takes, each once and ended by a
// NUL byte; a file without a name by its number.
void printNames(const QList<NamedFile>& files)
{
    QSet<QString> seen;
    QByteArray out;
    for (const NamedFile& file : files) {
        const QString name = file.name == QStringLiteral("(id %1)").arg(file.id)
            ? QString::number(file.id)
            : file.name;
        if (name.isEmpty() || seen.contains(name))
            continue;
        seen.insert(name);
        out += mzt::nativePath(name) + '\0';
    }
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    std::fflush(stdout);
}

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
    const CommandSpec* command = findCommand(m_options.command);
    if (!command)
        return ExitUsage;
    const qsizetype given = m_options.arguments.size();
    if (given < command->arguments.least || given > command->arguments.most)
        return m_terminal.fail(ExitUsage, QString::fromUtf8(command->arguments.wrongCount));
    const int status = (this->*command->handler)();
    m_terminal.endProgress();
    releaseRecorder();
    activeMaster = nullptr;
    return status;
}

void Cli::releaseRecorder()
{
    {
        const std::lock_guard lock(interruptLock);
        settling = true;
    }
    if (!m_inTransferMode)
        return;
    KVPMaster* master = session().master();
    if (interrupted) {
        // The interruption's cancel is spent: one short request, on a link
        // that may be gone, and no more.
        master->clearAbortRequest();
        master->resetFrameEngine();
    }
    session().leaveTransferMode();
}

QString Cli::dryRunFailure(const QString& reason)
{
    // Some recorders answer questions about their files only in transfer
    // mode, which stops their playback: a dry run does not switch it.
    if (session().inTransferMode())
        return reason;
    return reason
        + QStringLiteral(" A dry run does not put the recorder into its transfer mode, and it may "
                         "answer this only there.");
}

int Cli::interruptedExit()
{
    const int signal = interruptSignal.load();
    return m_terminal.fail(signal > 0 ? 128 + signal : int(ExitInterrupted),
                           QStringLiteral("Interrupted."));
}

int Cli::saveFailure(const MZTArchive& archive, const QString& path)
{
    if (archive.failure() == MZTArchive::Failure::WriteProtected)
        return m_terminal.fail(ExitBadFile, QStringLiteral("%1 is write-protected.").arg(path));
    return m_terminal.fail(ExitFailed,
                           QStringLiteral("Failed to save the archive %1: %2; the file on "
                                          "disk was not changed.")
                               .arg(path, archive.errorString()));
}

int Cli::failAfter(const QStringList& done, const QString& reason, bool evenIfInterrupted)
{
    m_terminal.endProgress();
    for (const QString& line : done)
        m_terminal.report(line);
    return interrupted && !evenIfInterrupted ? interruptedExit()
                                             : m_terminal.fail(ExitFailed, reason);
}

std::optional<RecorderInfo> Cli::chooseRecorder(int* status)
{
    const int wanted = m_options.device;
    const auto enough = [wanted](const RecorderInfo& r) {
        return wanted > 0 ? r.line == wanted : r.model == RecorderSession::Model;
    };
    core::DiscoveryReport report;
    const QList<RecorderInfo> found = session().discover(enough, &report);
    if (interrupted) {
        *status = interruptedExit();
        return std::nullopt;
    }
    // A recorder another program holds is busy, not missing: waiting helps,
    // checking the cable does not.
    const QString inUse = report.inUse.isEmpty() ? QString() : core::inUseText(report.inUse);
    if (found.isEmpty()) {
        *status = !inUse.isEmpty()
            ? m_terminal.fail(ExitBusy, inUse)
            : m_terminal.fail(ExitNoRecorder,
                              report.listed ? QStringLiteral("No recorder answers.")
                                            : QStringLiteral("No recorder found."));
        return std::nullopt;
    }
    std::optional<RecorderInfo> chosen;
    if (wanted > 0) {
        if (found.size() < wanted) {
            const QString missing =
                QStringLiteral("There is no recorder %1; %2 found (see mzt500-cli devices).")
                    .arg(wanted)
                    .arg(found.size());
            *status = inUse.isEmpty()
                ? m_terminal.fail(ExitNoRecorder, missing)
                : m_terminal.fail(ExitBusy, missing.chopped(1) + QStringLiteral("; ") + inUse);
            return std::nullopt;
        }
        chosen = found[wanted - 1];
    } else {
        const auto it = std::find_if(found.cbegin(), found.cend(), enough);
        if (it == found.cend()) {
            *status = !inUse.isEmpty()
                ? m_terminal.fail(ExitBusy, inUse)
                : m_terminal.fail(
                    ExitNoRecorder,
                    QStringLiteral("No %1 recorder found.").arg(RecorderSession::Model));
            return std::nullopt;
        }
        chosen = *it;
    }
    if (!inUse.isEmpty())
        m_terminal.warn(inUse + QStringLiteral(" Using %1.").arg(chosen->displayName));
    if (chosen->model != RecorderSession::Model) {
        *status = m_terminal.fail(ExitFailed,
                                  QStringLiteral("Device %1 is a \"%2\", not an %3.")
                                      .arg(chosen->line)
                                      .arg(chosen->model, RecorderSession::Model));
        return std::nullopt;
    }
    session().connectTo(*chosen);
    m_recorder = chosen;
    qCDebug(lcCli).noquote() << "using" << chosen->displayName << "at device index"
                             << chosen->deviceIndex;
    return chosen;
}

bool Cli::openRecorder(QList<ContentRecord>* records, int* status)
{
    if (!chooseRecorder(status))
        return false;
    if (!m_options.dryRun) {
        const core::TransferMode mode = session().ensureTransferMode();
        // Asked to enter, the recorder may be in transfer mode even when
        // the answer was cut short (by a signal, a lost reply): it is let
        // go in any case but a refusal.
        m_inTransferMode = mode != core::TransferMode::Busy;
        if (interrupted) {
            *status = interruptedExit();
            return false;
        }
        if (mode == core::TransferMode::Busy) {
            *status = m_terminal.fail(ExitBusy, QStringLiteral("The device is currently busy."));
            return false;
        }
        if (mode != core::TransferMode::Entered) {
            *status = m_terminal.fail(
                session().link()->deviceInUse() ? ExitBusy : ExitFailed,
                core::lostRecorderReasonOr(session().master(),
                                           QStringLiteral("The recorder does not answer.")));
            return false;
        }
    }
    QString reason;
    if (!session().readContent(records, &reason)) {
        if (interrupted)
            *status = interruptedExit();
        else
            *status =
                m_terminal.fail(ExitFailed, m_options.dryRun ? dryRunFailure(reason) : reason);
        return false;
    }
    return true;
}

bool Cli::loadArchive(MZTArchive* archive, int* status)
{
    const QString path = archive->fileName();
    if (!fileExists(path)) {
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
    core::DiscoveryReport report;
    const QList<RecorderInfo> found = session().discover({}, &report);
    if (interrupted)
        return interruptedExit();
    const QString inUse = report.inUse.isEmpty() ? QString() : core::inUseText(report.inUse);
    if (found.isEmpty())
        return !inUse.isEmpty()
            ? m_terminal.fail(ExitBusy, inUse)
            : m_terminal.fail(ExitNoRecorder,
                              report.listed ? QStringLiteral("No recorder answers.")
                                            : QStringLiteral("No recorder found."));
    if (!inUse.isEmpty())
        m_terminal.warn(inUse);
    if (m_options.json) {
        QJsonArray devices;
        for (const RecorderInfo& r : found)
            devices.append(recorderJson(r));
        printJson({{QStringLiteral("devices"), devices}});
        return ExitOk;
    }
    QList<QStringList> rows;
    for (const RecorderInfo& r : found)
        rows.append({QString::number(r.line), r.displayName, r.description, r.serial});
    for (const QString& line : columns(rows, {true}))
        m_terminal.print(line);
    return ExitOk;
}

int Cli::list()
{
    int status = ExitOk;
    QList<ContentRecord> records;
    if (!openRecorder(&records, &status))
        return status;
    if (m_options.names0) {
        printNames(namesOnRecorder(records));
        return ExitOk;
    }
    if (m_options.json) {
        QJsonArray files;
        for (const ContentRecord& r : records)
            files.append(fileJson(r, recordName(r)));
        printJson({{QStringLiteral("recorder"), recorderJson(*m_recorder)},
                   {QStringLiteral("files"), files}});
        return ExitOk;
    }
    QList<QStringList> rows;
    for (const ContentRecord& r : records)
        rows.append({recordName(r), mzt::memSizeText(r.memSize),
                     r.type == quint32(mzt500::SequenceRecord) ? mzt::durationText(r.duration)
                                                               : QString()});
    for (const QString& line : columns(rows, {false, true}))
        m_terminal.print(line);
    return ExitOk;
}

int Cli::backup()
{
    const QString path = m_options.arguments.first();
    const QStringList names = joinSplitNames(m_options.arguments.mid(1));
    int status = ExitOk;

    // From load to save no other program saves into the archive: its
    // entries would be lost by this save, or this backup's by its.
    mzt::ArchiveLock lock;
    qint64 holder = 0;
    QString reason;
    switch (lock.tryLock(path, &holder, &reason)) {
    case mzt::ArchiveLock::Outcome::Taken:
        break;
    case mzt::ArchiveLock::Outcome::Held:
        return m_terminal.fail(
            ExitBadFile,
            QStringLiteral("%1 is in use by another program%2; try again when it has finished.")
                .arg(path, holder > 0 ? QStringLiteral(" (process %1)").arg(holder) : QString()));
    case mzt::ArchiveLock::Outcome::Failed:
        return m_terminal.fail(ExitBadFile, QStringLiteral("%1: %2.").arg(path, reason));
    }

    MZTArchive archive(path);
    const bool existed = fileExists(path);
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
    QHash<int, qint64> listedSizes;
    for (const ContentRecord& r : records) {
        storedNames.insert(int(r.id), mzt::contentNameText(r.type, r.id));
        listedSizes.insert(int(r.id), r.memSize);
    }

    QList<core::FileRef> files;
    QHash<int, qint64> expectedSizes;
    for (const NamedFile& file : chosen) {
        files.append({file.id, file.name});
        expectedSizes.insert(file.id, listedSizes.value(file.id));
    }
    beginTotal(expectedSizes);
    QStringList done;
    const core::Result result = core::downloadFiles(
        session().master(), files,
        [&](const core::DownloadedFile& file) {
            // A file that arrives after an interruption is not kept: the
            // archive is not saved then.
            if (interrupted)
                return;
            if (file.missing) {
                m_terminal.warn(
                    QStringLiteral("%1 is not on the recorder; skipped.").arg(file.file.name));
                return;
            }
            // The entry is named as the window names it, which may be empty.
            const bool added =
                core::storeInArchive(&archive, file, storedNames.value(file.file.id));
            done.append(reportLine(file.file.name,
                                   added ? QStringLiteral("added") : QStringLiteral("replaced")));
        },
        [this](const core::Progress& p) { showTotal(p); }, &interrupted);
    if (interrupted)
        return interruptedExit();
    if (!result.ok())
        return m_terminal.fail(ExitFailed,
                               result.reason.chopped(1)
                                   + QStringLiteral("; the archive was not changed."));
    m_terminal.endProgress();

    // A new archive says which recorder it holds; one that existed keeps
    // what it said, since it may hold files of other recorders too.
    if (!existed && m_recorder)
        archive.setRecorder({m_recorder->serial, {}});
    if ((!existed || archive.isModified()) && !archive.save())
        return saveFailure(archive, path);
    for (const QString& line : done)
        m_terminal.report(line);
    if (!m_options.verify)
        return ExitOk;
    // What is compared is the archive as it now lies on the disk.
    MZTArchive written(path);
    if (!loadArchive(&written, &status))
        return status;
    QList<int> read;
    for (const core::FileRef& file : files)
        if (core::lastEntryWithId(&written, file.id))
            read.append(file.id);
    return verifyAfterTransfer(written, read, QStringLiteral("the backup"));
}

int Cli::restore()
{
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
    QList<core::UploadItem> planned;
    QStringList skipped;
    for (const NamedFile& file : chosen) {
        const ArchiveEntry* entry = core::lastEntryWithId(&archive, file.id);
        core::UploadItem item;
        item.file = {entry->id(), entryName(*entry)};
        item.type = entry->type();
        const QString refusal = core::uploadRefusal(item);
        if (!refusal.isEmpty())
            return m_terminal.fail(ExitBadFile, refusal + QStringLiteral(" Nothing was written."));
        if (mzt500::isRecorderFile(item.type, item.file.id)) {
            item.content = entry->refreshedContent();
            planned.append(item);
        } else {
            skipped.append(reportLine(item.file.name,
                                      QStringLiteral("skipped: not a file a recorder stores")));
        }
    }

    QList<ContentRecord> records;
    if (!openRecorder(&records, &status))
        return status;

    // The recorder always keeps a settings block, whether it lists it or not.
    QSet<int> held;
    for (const ContentRecord& r : records)
        held.insert(int(r.id));
    const auto isHeld = [&held](const core::UploadItem& item) {
        return item.type == mzt500::SettingsRecord || held.contains(item.file.id);
    };
    if (m_options.skipExisting) {
        QList<core::UploadItem> missing;
        QStringList onRecorder;
        for (const core::UploadItem& item : planned) {
            if (isHeld(item))
                onRecorder.append(
                    reportLine(item.file.name, QStringLiteral("skipped: on the recorder")));
            else
                missing.append(item);
        }
        planned = missing;
        skipped += onRecorder;
    }

    const core::UploadCheck check = core::checkUpload(session().master(), planned);
    if (!check.result.ok()) {
        if (interrupted)
            return interruptedExit();
        const QString reason =
            check.result.reason.chopped(1) + QStringLiteral("; nothing was written.");
        return m_terminal.fail(ExitFailed, m_options.dryRun ? dryRunFailure(reason) : reason);
    }
    if (!check.overwritten.isEmpty() && !m_options.overwrite)
        return m_terminal.fail(
            ExitWouldOverwrite,
            QStringLiteral("Nothing was written: these files are on the recorder and would "
                           "be overwritten: %1. Use --overwrite to replace them.")
                .arg(check.overwritten.join(QStringLiteral(", "))));
    if (m_options.dryRun) {
        for (const core::UploadItem& item : planned)
            m_terminal.print(reportLine(item.file.name,
                                        isHeld(item) ? QStringLiteral("would be replaced")
                                                     : QStringLiteral("would be written")));
        for (const QString& line : skipped)
            m_terminal.print(line);
        return ExitOk;
    }

    QHash<int, qint64> expectedSizes;
    for (const core::UploadItem& item : planned)
        expectedSizes.insert(item.file.id, item.content.size());
    beginTotal(expectedSizes);
    QStringList done;
    const core::Result result = core::uploadFiles(
        session().master(), planned,
        [&](const core::UploadItem& item, bool replaced) {
            done.append(reportLine(
                item.file.name, replaced ? QStringLiteral("replaced") : QStringLiteral("written")));
        },
        [this](const core::Progress& p) { showTotal(p); }, &interrupted);
    if (!result.ok()) {
        // A file the recorder lost while it was being replaced is reported
        // even after Ctrl+C: only the archive still holds it.
        return failAfter(done, result.reason,
                         result.code == core::ResultCode::WriteFailedAfterDelete);
    }
    m_terminal.endProgress();
    for (const QString& line : done + skipped)
        m_terminal.report(line);
    if (!m_options.verify)
        return ExitOk;
    QList<int> written;
    for (const core::UploadItem& item : planned)
        written.append(item.file.id);
    return verifyAfterTransfer(archive, written, QStringLiteral("the restore"));
}

int Cli::remove()
{
    const QStringList names = joinSplitNames(m_options.arguments);
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
    if (m_options.dryRun) {
        for (const NamedFile& file : chosen)
            m_terminal.print(reportLine(file.name, QStringLiteral("would be deleted")));
        return ExitOk;
    }

    QList<core::FileRef> files;
    for (const NamedFile& file : chosen)
        files.append({file.id, file.name});
    QStringList done;
    const core::Result result = core::deleteFiles(
        session().master(), files,
        [&](const core::Progress& p) {
            if (p.stage == core::Progress::Stage::FileDone)
                done.append(reportLine(p.file.name, QStringLiteral("deleted")));
            else
                showProgress(p, 100);
        },
        &interrupted);
    if (!result.ok())
        return failAfter(done, result.reason);
    m_terminal.endProgress();
    for (const QString& line : done)
        m_terminal.report(line);
    return ExitOk;
}

void Cli::showProgress(const core::Progress& progress, uint deletionShare)
{
    using Stage = core::Progress::Stage;
    const QString& label = progress.file.name;
    const int index = progress.fileIndex;
    const int count = progress.fileCount;
    switch (progress.stage) {
    case Stage::FileStarted:
        m_replacing = false;
        m_terminal.progress(label, index, count, 0);
        break;
    case Stage::Deleting:
        m_replacing = true;
        if (progress.deletion >= 0)
            m_terminal.progress(
                label, index, count,
                int(uint(progress.deletion) * deletionShare / mzt500::DeletionDone));
        break;
    case Stage::Transferring: {
        const int percent = percentOf(progress.bytesDone, progress.bytesTotal);
        m_terminal.progress(label, index, count,
                            m_replacing
                                ? int(uint(percent) * (100 - deletionShare) / 100 + deletionShare)
                                : percent);
        break;
    }
    case Stage::FileDone:
        break;
    }
}

void Cli::beginTotal(const QHash<int, qint64>& expectedSizes)
{
    m_total = {};
    m_total.expectedSizes = expectedSizes;
    for (const qint64 size : expectedSizes)
        m_total.bytesTotal += size;
    m_terminal.beginTransfer();
}

void Cli::showTotal(const core::Progress& progress)
{
    using Stage = core::Progress::Stage;
    TransferTotal& t = m_total;
    int filesDone = progress.fileIndex - 1;
    switch (progress.stage) {
    case Stage::FileStarted:
        // A file the recorder turned out not to hold adds nothing.
        if (t.fileOpen)
            t.bytesTotal -= t.currentSize;
        t.fileOpen = true;
        m_replacing = false;
        t.currentSize = t.expectedSizes.value(progress.file.id);
        t.currentDone = 0;
        break;
    case Stage::Deleting:
        m_replacing = true;
        if (progress.deletion >= 0)
            t.currentDone = t.currentSize * progress.deletion * qint64(DeletionShare)
                / (qint64(mzt500::DeletionDone) * 100);
        break;
    case Stage::Transferring: {
        if (progress.bytesTotal == 0)
            return;
        // The recorder states a file's exact size only when it sends it.
        const auto exact = qint64(progress.bytesTotal);
        t.bytesTotal += exact - t.currentSize;
        t.currentSize = exact;
        const qint64 sent = std::min(qint64(progress.bytesDone), exact);
        t.currentDone = m_replacing
            ? (exact * qint64(DeletionShare) + sent * qint64(100 - DeletionShare)) / 100
            : sent;
        break;
    }
    case Stage::FileDone:
        t.fileOpen = false;
        t.bytesDone += t.currentSize;
        t.currentDone = 0;
        filesDone = progress.fileIndex;
        break;
    }
    m_terminal.transferProgress(progress.file.name, filesDone, progress.fileCount,
                                t.bytesDone + t.currentDone, t.bytesTotal);
}

int Cli::updateFirmware()
{
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
        return m_terminal.fail(ExitFailed,
                               QStringLiteral("The firmware update of %1 failed. %2")
                                   .arg(recorder->displayName, updater.failureReason())
                                   .trimmed());
    m_terminal.report(
        QStringLiteral("%1  firmware updated from %2")
            .arg(recorder->displayName, builtIn ? QStringLiteral("the built-in image") : path));
    return ExitOk;
}

int Cli::showArchive()
{
    int status = ExitOk;
    MZTArchive archive(m_options.arguments.first());
    if (!loadArchive(&archive, &status))
        return status;
    if (m_options.names0) {
        QList<NamedFile> entries;
        for (const ArchiveEntry* entry : archive.entries())
            if (entry)
                entries.append({entry->id(), entryName(*entry)});
        printNames(entries);
        return ExitOk;
    }
    if (m_options.json) {
        QJsonArray entries;
        for (const ArchiveEntry* entry : archive.entries())
            if (entry)
                entries.append(entryJson(*entry, entryName(*entry)));
        printJson({{QStringLiteral("archive"), archive.fileName()},
                   {QStringLiteral("entries"), entries}});
        return ExitOk;
    }
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
