#include "recorder_backup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace backup {

QString defaultFolder()
{
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    return documents + QStringLiteral("/MZT-500 backups");
}

QString folder(const QSettings& settings)
{
    const QString chosen = settings.value(QLatin1String(folderKey)).toString();
    return chosen.isEmpty() ? defaultFolder() : chosen;
}

void setFolder(QSettings& settings, const QString& path)
{
    settings.setValue(QLatin1String(folderKey), path);
}

QString windowFolder()
{
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                             QLatin1String(settingsOrganization),
                             QLatin1String(settingsApplication));
    return folder(settings);
}

QString serialInName(const QString& serial)
{
    QString safe;
    for (const QChar c : serial.trimmed()) {
        const bool plain = (c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('-')
            || c == QLatin1Char('_');
        safe.append(plain ? c : QLatin1Char('_'));
    }
    safe.truncate(maxSerialInName);
    return safe;
}

QString fileName(const QString& serial, const QDateTime& when, Completeness completeness)
{
    const QString safe = serialInName(serial);
    QString stamp = when.toString(QStringLiteral("yyyy-MM-dd HH-mm"));
    if (completeness == Completeness::Incomplete)
        stamp += QLatin1String(" incomplete");
    return safe.isEmpty() ? QStringLiteral("MZT-500 %1.mzt").arg(stamp)
                          : QStringLiteral("MZT-500 %1 %2.mzt").arg(safe, stamp);
}

std::optional<NameParts> parseFileName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral(
        R"(^MZT-500 (?:([A-Za-z0-9_-]+) )?(\d{4}-\d\d-\d\d \d\d-\d\d)( incomplete)?(?: \((\d+)\))?\.mzt$)"));
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch())
        return std::nullopt;
    NameParts parts;
    parts.serial = match.captured(1);
    parts.when = QDateTime::fromString(match.captured(2), QStringLiteral("yyyy-MM-dd HH-mm"));
    if (!parts.when.isValid())
        return std::nullopt;
    parts.incomplete = match.hasCaptured(3);
    if (match.hasCaptured(4))
        parts.copy = match.captured(4).toInt();
    return parts;
}

QString folderProblem(const QString& folder)
{
    if (QFileInfo(folder).isDir()) {
        QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".mzt500-probe-XXXXXX")));
        if (!probe.open())
            return QCoreApplication::translate("MainWindow", "no file can be made in it (%1)")
                .arg(probe.errorString());
        return QString();
    }
    // The nearest part of the path that exists tells what is in the way.
    for (QString part = folder; !part.isEmpty();) {
        const QFileInfo info(part);
        if (info.exists() && !info.isDir())
            return QCoreApplication::translate("MainWindow", "%1 is a file, not a folder")
                .arg(QDir::toNativeSeparators(part));
        const QString parent = info.path();
        if (info.exists() || parent == part)
            break;
        part = parent;
    }
    if (!QDir().mkpath(folder))
        return QCoreApplication::translate("MainWindow", "it cannot be created");
    return folderProblem(folder);
}

QString freePath(const QString& folder, const QString& name)
{
    const QDir dir(folder);
    QString path = dir.filePath(name);
    const QString base = QFileInfo(name).completeBaseName();
    const QString suffix = QFileInfo(name).suffix();
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = dir.filePath(QStringLiteral("%1 (%2).%3").arg(base).arg(n).arg(suffix));
    return path;
}

} // namespace backup
