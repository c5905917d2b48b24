#include "transferprogresspanel.h"

#include <QGridLayout>
#include <QLabel>

#include <algorithm>
#include <cmath>

namespace {

// The speed is the bytes moved over this last stretch of time: long enough
// to even out the pauses between frames and files, short enough to follow a
// change of pace.
constexpr qint64 rateWindowMs = 5000;
// A speed measured over less time than this says little.
constexpr qint64 shortestRateSpanMs = 250;
// The time left is only guessed once bytes have moved for a second, or once
// a few KiB have moved in a shorter time: before that one slow reply would
// promise hours.
constexpr qint64 timeLeftAfterMs = 1000;
constexpr quint64 timeLeftAfterBytes = 8 * 1024;
// Longer names are shortened in the middle, so the line never grows wider
// than the window.
constexpr int longestShownName = 40;

constexpr double kib = 1024.0;

QString shownName(const QString& name)
{
    if (name.size() <= longestShownName)
        return name;
    const int keep = (longestShownName - 3) / 2;
    return name.left(keep) + QStringLiteral("...") + name.right(keep);
}

} // namespace

TransferProgressPanel::TransferProgressPanel(QGridLayout* layout, int fileBarRow, int totalBarRow,
                                             int barColumn, QObject* parent)
    : QObject(parent)
{
    QWidget* owner = layout ? layout->parentWidget() : nullptr;
    m_fileLine = new QLabel(owner);
    m_fileLine->setObjectName(QLatin1String(fileLineName));
    m_totalLine = new QLabel(owner);
    m_totalLine->setObjectName(QLatin1String(totalLineName));
    for (QLabel* line : {m_fileLine, m_totalLine}) {
        // Wrapped rather than clipped when the window is narrow.
        line->setWordWrap(true);
        line->setTextFormat(Qt::PlainText);
        line->hide();
    }
    if (layout) {
        layout->addWidget(m_fileLine, fileBarRow + 1, barColumn);
        layout->addWidget(m_totalLine, totalBarRow + 1, barColumn);
    }
}

void TransferProgressPanel::begin(Kind kind, int fileCount, const QList<quint64>& plannedSizes)
{
    m_active = true;
    m_kind = kind;
    m_fileCount = fileCount;
    m_plannedSizes = kind == Kind::Deletion ? QList<quint64>() : plannedSizes;
    m_plannedBytes = 0;
    for (quint64 size : std::as_const(m_plannedSizes))
        m_plannedBytes += size;
    m_last = core::Progress();
    m_haveProgress = false;
    m_currentFileSize = 0;
    m_finishedBytes = 0;
    m_samples.clear();
    m_firstByteMs = -1;
    m_fileNumber = 0;
    m_filesDone = 0;
    m_lastFileDoneMs = 0;
    m_clock.start();
    render();
}

void TransferProgressPanel::end()
{
    m_active = false;
    m_fileLine->clear();
    m_totalLine->clear();
    setVisible(false);
}

void TransferProgressPanel::setVisible(bool visible)
{
    // An empty line takes no room.
    m_fileLine->setVisible(visible && !m_fileLine->text().isEmpty());
    m_totalLine->setVisible(visible && !m_totalLine->text().isEmpty());
}

void TransferProgressPanel::show(const core::Progress& progress)
{
    showAt(progress, m_clock.isValid() ? m_clock.elapsed() : 0);
}

void TransferProgressPanel::showAt(const core::Progress& progress, qint64 elapsedMs)
{
    if (!m_active)
        return;
    using Stage = core::Progress::Stage;
    if (m_fileCount <= 0)
        m_fileCount = progress.fileCount;
    switch (progress.stage) {
    case Stage::FileStarted:
        // Counted here rather than taken from the operation, which also
        // counts the settings a deletion passes over.
        ++m_fileNumber;
        m_currentFileSize = 0;
        break;
    case Stage::Transferring:
        if (m_currentFileSize != progress.bytesTotal && m_fileNumber >= 1
            && m_fileNumber <= m_plannedSizes.size()) {
            // The listed size is the recorder's memory use, rounded up; the
            // transfer's own figure is exact.
            quint64& planned = m_plannedSizes[m_fileNumber - 1];
            m_plannedBytes = m_plannedBytes - planned + progress.bytesTotal;
            planned = progress.bytesTotal;
        }
        m_currentFileSize = progress.bytesTotal;
        break;
    case Stage::FileDone:
        // The file's bytes count as moved even when its last count was
        // missed; the operation no longer carries the size at this point.
        m_finishedBytes += m_currentFileSize;
        m_currentFileSize = 0;
        ++m_filesDone;
        m_lastFileDoneMs = elapsedMs;
        break;
    case Stage::Deleting:
        break;
    }
    m_last = progress;
    m_haveProgress = true;
    const quint64 moved = m_finishedBytes
        + (progress.stage == Stage::Transferring ? std::min(progress.bytesDone, progress.bytesTotal)
                                                 : 0);
    addSample(elapsedMs, moved);
    render();
}

void TransferProgressPanel::addSample(qint64 ms, quint64 bytes)
{
    if (!m_samples.empty() && bytes < m_samples.back().bytes)
        bytes = m_samples.back().bytes;
    if (m_firstByteMs < 0 && bytes > 0 && !m_samples.empty())
        m_firstByteMs = m_samples.back().ms;
    m_samples.push_back({ms, bytes});
    // Keep one sample from before the window, so the window is always
    // covered from its start.
    while (m_samples.size() > 2 && m_samples[1].ms <= ms - rateWindowMs)
        m_samples.pop_front();
}

