// Where "Back up recorder" puts its archives and what it calls them: a
// folder kept in the settings and a dated name per backup, never one that
// is already taken.
#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

class QSettings;

namespace backup {

// The settings key of the folder backups are saved in.
inline constexpr char folderKey[] = "backup_folder";
// Where the window keeps its settings, for programs that read its folder.
inline constexpr char settingsOrganization[] = "Korvant";
inline constexpr char settingsApplication[] = "MZT-500 Data Backup Tool";

// The user's documents folder + "/MZT-500 backups".
QString defaultFolder();

// The folder from the settings, or the default when none was chosen.
QString folder(const QSettings& settings);
void setFolder(QSettings& settings, const QString& path);
// The window's backup folder, read from its settings.
QString windowFolder();

// "MZT-500 <serial> 2026-12-08 14-05.mzt" for a backup taken at local time
// when. The serial comes from the device layer and may hold anything:
// characters that are not safe in a file name become '_', and without a
// serial the name is "MZT-500 2026-12-08 14-05.mzt". A serial longer than
// maxSerialInName is cut, so that the name stays within what file systems
// allow.
// A backup that lacks files the recorder could not deliver is marked
// incomplete: "MZT-500 <serial> 2026-12-08 14-05 incomplete.mzt".
inline constexpr int maxSerialInName = 64;
enum class Completeness { Complete, Incomplete };
QString fileName(const QString& serial, const QDateTime& when,
                 Completeness completeness = Completeness::Complete);
// The serial as fileName() writes it.
QString serialInName(const QString& serial);

// What a name made by fileName() (or freePath()) says: the serial as
// written into it (empty when the name has none), the local time to the
// minute, whether it is marked incomplete and the copy number (1, or n of
// " (n)"). Nothing for other names.
struct NameParts {
    QString serial;
    QDateTime when;
    bool incomplete = false;
    int copy = 1;
};
std::optional<NameParts> parseFileName(const QString& name);

// Why backups cannot be saved in folder, in words; empty when they can. A
// missing folder is made; a file where the folder or one of its parents
// should be, or a folder no file can be made in, is the answer.
QString folderProblem(const QString& folder);

// folder/name, or with " (2)", " (3)", ... before the extension when that
// file exists, so that a backup never replaces an earlier one.
QString freePath(const QString& folder, const QString& name);

} // namespace backup
