// Reads recorder files and compares them byte for byte with the archive's
// copies, without changing either. The window hands it what to compare as
// a value before it starts (the archive's files, the recorder's listing and
// the ids) and gets the comparison back as a value when the run ends.
#pragma once

#include "comparison.h"
#include "operation.h"
#include "transferworker.h"

class RecorderVerifier : public mzt::AbortableWorker {
    Q_OBJECT

public:
    using AbortableWorker::AbortableWorker;

    // GUI thread, before start(): what the next run compares.
    void setRequest(const core::VerifyRequest& request) { m_request = request; }

signals:
    void progress_current(int percent);
    void progress_total(int percent);
    // Where the run stands, for the lines beside the bars.
    void progressDetail(core::Progress progress);
    // Emitted once at the end of every run, before finished(): what was
    // compared, and in result why the run stopped short, if it did.
    void verified(core::Comparison comparison);

protected:
    void takeSelection() override { }
    void stopRunningRequest() override;
    void work() override;

private:
    void onProgress(const core::Progress& progress);

    core::VerifyRequest m_request; // set before the run starts, read by it only
};
