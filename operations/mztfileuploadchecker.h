// Runs before an upload: finds out which recorder files the selected archive
// entries would overwrite. Changes nothing on the recorder or in the archive.
#pragma once

#include "mzttransfersupport.h"

#include <QStringList>
#include <QThread>

#include <atomic>

class KVPMaster;
class MainWindow;
class MZTArchive;

class MZTFileUpLoadChecker : public QThread {
    Q_OBJECT

public:
    explicit MZTFileUpLoadChecker(QObject* parent = nullptr);
    ~MZTFileUpLoadChecker() override;

    void setMainWindow(MainWindow* window);

    // Called by whoever takes the results of a run (the signals' receiver
    // in the GUI thread) before it reads them.
    void acquireResults() const { handOver.acquire(); }

signals:
    // boOK: every selected entry could be checked. boFilesToOverwrtite: at
    // least one name is in files_overwrite. The list stays owned by the
    // checker and valid until the next check starts; it is null when the
    // check stopped before making it or was aborted.
    void done(bool boOK, bool boFilesToOverwrtite, QStringList* files_overwrite);

public slots:
    void abort();

protected:
    void run() override;

private:
    enum class Outcome { Checked, Stopped, Aborted };
    Outcome checkSelection(KVPMaster* master, MZTArchive* archive, bool* overwrites);

    MainWindow* mainWindow = nullptr;
    mzt::ResultHandOver handOver;
    std::atomic<bool> abortRequested {false};
    QStringList* overwriteList = nullptr;
};
