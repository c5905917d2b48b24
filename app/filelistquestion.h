// A question about a list of files (replace, overwrite, delete). The names go
// into a scrollable list under the question instead of into its text, so a
// question about every file of a recorder still fits the screen it opens on
// and its buttons stay reachable.
#pragma once

#include <QList>
#include <QMessageBox>
#include <QStringList>

// Object name of the list, for whoever needs to read it back.
inline constexpr char fileListObjectName[] = "fileList";

// One file a question names, and what tells its two copies apart: the size
// on each side and how they compare. Empty details are not shown; when no
// file has any, the list holds the names alone.
struct ListedFile {
    QString name;
    QString recorderSize;
    QString archiveSize;
    QString comparison;
};

// A report rather than a question takes another icon; a note goes under the
// question. extraButton, when not empty, is the text of one more answer
// beside the standard buttons; choosing it returns NoButton and sets
// *extraChosen.
QMessageBox::StandardButton askAboutFiles(QWidget* parent, const QString& title,
                                          const QString& question, const QStringList& files,
                                          QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton defaultButton,
                                          const QString& extraButton = QString(),
                                          bool* extraChosen = nullptr,
                                          QMessageBox::Icon icon = QMessageBox::Question);
QMessageBox::StandardButton askAboutFiles(
    QWidget* parent, const QString& title, const QString& question, const QList<ListedFile>& files,
    QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton,
    const QString& extraButton = QString(), bool* extraChosen = nullptr,
    QMessageBox::Icon icon = QMessageBox::Question, const QString& note = QString());
