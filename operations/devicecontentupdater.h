// Reads the list of files the connected recorder stores and hands it to the
// host, which turns it into the rows of its device table.
#pragma once

#include "recorder_session.h"
#include "workerhost.h"

#include <QThread>

class DeviceContentUpdater : public mzt::HostedWorker {
    Q_OBJECT

public:
    explicit DeviceContentUpdater(QObject* parent = nullptr);

signals:
    void progress(int value);
    void deviceFwVersion(uint swVersion);
    // The listing as a value: its records, or the bytes of a damaged list.
    void contentListed(core::Content content);
    // The same list as raw bytes: content points into this object and stays
    // valid until the next listing starts; the receiver neither keeps nor
    // frees it.
    void newContent(void* content, int readLegth);
    void failed();

public slots:
    // Has the host empty its device table (GUI thread), then starts the run,
    // so a failed listing leaves it empty rather than showing a previous
    // recorder's files.
    void start(QThread::Priority priority = InheritPriority);

protected:
    void run() override;

private:
    // Written by the run, read by receivers once it has been handed out.
    core::Content listing;
};
