// Automatic backups started at login: an XDG autostart entry that runs
// `mzt500-cli watch`, which every desktop following the XDG autostart
// rules starts when the user logs in. Switched on and off here for the
// command line and the window alike.
#pragma once

#include <QString>

namespace desktop {

// $XDG_CONFIG_HOME/autostart, by default ~/.config/autostart.
QString autostartFolder();
// The entry this program installs there.
QString autostartEntryPath();
bool autostartEnabled();

// Writes the entry, running `program watch` (program: the path of
// mzt500-cli); replaces an older one. False with *error on failure, and
// then no half-written entry is left.
bool enableAutostart(const QString& program, QString* error);
// Removes the entry; *wasEnabled says whether there was one. False with
// *error when it is there and cannot be removed.
bool disableAutostart(bool* wasEnabled, QString* error);

// One argument of an entry's Exec line, quoted as desktop entries want it
// where it holds anything but plain characters.
QString execArgument(const QString& argument);

} // namespace desktop
