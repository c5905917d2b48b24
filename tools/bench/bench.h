// mzt500-bench: measurements that are not pass/fail tests. Each subcommand
// lives in a source file of its own (bench_<name>.cpp) and registers itself
// with MZT_BENCH_COMMAND; main.cpp dispatches on the first argument.
#pragma once

#include <QStringList>

#include <cstdio>

namespace bench {

using CommandFn = int (*)(const QStringList& args);

struct Command {
    const char* name;
    const char* usage;
    CommandFn run;
};

// Registers a subcommand; called by MZT_BENCH_COMMAND before main runs.
bool registerCommand(const Command& command);
const Command* findCommand(const QString& name);
QList<Command> commands();

// CPU time (user + system) of the whole process, in seconds.
double processCpuSeconds();
// The same of another process (a child), from /proc; -1 once it is gone.
double cpuSecondsOf(qint64 pid);

// Value of "--name=value" in args, or fallback.
QString option(const QStringList& args, const QString& name, const QString& fallback = {});

} // namespace bench

#define MZT_BENCH_CONCAT2(a, b) a##b
#define MZT_BENCH_CONCAT(a, b) MZT_BENCH_CONCAT2(a, b)
#define MZT_BENCH_COMMAND(name, usage, fn)                                                         \
    static const bool MZT_BENCH_CONCAT(benchRegistered_, __LINE__) =                               \
        ::bench::registerCommand({name, usage, fn})
