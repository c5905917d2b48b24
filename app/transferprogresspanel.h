// The lines beside the window's two progress bars that answer "how long":
// the current file with its bytes, and the file count, the bytes of the
// whole command, the speed and the time left. Fed with the progress values
// the transfer workers hand to the GUI thread.
#pragma once

#include "operation.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <deque>

class QGridLayout;
class QLabel;

class TransferProgressPanel : public QObject {
    Q_OBJECT

public:
    enum class Kind { Download, Upload, Deletion };

    // Object names of the two lines, for whoever reads them back.
    static constexpr char fileLineName[] = "progressFileLine";
    static constexpr char totalLineName[] = "progressTotalLine";

    // Puts the file line under the row of the current-file bar and the
    // total line under the row of the total bar, in column barColumn.
    TransferProgressPanel(QGridLayout* layout, int fileBarRow, int totalBarRow, int barColumn,
                          QObject* parent = nullptr);

    // A command on fileCount files starts. plannedSizes, when known, are the
    // files' sizes in the order they are worked on (as listed: each is
    // replaced by the size the transfer announces once it starts).
    void begin(Kind kind, int fileCount, const QList<quint64>& plannedSizes = {});
    // Empties and hides both lines; progress arriving later is ignored.
    void end();
    // Shows or hides the lines with the bars, keeping what they say.
    void setVisible(bool visible);

    // Progress of the running command, timed now or at elapsedMs since
    // begin() (tests give the times themselves).
    void show(const core::Progress& progress);
    void showAt(const core::Progress& progress, qint64 elapsedMs);

    QString fileLine() const;
    QString totalLine() const;

    // Texts as a person reads them, shared with whoever needs the same.
    static QString bytesText(quint64 bytes);
    static QString rateText(double bytesPerSecond);
    static QString timeLeftText(qint64 ms);

private:
    struct Sample {
        qint64 ms;
        quint64 bytes;
    };
    void addSample(qint64 ms, quint64 bytes);
    // Bytes per second over the last few seconds; negative while there is
    // too little to say.
    double smoothedRate() const;
    bool rateIsMeaningful() const;
    void render();

    QLabel* m_fileLine = nullptr;
    QLabel* m_totalLine = nullptr;
    QElapsedTimer m_clock;
    bool m_active = false;
    Kind m_kind = Kind::Download;
    int m_fileCount = 0;
    QList<quint64> m_plannedSizes;
    quint64 m_plannedBytes = 0; // their sum

    core::Progress m_last;
    bool m_haveProgress = false;
    quint64 m_currentFileSize = 0; // the current file's announced size
    quint64 m_finishedBytes = 0;   // bytes of the files completed so far
    std::deque<Sample> m_samples;  // the moved bytes over the last seconds
    qint64 m_firstByteMs = -1;     // when bytes first moved
    int m_fileNumber = 0;          // the current file's place, from 1
    int m_filesDone = 0;
    qint64 m_lastFileDoneMs = 0; // for deletions: the time per file
};
