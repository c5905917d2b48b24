#include "historyreader.h"

#include "operationslog.h"

#include <QFileInfo>

#include <algorithm>

HistoryReader::~HistoryReader()
{
    cancel();
    wait();
}

void HistoryReader::run()
{
    Outcome outcome;
    outcome.history = history::readFolder(m_request.folder, {true, &m_cancel});
    if (m_request.policy && outcome.history.problem.isEmpty()) {
        const QFileInfo newBackup(m_request.pruneAfter);
        for (const history::RecorderHistory& recorder : std::as_const(outcome.history.recorders)) {
            const bool holdsNewBackup = std::any_of(
                recorder.backups.cbegin(), recorder.backups.cend(),
                [&newBackup](const history::Backup& b) { return QFileInfo(b.path) == newBackup; });
            if (!holdsNewBackup)
                continue;
            outcome.pruned = true;
            outcome.pruning =
                history::applyPruning(history::planPruning(recorder, *m_request.policy));
            qCDebug(lcOperations) << "pruned" << outcome.pruning.removed.size() << "backups of"
                                  << recorder.displayName();
            break;
        }
    }
    emit historyRead(outcome);
}
