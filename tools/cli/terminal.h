// What mzt500-cli writes: results on stdout, progress and reasons on stderr.
// The progress bar only appears on a terminal, so piped output stays clean.
#pragma once

#include "progress_text.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

namespace cli {

// Exit status of the program; a script tells the outcomes apart by these.
enum Exit : int {
    ExitOk = 0,
    ExitFailed = 1,         // the recorder or a file operation failed
    ExitUsage = 2,          // the command line asks for something impossible
    ExitNoRecorder = 3,     // no (such) recorder answers
    ExitWouldOverwrite = 4, // restore refused to replace files on the recorder
    ExitBusy = 5,           // the recorder refused its transfer mode, or another program holds it
    ExitBadFile = 6,        // an archive or update file cannot be used
    ExitDiffers = 7,        // a comparison found files that differ or are on one side only
    ExitInterrupted = 130,  // stopped by SIGINT (143 SIGTERM, 129 SIGHUP: 128 + the signal)
};

// Names come from archives and recorders and may hold anything, terminal
// escapes included: a name shown on a terminal has its control characters
// written as escapes ("\n", "\033"), as ls does. Everything else, bytes of
// names that are not UTF-8 included, is written as it is.
QString visibleControls(const QString& text);

// The bytes to write for a line of text on a stream: the file names it holds
// exactly as given, control characters made visible when the stream is a
// terminal.
QByteArray outputBytes(const QString& text, std::FILE* stream);

class Terminal {
public:
    explicit Terminal(bool quiet);

    bool quiet() const { return m_quiet; }

    // Results the command exists for (listings): always written.
    void print(const QString& line);
    // Reports of what was done: left out with --quiet.
    void report(const QString& line);
    // A remark on stderr that does not make the command fail.
    void warn(const QString& line);
    // The one-line reason of a failure; returns code for the caller to pass on.
    int fail(int code, const QString& reason);

    // Progress of item `index` (from 1) of `count`, the current one `percent`
    // done. Drawn at most every 50 ms unless the item or the end changes.
    void progress(const QString& label, int index, int count, int percent);
    // Starts the clock of a transfer's speed and time left; reports between
    // files do not stop it.
    void beginTransfer();
    // One line for a whole transfer: the current file and the totals (files,
    // bytes, speed, time left).
    void transferProgress(const QString& label, int filesDone, int filesTotal, qint64 bytesDone,
                          qint64 bytesTotal);
    // Removes the bar so that the next line starts clean.
    void endProgress();

private:
    void draw();
    void drawLine(const QString& line);

    bool m_quiet;
    bool m_bar;
    bool m_drawn = false;
    QString m_label;
    int m_index = 0;
    int m_count = 0;
    int m_percent = -1;
    QElapsedTimer m_lastDraw;
    QElapsedTimer m_transferClock;
    TransferTotals m_totals;
};

} // namespace cli
