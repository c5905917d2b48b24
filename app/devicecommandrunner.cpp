#include "devicecommandrunner.h"

#include <QMessageBox>
#include <QMutex>
#include <QWidget>

#include <utility>

DeviceCommandRunner::DeviceCommandRunner(QWidget* window)
    : QObject(window)
    , m_window(window)
    , m_deviceMutex(std::make_unique<QMutex>())
{
}

DeviceCommandRunner::~DeviceCommandRunner() = default;

void DeviceCommandRunner::setControls(const QList<QWidget*>& released,
                                      const QList<QWidget*>& heldBack,
                                      const QList<QObject*>& silenced)
{
    m_released = released;
    m_heldBack = heldBack;
    m_silenced = silenced;
}

void DeviceCommandRunner::enterBusy()
{
    if (m_giveBack)
        m_giveBack();
    m_deviceMutex->lock();
    // The window's own record, not the application's: a question answered
    // just before may have had the focus and be gone already. A command
    // that ends by reading the recorder's list again is busy twice; the
    // focus it started from is the one that counts.
    if (!m_focusBeforeBusy)
        m_focusBeforeBusy = m_window->focusWidget();
    for (QObject* object : m_silenced)
        object->blockSignals(true);
    for (QWidget* control : m_released)
        control->setEnabled(false);
    for (QWidget* control : m_heldBack)
        control->setEnabled(false);
    m_busy = true;
}

void DeviceCommandRunner::releaseControls()
{
    for (QWidget* control : m_released)
        control->setEnabled(true);
    for (QObject* object : m_silenced)
        object->blockSignals(false);
}

void DeviceCommandRunner::restoreFocus()
{
    // Disabling the focused control moved the focus on; someone working
    // with the keyboard continues where the command was started.
    // When that control stays disabled (an arrow without a selection), the
    // one before it in the Tab order takes the focus: the table it acted on.
    QWidget* const before = std::exchange(m_focusBeforeBusy, nullptr);
    QWidget* candidate = before;
    while (candidate) {
        if (candidate->isEnabled() && candidate->isVisible()
            && (candidate->focusPolicy() & Qt::TabFocus)) {
            candidate->setFocus(Qt::OtherFocusReason);
            return;
        }
        candidate = candidate->previousInFocusChain();
        if (candidate == before)
            return;
    }
}

void DeviceCommandRunner::beginModal()
{
    if (m_giveBack)
        m_giveBack();
    m_deviceMutex->lock();
    m_busy = true;
}

void DeviceCommandRunner::endModal()
{
    m_busy = false;
    m_deviceMutex->unlock();
}

void DeviceCommandRunner::lockDevice()
{
    if (m_giveBack)
        m_giveBack();
    m_deviceMutex->lock();
}

void DeviceCommandRunner::unlockDevice()
{
    m_deviceMutex->unlock();
}

void DeviceCommandRunner::startReport(Command what, int files)
{
    m_what = what;
    m_files = files;
    m_failed = false;
    m_cancelRequested = false;
    m_failure = FailureNote();
    m_timer.start();
}

void DeviceCommandRunner::noteFailure(const QString& reason, const QString& file, int filesDone)
{
    m_failure = {true, reason, file, filesDone};
}

QString DeviceCommandRunner::failureCause() const
{
    if (!m_failure.noted || m_failure.reason.isEmpty())
        return QString();
    return m_failure.file.isEmpty() ? m_failure.reason
                                    : m_failure.file + QStringLiteral(": ") + m_failure.reason;
}

void DeviceCommandRunner::showTransferFailure(Command what, const QString& message)
{
    const bool running = m_what == what;
    if (running && m_cancelRequested) {
        const QString done = filesText(m_failure.noted ? m_failure.filesDone : 0);
        QString text;
        switch (what) {
        case Command::Download:
            text = tr("The download was cancelled; %1 had been copied into the archive before.");
            break;
        case Command::Upload:
            text = tr("The upload was cancelled; %1 had been written to the recorder before.");
            break;
        default:
            text = tr("The deletion was cancelled; %1 had been deleted on the recorder before.");
            break;
        }
        QMessageBox::information(m_window, tr("MZT-500 Data Backup Tool"), text.arg(done));
        return;
    }
    QMessageBox box(QMessageBox::Warning, tr("MZT-500 Data Backup Tool"), message, QMessageBox::Ok,
                    m_window);
    const QString cause = running ? failureCause() : QString();
    if (!cause.isEmpty())
        box.setInformativeText(cause);
    box.exec();
}

QString DeviceCommandRunner::finishReport()
{
    const Command what = m_what;
    m_what = Command::Nothing;
    if (what == Command::Nothing || m_failed)
        return QString();
    const QString files = filesText(m_files);
    const QString took = durationText(m_timer.elapsed());
    switch (what) {
    case Command::Download:
        return tr("Downloaded %1 from the recorder into the archive in %2.").arg(files, took);
    case Command::Upload:
        return tr("Uploaded %1 from the archive to the recorder in %2.").arg(files, took);
    case Command::Deletion:
        return tr("Deleted %1 on the recorder in %2.").arg(files, took);
    case Command::Nothing:
        break;
    }
    return QString();
}

bool DeviceCommandRunner::finishReportOf(Command what)
{
    const bool succeeded = m_what == what && !m_failed;
    m_what = Command::Nothing;
    return succeeded;
}

QString DeviceCommandRunner::filesText(int count)
{
    return count == 1 ? tr("1 file") : tr("%1 files").arg(count);
}

QString DeviceCommandRunner::durationText(qint64 ms)
{
    if (ms < 1000)
        return tr("%1 ms").arg(ms);
    if (ms < 60000)
        return tr("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
    const qint64 seconds = (ms + 500) / 1000;
    return tr("%1 min %2 s").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
