#include "terminal.h"

#include "regular_file.h"

#include <QByteArray>

#include <algorithm>
#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {
namespace {

int terminalWidth()
{
    winsize ws {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20)
        return ws.ws_col;
    return 80;
}

void writeLine(std::FILE* stream, const QString& line)
{
    const QByteArray bytes = outputBytes(line, stream);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

QString visibleControls(const QString& text)
{
    static const QLatin1String controls("\a\b\t\n\v\f\r");
    static const QLatin1String letters("abtnvfr");
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u != 0x7F && (u < 0x80 || u > 0x9F)) {
            shown += c;
            continue;
        }
        const qsizetype named = controls.indexOf(c);
        shown += named >= 0 ? QStringLiteral("\\") + QChar(letters[named])
                            : QStringLiteral("\\%1").arg(uint(u), 3, 8, QLatin1Char('0'));
    }
    return shown;
}

QByteArray outputBytes(const QString& text, std::FILE* stream)
{
    return mzt::nativePath(::isatty(::fileno(stream)) == 1 ? visibleControls(text) : text);
}

Terminal::Terminal(bool quiet)
    : m_quiet(quiet)
    , m_bar(!quiet && ::isatty(STDERR_FILENO) == 1)
{
}

void Terminal::print(const QString& line)
{
    endProgress();
    writeLine(stdout, line);
}

void Terminal::report(const QString& line)
{
    if (m_quiet)
        return;
    print(line);
}

void Terminal::warn(const QString& line)
{
    endProgress();
    writeLine(stderr, QStringLiteral("mzt500-cli: ") + line);
}

int Terminal::fail(int code, const QString& reason)
{
    // A reason is one line, whatever text a lower layer handed up.
    QString text = reason.simplified();
    warn(text);
    return code;
}

void Terminal::progress(const QString& label, int index, int count, int percent)
{
    if (!m_bar)
        return;
    percent = std::clamp(percent, 0, 100);
    const bool itemChanged = label != m_label || index != m_index || count != m_count;
    if (!itemChanged && percent == m_percent)
        return;
    m_label = label;
    m_index = index;
    m_count = count;
    m_percent = percent;
    if (itemChanged || percent == 100 || !m_lastDraw.isValid() || m_lastDraw.elapsed() >= 50)
        draw();
}

void Terminal::draw()
{
    m_lastDraw.start();
    const QString counter =
        m_count > 1 ? QStringLiteral(" (%1/%2)").arg(m_index).arg(m_count) : QString();
    const QString tail = QStringLiteral(" %1%").arg(m_percent, 3) + counter;
    const int width = terminalWidth() - 1;
    const int barWidth = std::clamp(width - int(tail.size()) - 16, 10, 40);
    const int filled = barWidth * m_percent / 100;
    const QString bar = QStringLiteral(" [") + QString(filled, QLatin1Char('#'))
        + QString(barWidth - filled, QLatin1Char('-')) + QStringLiteral("]");
    const int labelRoom = std::max(0, width - int(bar.size() + tail.size()));
    drawLine(m_label.left(labelRoom).leftJustified(std::min<int>(labelRoom, 12)) + bar + tail);
}

void Terminal::beginTransfer()
{
    m_transferClock.start();
    m_totals = {};
}

void Terminal::transferProgress(const QString& label, int filesDone, int filesTotal,
                                qint64 bytesDone, qint64 bytesTotal)
{
    if (!m_bar)
        return;
    if (!m_transferClock.isValid())
        beginTransfer();
    const bool fileChanged = label != m_label || filesDone != m_totals.filesDone;
    const bool finished = bytesDone >= bytesTotal;
    m_label = label;
    m_totals = {filesDone, filesTotal, bytesDone, bytesTotal, m_transferClock.elapsed()};
    if (!fileChanged && !finished && m_lastDraw.isValid() && m_lastDraw.elapsed() < 200)
        return;
    m_lastDraw.start();
    const QString totals = totalsText(m_totals);
    const int labelRoom = std::max(0, terminalWidth() - 1 - int(totals.size()) - 2);
    drawLine(m_label.left(labelRoom).leftJustified(std::min<int>(labelRoom, 12))
             + QStringLiteral("  ") + totals);
}

void Terminal::drawLine(const QString& line)
{
    const QByteArray bytes = "\r\033[K" + mzt::nativePath(visibleControls(line));
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    m_drawn = true;
}

void Terminal::endProgress()
{
    if (!m_drawn)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_drawn = false;
    m_label.clear();
    m_index = m_count = 0;
    m_percent = -1;
}

} // namespace cli
