// Running the built mzt500-cli against simulated recorders.
#pragma once

#include "mztarchive.h"
#include "simulator.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

struct CliRun {
    int code = -1;
    QByteArray out;
    QByteArray err;

    // The failure's reason: exactly one line on stderr.
    bool oneLineReason() const { return err.count('\n') == 1 && err.endsWith('\n'); }
};

inline CliRun runCli(const QStringList& args, const QProcessEnvironment& env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(MZT_CLI), args);
    CliRun run;
    if (!p.waitForStarted(10000) || !p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        run.err = "mzt500-cli did not finish";
        return run;
    }
    run.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    return run;
}

// The environment of a test run with only the simulated recorders of this
// configuration file (or "demo").
inline QProcessEnvironment simulatorEnvironment(const QString& config)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("MZT500_PORTS"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    env.insert(QStringLiteral("MZT500_NO_HARDWARE"), QStringLiteral("1"));
    env.insert(QStringLiteral("MZT500_SIMULATOR"), config);
    return env;
}

inline QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

#ifdef MZT_SIM
// mzt500-sim --pty serving one recorder through the kernel serial backend;
// the recorder keeps its files from one CLI run to the next.
class PtyRecorder {
public:
    ~PtyRecorder() { stop(); }

    // Starts the simulator with this configuration; false if it does not
    // name its terminal in time. With withLog its diagnostics can be waited
    // for (waitForLog).
    bool start(const QByteArray& config, bool withLog = false)
    {
        if (!m_dir.isValid())
            return false;
        if (withLog) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("mzt.sim.debug=true"));
            m_sim.setProcessEnvironment(env);
        }
        m_sim.start(QStringLiteral(MZT_SIM),
                    {QStringLiteral("--pty"), QStringLiteral("--config"),
                     writeFile(m_dir, QStringLiteral("pty.json"), config)});
        if (!m_sim.waitForStarted() || !m_sim.waitForReadyRead(10000))
            return false;
        m_pty = QString::fromLocal8Bit(m_sim.readLine().trimmed());
        return m_pty.startsWith(QLatin1String("/dev/"));
    }

    bool stop()
    {
        if (m_sim.state() == QProcess::NotRunning)
            return true;
        m_sim.terminate();
        return m_sim.waitForFinished(5000);
    }

    const QString& pty() const { return m_pty; }

    // Waits until the simulator has logged a line containing text.
    bool waitForLog(const QByteArray& text, int timeoutMs = 30000)
    {
        QDeadlineTimer deadline(timeoutMs);
        m_sim.setReadChannel(QProcess::StandardError);
        m_log += m_sim.readAllStandardError();
        while (!m_log.contains(text)) {
            if (deadline.hasExpired())
                return false;
            m_sim.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1)));
            m_log += m_sim.readAllStandardError();
        }
        return true;
    }

    // Forgets what the simulator has logged so far.
    void clearLog()
    {
        // What the last command made it log may still wait in the pipe; the
        // simulator logs nothing while no command runs.
        m_sim.setReadChannel(QProcess::StandardError);
        while (m_sim.waitForReadyRead(100))
            m_sim.readAllStandardError();
        m_sim.readAllStandardError();
        m_log.clear();
    }

    // How often text was logged since the start or clearLog().
    int logCount(const QByteArray& text)
    {
        m_log += m_sim.readAllStandardError();
        return int(m_log.count(text));
    }

    // Only this recorder, found through MZT500_PORTS.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("MZT500_SIMULATOR"));
        env.remove(QStringLiteral("QT_LOGGING_RULES"));
        env.insert(QStringLiteral("MZT500_NO_HARDWARE"), QStringLiteral("1"));
        env.insert(QStringLiteral("MZT500_PORTS"), m_pty + QStringLiteral("=KORVANT KVP-DEV"));
        return env;
    }

    CliRun run(const QStringList& args) const { return runCli(args, environment()); }

private:
    QTemporaryDir m_dir;
    QProcess m_sim;
    QString m_pty;
    QByteArray m_log;
};
#endif

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The recorder files a configuration describes, by file number.
inline std::map<std::uint16_t, QByteArray> configuredFiles(const QByteArray& json, int device = 0)
{
    QString error;
    const auto devices = sim::parseConfig(json, &error);
    if (!devices || int(devices->size()) <= device)
        qFatal("bad test configuration: %s", qPrintable(error));
    return (*devices)[size_t(device)].files;
}

struct LoadedEntry {
    QString name;
    qint32 id;
    qint32 type;
    quint32 duration;
    QByteArray content;
};

inline QList<LoadedEntry> archiveEntries(const QString& path, bool* ok = nullptr)
{
    MZTArchive archive(path);
    const bool loaded = archive.load();
    if (ok)
        *ok = loaded;
    QList<LoadedEntry> entries;
    for (const ArchiveEntry* e : archive.entries())
        entries.append({e->name(), e->id(), e->type(), e->duration(), e->content()});
    return entries;
}

inline QStringList lines(const QByteArray& text)
{
    return QString::fromLocal8Bit(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
