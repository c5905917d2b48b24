// Deletes the recorder files selected in the device table, following the
// recorder's progress until each is gone. The settings are never deleted.
#pragma once

#include "mzttransfersupport.h"

#include <QList>
#include <QThread>

#include <atomic>

class KVPMaster;
class MainWindow;

class MZTFilesDeleter : public QThread {
    Q_OBJECT

public:
    explicit MZTFilesDeleter(QObject* parent = nullptr);

    void setMainWindow(MainWindow* window);

    // Called by whoever takes the results of a run (the signals' receiver
    // in the GUI thread) before it reads them.
    void acquireResults() const { handOver.acquire(); }

signals:
    void progress_current(int percent);
    void progress_total(int percent);
    void failed();
    void busy();

public slots:
    // Noticed by the running deletion after its start request and after
    // every pause between polls.
    void abort();

protected:
    void run() override;

private:
    bool deleteCells(KVPMaster* master, const QList<mzt::SelectedCell>& cells);

    MainWindow* mainWindow = nullptr;
    mzt::ResultHandOver handOver;
    std::atomic<bool> abortRequested {false};
};
