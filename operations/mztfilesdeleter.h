// Deletes the recorder files selected in the device table, following the
// recorder's progress until each is gone. The settings are never deleted.
// An abort is noticed by the running deletion after its start request and
// after every pause between polls.
#pragma once

#include "transferworker.h"

#include <QList>

class MZTFilesDeleter : public mzt::TransferWorker {
    Q_OBJECT

public:
    explicit MZTFilesDeleter(QObject* parent = nullptr);

protected:
    void takeSelection() override;
    void work() override;
    void fileProgress(const core::Progress& progress) override;

private:
    QList<mzt::SelectedCell> cells;
};