double TransferProgressPanel::smoothedRate() const
{
    if (m_samples.size() < 2)
        return -1.0;
    const Sample& first = m_samples.front();
    const Sample& last = m_samples.back();
    const qint64 span = last.ms - first.ms;
    if (span < shortestRateSpanMs || last.bytes == 0)
        return -1.0;
    return double(last.bytes - first.bytes) * 1000.0 / double(span);
}

bool TransferProgressPanel::rateIsMeaningful() const
{
    if (m_firstByteMs < 0 || m_samples.empty() || smoothedRate() <= 0.0)
        return false;
    const qint64 movingFor = m_samples.back().ms - m_firstByteMs;
    return movingFor >= timeLeftAfterMs || m_samples.back().bytes >= timeLeftAfterBytes;
}

void TransferProgressPanel::render()
{
    if (!m_active || !m_haveProgress) {
        m_fileLine->clear();
        m_totalLine->clear();
        setVisible(m_active);
        return;
    }
    using Stage = core::Progress::Stage;
    const QString name = shownName(m_last.file.name);

    QString fileText;
    if (m_kind == Kind::Deletion)
        fileText = tr("Deleting %1").arg(name);
    else if (m_last.stage == Stage::Deleting)
        fileText = tr("%1: deleting the copy on the recorder first").arg(name);
    else if (m_last.stage == Stage::Transferring && m_last.bytesTotal > 0)
        fileText = tr("%1: %2 of %3")
                       .arg(name, bytesText(std::min(m_last.bytesDone, m_last.bytesTotal)),
                            bytesText(m_last.bytesTotal));
    else
        fileText = name;

    QStringList total;
    total << tr("File %1 of %2")
                 .arg(std::clamp(m_fileNumber, 1, std::max(m_fileCount, 1)))
                 .arg(m_fileCount);
    if (m_kind != Kind::Deletion) {
        const quint64 moved = m_samples.empty() ? 0 : m_samples.back().bytes;
        // The plan comes from the listed sizes; what really moves wins.
        const quint64 planned = std::max(m_plannedBytes, moved);
        if (m_plannedBytes > 0)
            total << tr("%1 of %2").arg(bytesText(moved), bytesText(planned));
        else
            total << tr("%1 done").arg(bytesText(moved));
        const double rate = smoothedRate();
        if (rate >= 0.0)
            total << rateText(rate);
        if (rateIsMeaningful()) {
            const quint64 currentLeft = m_last.stage == Stage::Transferring
                ? m_last.bytesTotal - std::min(m_last.bytesDone, m_last.bytesTotal)
                : m_currentFileSize;
            const quint64 left = std::max(planned - moved, currentLeft);
            if (m_plannedBytes > 0 || m_fileNumber >= m_fileCount)
                total << timeLeftText(qint64(double(left) * 1000.0 / rate));
        }
    } else if (m_filesDone > 0 && m_lastFileDoneMs >= timeLeftAfterMs) {
        // Deletions move no bytes: the time per file so far tells instead.
        const qint64 perFile = m_lastFileDoneMs / m_filesDone;
        total << timeLeftText(perFile * std::max(0, m_fileCount - m_filesDone));
    }

    m_fileLine->setText(fileText);
    m_totalLine->setText(total.join(QStringLiteral(", ")));
    setVisible(true);
}

QString TransferProgressPanel::fileLine() const
{
    return m_fileLine->text();
}

QString TransferProgressPanel::totalLine() const
{
    return m_totalLine->text();
}

QString TransferProgressPanel::bytesText(quint64 bytes)
{
    if (bytes < 1024)
        return tr("%1 B").arg(bytes);
    if (double(bytes) < kib * kib)
        return tr("%1 KB").arg(double(bytes) / kib, 0, 'f', 1);
    return tr("%1 MB").arg(double(bytes) / (kib * kib), 0, 'f', 1);
}

QString TransferProgressPanel::rateText(double bytesPerSecond)
{
    return tr("%1/s").arg(bytesText(quint64(std::llround(std::max(0.0, bytesPerSecond)))));
}

QString TransferProgressPanel::timeLeftText(qint64 ms)
{
    const qint64 seconds = (std::max<qint64>(ms, 0) + 999) / 1000;
    if (seconds < 10)
        return tr("a few seconds left");
    // Rounded up, to five seconds and then to ten: a count-down by single
    // seconds only looks exact.
    const qint64 toFive = (seconds + 4) / 5 * 5;
    if (toFive < 60)
        return tr("about %1 s left").arg(toFive);
    const qint64 toTen = (seconds + 9) / 10 * 10;
    if (toTen < 3600) {
        const qint64 rest = toTen % 60;
        return rest == 0 ? tr("about %1 min left").arg(toTen / 60)
                         : tr("about %1 min %2 s left").arg(toTen / 60).arg(rest);
    }
    const qint64 minutes = (seconds + 59) / 60;
    const qint64 rest = minutes % 60;
    return rest == 0 ? tr("about %1 h left").arg(minutes / 60)
                     : tr("about %1 h %2 min left").arg(minutes / 60).arg(rest);
}
