// status, verify and diff: what the recorder and an archive, or two
// archives, have in common. Nothing is written to either. A difference, or
// a file on one side only, ends with its own exit status, so that a script
// tells "not the same" apart from "could not look".
#include "cli.h"

#include "comparison.h"
#include "contenttext.h"
#include "json_output.h"
#include "mztarchive.h"
#include "names.h"

#include <QJsonArray>

namespace cli {
namespace {

struct Sides {
    QString firstWords;  // "only on the recorder"
    QString secondWords; // "only in the archive"
    QString firstKey;    // "only-on-recorder"
    QString secondKey;   // "only-in-archive"
    QString firstName;   // the JSON key of the first side's record: "recorder"
    QString secondName;  // "archive"
};

// What a file's state is called: in the report lines, and as its key in
// JSON documents, which is part of the program's interface.
struct StateName {
    QString words;
    QString key;
};

StateName stateName(const core::FileComparison& file, const Sides& sides)
{
    switch (file.state) {
    case core::FileState::SameRecord:
        return {QStringLiteral("same record"), QStringLiteral("same-record")};
    case core::FileState::RecordDiffers:
        return {QStringLiteral("differs"), QStringLiteral("record-differs")};
    case core::FileState::Identical:
        return {QStringLiteral("identical"), QStringLiteral("identical")};
    case core::FileState::Differs:
        return {QStringLiteral("differs (first difference at byte %1)").arg(file.firstDifference),
                QStringLiteral("differs")};
    case core::FileState::OnlyInFirst:
        return {sides.firstWords, sides.firstKey};
    case core::FileState::OnlyInSecond:
        return {sides.secondWords, sides.secondKey};
    case core::FileState::Unreadable:
        return {QStringLiteral("unreadable (%1)").arg(file.reason), QStringLiteral("unreadable")};
    }
    return {};
}

// A report line: the file's name and its state.
QString fileLine(const core::FileComparison& file, const Sides& sides)
{
    return file.file.name + QStringLiteral(": ") + stateName(file, sides).words;
}

const Sides RecorderAndArchive {QStringLiteral("only on the recorder"),
                                QStringLiteral("only in the archive"),
                                QStringLiteral("only-on-recorder"),
                                QStringLiteral("only-in-archive"),
                                QStringLiteral("recorder"),
                                QStringLiteral("archive")};

QJsonObject recordJson(const ContentRecord& r)
{
    return {{QStringLiteral("type"), qint64(r.type)},
            {QStringLiteral("memorySize"), qint64(r.memSize)},
            {QStringLiteral("durationMs"), qint64(r.duration)}};
}

QJsonArray filesJson(const core::Comparison& comparison, const Sides& sides)
{
    QJsonArray files;
    for (const core::FileComparison& f : comparison.files) {
        QJsonObject o {{QStringLiteral("name"), f.file.name},
                       {QStringLiteral("id"), f.file.id},
                       {QStringLiteral("state"), stateName(f, sides).key}};
        if (f.state == core::FileState::Differs)
            o.insert(QStringLiteral("firstDifference"), f.firstDifference);
        if (f.state == core::FileState::Unreadable)
            o.insert(QStringLiteral("reason"), f.reason);
        if (f.first)
            o.insert(sides.firstName, recordJson(*f.first));
        if (f.second)
            o.insert(sides.secondName, recordJson(*f.second));
        files.append(o);
    }
    return files;
}

// Prints a line per file (allLines) or per file that does not match, or
// the JSON document; the exit status says whether anything differs.
int reportComparison(Terminal& terminal, bool json, const core::Comparison& comparison,
                     const Sides& sides, QJsonObject document, bool allLines,
                     const QString& lastLine = {})
{
    if (json) {
        document.insert(QStringLiteral("files"), filesJson(comparison, sides));
        document.insert(QStringLiteral("mismatches"), comparison.mismatches());
        printJson(document);
    } else {
        for (const core::FileComparison& f : comparison.files) {
            if (allLines || !f.matches())
                terminal.print(fileLine(f, sides));
        }
        if (!lastLine.isEmpty())
            terminal.print(lastLine);
    }
    return comparison.mismatches() == 0 ? ExitOk : ExitDiffers;
}

} // namespace

bool Cli::loadArchiveThenRecorder(MZTArchive* archive, QList<ContentRecord>* records, int* status)
{
    return loadArchive(archive, status) && openRecorder(records, status);
}

int Cli::status()
{
    int status = ExitOk;
    MZTArchive archive(m_options.arguments.first());
    QList<ContentRecord> records;
    if (!loadArchiveThenRecorder(&archive, &records, &status))
        return status;
    const core::Comparison comparison =
        core::compareWithContentList(records, core::archivedFiles(archive));
    return reportComparison(
        m_terminal, m_options.json, comparison, RecorderAndArchive,
        {{QStringLiteral("recorder"), m_recorder->displayName},
         {QStringLiteral("archive"), archive.fileName()},
         {QStringLiteral("byBytes"), false}},
        false,
        QStringLiteral("Compared by the content list only; only mzt500-cli verify proves files "
                       "identical."));
}

int Cli::verify()
{
    const QStringList names = joinSplitNames(m_options.arguments.mid(1));
    int status = ExitOk;
    MZTArchive archive(m_options.arguments.first());
    QList<ContentRecord> records;
    if (!loadArchiveThenRecorder(&archive, &records, &status))
        return status;

    core::VerifyRequest request;
    request.recorderList = records;
    request.archive = core::archivedFiles(archive);
    if (!names.isEmpty()) {
        // A name may stand for a file on either side.
        QList<NamedFile> candidates;
        for (const ContentRecord& r : records)
            candidates.append({int(r.id), mzt::contentNameText(r.type, r.id)});
        for (const core::ArchivedFile& f : request.archive)
            candidates.append({f.file.id, f.file.name});
        QString unknown;
        const QList<NamedFile> chosen = resolveNames(names, candidates, &unknown);
        if (chosen.isEmpty())
            return m_terminal.fail(
                ExitFailed,
                QStringLiteral("There is no file \"%1\" on the recorder or in the archive.")
                    .arg(unknown));
        for (const NamedFile& f : chosen)
            request.ids.append(f.id);
    }
    const core::Comparison comparison = readAndCompare(request);
    if (interrupted)
        return interruptedExit();
    if (!comparison.result.ok()) {
        QStringList done;
        for (const core::FileComparison& f : comparison.files)
            done.append(fileLine(f, RecorderAndArchive));
        return failAfter(done, comparison.result.reason);
    }
    return reportComparison(m_terminal, m_options.json, comparison, RecorderAndArchive,
                            {{QStringLiteral("recorder"), m_recorder->displayName},
                             {QStringLiteral("archive"), archive.fileName()},
                             {QStringLiteral("byBytes"), true}},
                            true);
}

int Cli::diff()
{
    const QString firstPath = m_options.arguments[0];
    const QString secondPath = m_options.arguments[1];
    int status = ExitOk;
    MZTArchive first(firstPath);
    MZTArchive second(secondPath);
    if (!loadArchive(&first, &status) || !loadArchive(&second, &status))
        return status;
    const core::Comparison comparison =
        core::compareArchives(core::archivedFiles(first), core::archivedFiles(second));
    const Sides sides {QStringLiteral("only in %1").arg(firstPath),
                       QStringLiteral("only in %1").arg(secondPath),
                       QStringLiteral("only-in-first"),
                       QStringLiteral("only-in-second"),
                       QStringLiteral("first"),
                       QStringLiteral("second")};
    return reportComparison(m_terminal, m_options.json, comparison, sides,
                            {{QStringLiteral("first"), firstPath},
                             {QStringLiteral("second"), secondPath},
                             {QStringLiteral("byBytes"), true}},
                            false);
}

core::Comparison Cli::readAndCompare(const core::VerifyRequest& request)
{
    QHash<int, qint64> expectedSizes;
    for (const core::ArchivedFile& f : request.archive)
        if (request.ids.isEmpty() || request.ids.contains(f.file.id))
            expectedSizes.insert(f.file.id, f.content.size());
    beginTotal(expectedSizes);
    const core::Comparison comparison = core::verifyWithRecorder(
        session().master(), request, [this](const core::Progress& p) { showTotal(p); },
        &interrupted);
    m_terminal.endProgress();
    return comparison;
}

int Cli::verifyAfterTransfer(const MZTArchive& archive, const QList<int>& ids, const QString& what)
{
    core::VerifyRequest request;
    request.archive = core::archivedFiles(archive);
    request.ids = ids;
    if (ids.isEmpty())
        return ExitOk;
    const core::Comparison comparison = readAndCompare(request);
    if (interrupted)
        return interruptedExit();
    if (!comparison.result.ok())
        return m_terminal.fail(
            ExitFailed,
            QStringLiteral("Verifying %1 failed: %2").arg(what, comparison.result.reason));
    QStringList differing;
    for (const core::FileComparison& f : comparison.files)
        if (!f.matches())
            differing.append(fileLine(f, RecorderAndArchive));
    if (!differing.isEmpty())
        return m_terminal.fail(ExitDiffers,
                               QStringLiteral("Verifying %1 found differences: %2.")
                                   .arg(what, differing.join(QStringLiteral("; "))));
    const qsizetype count = comparison.files.size();
    m_terminal.report(QStringLiteral("%1 %2 verified identical.")
                          .arg(count)
                          .arg(count == 1 ? QStringLiteral("file") : QStringLiteral("files")));
    return ExitOk;
}

} // namespace cli
