// The desktop's file manager, asked over D-Bus (org.freedesktop.FileManager1)
// to show a file: its folder opens with the file selected, as "Show in
// folder" does in other programs.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace desktop {

// Asks the file manager to show path selected in its folder. Does not wait
// for the answer: shown(true) once the file manager took the request,
// shown(false) when there is no session bus or no file manager answered, so
// that the caller can open the folder some other way. shown runs on
// context's thread and never after context is gone.
void showInFileManager(const QString& path, QObject* context,
                       const std::function<void(bool shown)>& shown);

} // namespace desktop
