#include "autostart.h"

#include "desktoplog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace desktop {

namespace {

constexpr char EntryName[] = "mzt500-watch.desktop";

} // namespace

QString autostartFolder()
{
    // As the XDG base directory rules have it: only an absolute path
    // counts, anything else means the default.
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString config = !configured.isEmpty() && QDir::isAbsolutePath(configured)
        ? configured
        : QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart");
}

QString autostartEntryPath()
{
    return autostartFolder() + QLatin1Char('/') + QLatin1String(EntryName);
}

bool autostartEnabled()
{
    return QFileInfo::exists(autostartEntryPath());
}

QString execArgument(const QString& argument)
{
    // Within double quotes the characters ", `, $ and \ take a backslash;
    // a percent sign is doubled anywhere, since it starts a field code.
    static const QString plain = QStringLiteral("-_./+=:,@");
    bool needsQuotes = argument.isEmpty();
    QString quoted;
    for (const QChar c : argument) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && !plain.contains(c))
            needsQuotes = true;
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
            || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
    }
    return needsQuotes ? QLatin1Char('"') + quoted + QLatin1Char('"') : quoted;
}

bool enableAutostart(const QString& program, QString* error)
{
    const QString folder = autostartFolder();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("the folder %1 cannot be created").arg(folder);
        return false;
    }
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=MZT-500 automatic backups\n"
                                         "Comment=Backs up MZT-500 recorders when they are "
                                         "plugged in and have changed\n"
                                         "Exec=%1 watch\n"
                                         "Icon=com.korvant.MZT500Backup\n"
                                         "Terminal=false\n"
                                         "NoDisplay=true\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(execArgument(program));
    // Written beside its name and renamed: a desktop reading the folder at
    // that moment finds the old entry or the new one, never half of one.
    QSaveFile file(autostartEntryPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(entry.toUtf8()) < 0 || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    qCInfo(lcDesktop).noquote() << "autostart entry written:" << autostartEntryPath();
    return true;
}

bool disableAutostart(bool* wasEnabled, QString* error)
{
    QFile file(autostartEntryPath());
    *wasEnabled = file.exists();
    if (!*wasEnabled)
        return true;
    if (!file.remove()) {
        *error = file.errorString();
        return false;
    }
    qCInfo(lcDesktop).noquote() << "autostart entry removed:" << autostartEntryPath();
    return true;
}

} // namespace desktop
