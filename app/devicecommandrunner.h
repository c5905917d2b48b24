// The window's device commands, one at a time: the busy state that holds the
// controls back while a command runs, the lock that keeps the device to one
// user, and what the user is told when a command ends.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QMutex;
class QWidget;

class DeviceCommandRunner : public QObject {
    Q_OBJECT

public:
    // The commands whose outcome is reported.
    enum class Command { Nothing, Download, Upload, Deletion };

    // Messages go to window.
    explicit DeviceCommandRunner(QWidget* window);
    ~DeviceCommandRunner() override;

    // The controls a command holds back: released are given back when it
    // ends, heldBack stay disabled for the window to decide; silenced do
    // not signal meanwhile either.
    void setControls(const QList<QWidget*>& released, const QList<QWidget*>& heldBack,
                     const QList<QObject*>& silenced);

    bool isBusy() const { return m_busy; }
    // Called on the GUI thread before a command takes the device: work
    // the window does on its own while idle gives the device back first.
    void setBeforeTakingDevice(std::function<void()> giveBack) { m_giveBack = std::move(giveBack); }
    // Takes the device and holds the controls back.
    void enterBusy();
    // Gives the released controls back; the runner stays busy until
    // markIdle(), so whatever the window rebuilds meanwhile knows.
    void releaseControls();
    // Gives the keyboard focus back to the control that had it when the
    // command started, once the window has decided which controls it enables.
    void restoreFocus();
    void markIdle() { m_busy = false; }
    // A command that runs in a dialog of its own: the device and the busy
    // flag without touching the controls.
    void beginModal();
    void endModal();

    // The device lock: held from a command's start to its end, and around
    // every exchange outside a command.
    QMutex* deviceMutex() const { return m_deviceMutex.get(); }
    void lockDevice();
    void unlockDevice();

    // The report of the command that starts now.
    void startReport(Command what, int files);
    void setReportedFiles(int files) { m_files = files; }
    int reportedFiles() const { return m_files; }
    void reportFailed() { m_failed = true; }
    // Why the running command failed, from its worker.
    void noteFailure(const QString& reason, const QString& file, int filesDone);
    void requestCancel() { m_cancelRequested = true; }
    void forgetCancel() { m_cancelRequested = false; }
    bool cancelRequested() const { return m_cancelRequested; }
    qint64 elapsedMs() const { return m_timer.elapsed(); }

    // A failure of what in the user's terms: a cancel of the running command
    // says it was cancelled and how many files were done; a failure keeps
    // message and adds the file and the cause.
    void showTransferFailure(Command what, const QString& message);
    // The failed command's file and cause ("file: cause"), or nothing.
    QString failureCause() const;
    // Ends the report: the status line of a command that succeeded, or an
    // empty text after a failure, a cancel or when nothing was reported.
    QString finishReport();
    // Ends the report: whether it was of what, and it succeeded.
    bool finishReportOf(Command what);

    // "1 file", "3 files"; "850 ms", "2.5 s", "1 min 05 s".
    static QString filesText(int count);
    static QString durationText(qint64 ms);

private:
    QWidget* m_window;
    std::function<void()> m_giveBack;
    std::unique_ptr<QMutex> m_deviceMutex;
    QList<QWidget*> m_released;
    QList<QWidget*> m_heldBack;
    QList<QObject*> m_silenced;
    QPointer<QWidget> m_focusBeforeBusy;
    bool m_busy = false;

    Command m_what = Command::Nothing;
    int m_files = 0;
    bool m_failed = false;
    bool m_cancelRequested = false;
    QElapsedTimer m_timer;
    struct FailureNote {
        bool noted = false;
        QString reason;
        QString file;
        int filesDone = 0;
    } m_failure;
};
