// Runs before an upload: finds out which recorder files the selected archive
// entries would overwrite. Changes nothing on the recorder or in the archive.
#pragma once

#include "transfers.h"
#include "transferworker.h"

#include <QStringList>

#include <mutex>

class MZTFileUpLoadChecker : public mzt::AbortableWorker {
    Q_OBJECT

public:
    explicit MZTFileUpLoadChecker(QObject* parent = nullptr);
    ~MZTFileUpLoadChecker() override;

    // Called by whoever takes the results of a run in another thread before
    // it reads them; the list is filled under a lock of its own, so the
    // window's slot may read it before the run has ended.
    void acquireResults() const;

signals:
    // boOK: every selected entry could be checked. boFilesToOverwrtite: at
    // least one name is in files_overwrite. The list stays owned by the
    // checker and valid until the next check starts; it is null when the
    // check stopped before making it or was aborted.
    void done(bool boOK, bool boFilesToOverwrtite, QStringList* files_overwrite);

protected:
    // Takes the selected entries as values.
    void takeSelection() override;
    void work() override;

private:
    bool haveArchive = false;
    QList<core::UploadItem> items;
    mutable std::mutex listLock;
    QStringList* overwriteList = nullptr;
};
