#include "bench.h"

#include <QCoreApplication>
#include <QFile>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace bench {
namespace {

std::vector<Command>& registry()
{
    static std::vector<Command> r;
    return r;
}

void printUsage()
{
    std::fprintf(stderr, "usage: mzt500-bench <command> [options]\n");
    for (const Command& c : commands())
        std::fprintf(stderr, "  %s %s\n", c.name, c.usage);
}

} // namespace

bool registerCommand(const Command& command)
{
    registry().push_back(command);
    return true;
}

const Command* findCommand(const QString& name)
{
    for (const Command& c : registry())
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

QList<Command> commands()
{
    QList<Command> list(registry().begin(), registry().end());
    std::sort(list.begin(), list.end(),
              [](const Command& a, const Command& b) { return qstrcmp(a.name, b.name) < 0; });
    return list;
}

double processCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double cpuSecondsOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // The command name in parentheses may hold spaces; the fields after it
    // are plain numbers: state is field 3, utime 14 and stime 15.
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(fields.at(11).toULongLong() + fields.at(12).toULongLong());
    return ticks / double(::sysconf(_SC_CLK_TCK));
}

QString option(const QStringList& args, const QString& name, const QString& fallback)
{
    const QString prefix = QStringLiteral("--") + name + QLatin1Char('=');
    for (const QString& a : args)
        if (a.startsWith(prefix))
            return a.mid(prefix.size());
    return fallback;
}

} // namespace bench

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        bench::printUsage();
        return 2;
    }
    const bench::Command* command = bench::findCommand(args.takeFirst());
    if (!command) {
        bench::printUsage();
        return 2;
    }
    return command->run(args);
}
