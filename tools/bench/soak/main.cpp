// mzt500-soak: the process behind `mzt500-bench soak`. The soak drives the
// main window, which needs a QApplication; the bench's own process has only
// a QCoreApplication, so it starts this one.
#include "soak.h"

#include <QApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// "--name value" or "--name=value".
bool takeOption(const QStringList& args, int* i, const QString& name, QString* value)
{
    const QString& a = args.at(*i);
    if (a == name && *i + 1 < args.size()) {
        *value = args.at(++*i);
        return true;
    }
    if (a.startsWith(name + QLatin1Char('='))) {
        *value = a.mid(name.size() + 1);
        return true;
    }
    return false;
}

// The offscreen platform warns about every window it shows; nothing else
// is held back.
QtMessageHandler previousHandler = nullptr;
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    previousHandler(type, context, message);
}

} // namespace

int main(int argc, char** argv)
{
    // Headless, on simulated devices only, and with window settings of its
    // own: the soak must not touch the user's remembered archive.
    QTemporaryDir config;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("MZT500_NO_HARDWARE", "1");
    if (config.isValid())
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));

    QApplication app(argc, argv);
    previousHandler = qInstallMessageHandler(messageHandler);
    soak::Options options;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        QString value;
        bool ok = true;
        if (takeOption(args, &i, QStringLiteral("--ops"), &value))
            options.ops = value.toInt(&ok);
        else if (takeOption(args, &i, QStringLiteral("--seed"), &value))
            options.seed = value.toULongLong(&ok);
        else if (takeOption(args, &i, QStringLiteral("--fault-scale"), &value))
            options.faultScale = value.toDouble(&ok);
        else if (takeOption(args, &i, QStringLiteral("--only"), &value))
            options.only = value;
        else if (takeOption(args, &i, QStringLiteral("--repeated-frames"), &value)) {
            const std::optional<sim::RepeatedFrames> repeated = sim::repeatedFramesNamed(value);
            ok = repeated.has_value();
            if (ok)
                options.repeatedFrames = *repeated;
        } else if (args.at(i) == QLatin1String("--verbose"))
            options.verbose = true;
        else
            ok = false;
        if (!ok || options.ops < 1) {
            std::fprintf(stderr,
                         "usage: mzt500-bench soak [--ops N] [--seed S] [--fault-scale X] [--only "
                         "KIND] [--repeated-frames recognise|takeAsNew] [--verbose]\n");
            return 2;
        }
    }
    // The program's own debug lines would drown the report; --verbose keeps
    // the soak's lines only.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("mzt.*.debug=false"));
    return soak::run(options);
}
