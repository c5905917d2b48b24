// history and prune: the backup folder read as each recorder's history, and
// old backups removed by a policy that never costs a version of a file.
// Neither needs a recorder.
#include "cli.h"

#include "backup_history.h"
#include "json_output.h"
#include "names.h"
#include "recorder_backup.h"

#include <QDir>
#include <QJsonArray>

namespace cli {
namespace {

QString dateText(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString namesText(const QList<SummarizedFile>& files)
{
    QStringList names;
    for (const SummarizedFile& f : files)
        names.append(f.name);
    return names.join(QStringLiteral(", "));
}

QJsonArray namesJson(const QList<SummarizedFile>& files)
{
    QJsonArray names;
    for (const SummarizedFile& f : files)
        names.append(QJsonObject {{QStringLiteral("name"), f.name}, {QStringLiteral("id"), f.id}});
    return names;
}

QJsonObject recorderJson(const history::RecorderHistory& recorder)
{
    return {{QStringLiteral("recorder"), recorder.displayName()},
            {QStringLiteral("serial"), recorder.recorder.serial},
            {QStringLiteral("place"), recorder.recorder.place}};
}

QJsonArray unreadableJson(const history::FolderHistory& folder)
{
    QJsonArray files;
    for (const history::UnreadableFile& u : folder.unreadable)
        files.append(
            QJsonObject {{QStringLiteral("path"), u.path}, {QStringLiteral("reason"), u.reason}});
    return files;
}

const char* changeWord(history::FileChange::Kind kind)
{
    switch (kind) {
    case history::FileChange::Added:
        return "added";
    case history::FileChange::Changed:
        return "changed";
    case history::FileChange::Removed:
        return "removed";
    }
    return "";
}

} // namespace

std::optional<history::FolderHistory> Cli::readHistory(int* status)
{
    const QString serial = m_options.arguments.value(0);
    const QString folder = m_options.folder.isEmpty() ? backup::windowFolder() : m_options.folder;
    std::optional<history::FolderHistory> read = history::readFolder(folder, {true, &interrupted});
    if (interrupted) {
        *status = interruptedExit();
        return std::nullopt;
    }
    if (!read->problem.isEmpty()) {
        *status = m_terminal.fail(ExitFailed, read->problem);
        return std::nullopt;
    }
    if (!read->indexProblem.isEmpty())
        m_terminal.warn(QStringLiteral("the history's index in %1 was not written: %2")
                            .arg(QDir::toNativeSeparators(folder), read->indexProblem));
    if (!serial.isEmpty()) {
        const history::RecorderHistory* one = read->find(serial);
        if (!one) {
            *status = m_terminal.fail(ExitFailed,
                                      QStringLiteral("no backups of %1 in %2")
                                          .arg(serial, QDir::toNativeSeparators(folder)));
            return std::nullopt;
        }
        read->recorders = {*one};
    }
    return read;
}

int Cli::history()
{
    int status = ExitOk;
    std::optional<history::FolderHistory> folder = readHistory(&status);
    if (!folder)
        return status;
    if (!m_options.file.isEmpty())
        return fileHistory(*folder);

    if (m_options.json) {
        QJsonArray recorders;
        for (const history::RecorderHistory& r : folder->recorders) {
            QJsonArray backups;
            for (const history::Backup& b : r.backups)
                backups.append(
                    QJsonObject {{QStringLiteral("path"), b.path},
                                 {QStringLiteral("date"), b.takenAt.toString(Qt::ISODate)},
                                 {QStringLiteral("files"), b.files.size()},
                                 {QStringLiteral("added"), namesJson(b.added)},
                                 {QStringLiteral("changed"), namesJson(b.changed)},
                                 {QStringLiteral("removed"), namesJson(b.removed)}});
            QJsonObject o = recorderJson(r);
            o.insert(QStringLiteral("backups"), backups);
            recorders.append(o);
        }
        printJson({{QStringLiteral("folder"), folder->folder},
                   {QStringLiteral("recorders"), recorders},
                   {QStringLiteral("unreadable"), unreadableJson(*folder)}});
        return ExitOk;
    }

    if (folder->recorders.isEmpty())
        m_terminal.print(
            QStringLiteral("no backups in %1").arg(QDir::toNativeSeparators(folder->folder)));
    for (const history::RecorderHistory& r : folder->recorders) {
        m_terminal.print(
            QStringLiteral("%1: %2 backup(s)").arg(r.displayName()).arg(r.backups.size()));
        for (const history::Backup& b : r.backups) {
            m_terminal.print(QStringLiteral("  %1  %2 files  +%3 ~%4 -%5  %6")
                                 .arg(dateText(b.takenAt))
                                 .arg(b.files.size())
                                 .arg(b.added.size())
                                 .arg(b.changed.size())
                                 .arg(b.removed.size())
                                 .arg(b.fileName()));
            // The first backup adds everything; its list says nothing new.
            if (&b == &r.backups.first())
                continue;
            if (!b.added.isEmpty())
                m_terminal.print(QStringLiteral("    added: ") + namesText(b.added));
            if (!b.changed.isEmpty())
                m_terminal.print(QStringLiteral("    changed: ") + namesText(b.changed));
            if (!b.removed.isEmpty())
                m_terminal.print(QStringLiteral("    removed: ") + namesText(b.removed));
        }
    }
    for (const history::UnreadableFile& u : folder->unreadable)
        m_terminal.print(QStringLiteral("unreadable, skipped: %1 (%2)")
                             .arg(QDir::toNativeSeparators(u.path), u.reason));
    return ExitOk;
}

int Cli::fileHistory(const history::FolderHistory& folder)
{
    const std::optional<int> id = idForName(m_options.file);
    if (!id)
        return m_terminal.fail(ExitUsage,
                               QStringLiteral("\"%1\" is no file name (\"SEQUENCE 03\", "
                                              "SETTINGS or a number)")
                                   .arg(m_options.file));
    QJsonArray recorders;
    bool anyChange = false;
    for (const history::RecorderHistory& r : folder.recorders) {
        const QList<history::FileChange> changes = history::fileHistory(r, *id);
        if (changes.isEmpty())
            continue;
        anyChange = true;
        if (m_options.json) {
            QJsonArray list;
            for (const history::FileChange& c : changes)
                list.append(
                    QJsonObject {{QStringLiteral("date"), c.takenAt.toString(Qt::ISODate)},
                                 {QStringLiteral("change"), QLatin1String(changeWord(c.kind))},
                                 {QStringLiteral("name"), c.version.name},
                                 {QStringLiteral("path"), c.path}});
            QJsonObject o = recorderJson(r);
            o.insert(QStringLiteral("changes"), list);
            recorders.append(o);
            continue;
        }
        m_terminal.print(
            QStringLiteral("%1: %2").arg(r.displayName(), changes.first().version.name));
        for (const history::FileChange& c : changes)
            m_terminal.print(QStringLiteral("  %1  %2  %3")
                                 .arg(dateText(c.takenAt), QLatin1String(changeWord(c.kind)))
                                 .arg(QFileInfo(c.path).fileName()));
    }
    if (m_options.json)
        printJson({{QStringLiteral("folder"), folder.folder},
                   {QStringLiteral("id"), *id},
                   {QStringLiteral("recorders"), recorders},
                   {QStringLiteral("unreadable"), unreadableJson(folder)}});
    else if (!anyChange)
        m_terminal.print(QStringLiteral("no backup holds %1").arg(m_options.file));
    return ExitOk;
}

int Cli::prune()
{
    if (m_options.keep < 1)
        return m_terminal.fail(ExitUsage, QStringLiteral("prune needs --keep N, N from 1 on"));
    int status = ExitOk;
    std::optional<history::FolderHistory> folder = readHistory(&status);
    if (!folder)
        return status;
    for (const history::UnreadableFile& u : folder->unreadable)
        m_terminal.warn(QStringLiteral("unreadable, left alone: %1 (%2)")
                            .arg(QDir::toNativeSeparators(u.path), u.reason));
    QStringList failures;
    for (const history::RecorderHistory& r : folder->recorders) {
        const history::PrunePlan plan = history::planPruning(r, {m_options.keep, true});
        if (plan.toRemove.isEmpty())
            continue;
        if (m_options.dryRun) {
            for (const history::Backup& b : plan.toRemove)
                m_terminal.print(
                    QStringLiteral("would remove %1").arg(QDir::toNativeSeparators(b.path)));
            continue;
        }
        const history::PruneResult result = history::applyPruning(plan);
        for (const QString& path : result.removed)
            m_terminal.report(QStringLiteral("removed %1").arg(QDir::toNativeSeparators(path)));
        for (const history::UnreadableFile& u : result.notRemoved)
            failures.append(
                QStringLiteral("%1 (%2)").arg(QDir::toNativeSeparators(u.path), u.reason));
    }
    if (!failures.isEmpty())
        return m_terminal.fail(
            ExitFailed, QStringLiteral("not removed: %1").arg(failures.join(QStringLiteral(", "))));
    return ExitOk;
}

} // namespace cli
