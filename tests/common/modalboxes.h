// Answering the modal boxes and dialogs a command opens, without blocking
// the test: each helper polls from the event loop the box's own exec() runs.
#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace testcommon {

// Calls handle with the active modal widget, once one is up and visible,
// at every turn of the event loop until handle returns true. Call before
// the command that opens the widget.
void whenModal(std::function<bool(QWidget*)> handle);

// Accepts the next file dialog with path, also one that opens later from
// an event.
void acceptNextFileDialog(const QString& path);

// The names a question about files lists apart from its text.
QStringList listedFiles(const QMessageBox* box);
// The same, each with the details beside the name (sizes, comparison).
QList<QStringList> listedFileRows(const QMessageBox* box);

// What a message box showed: its text, the names in its file list, whether
// it fitted the screen with its buttons on it.
struct SeenBox {
    QString text;
    QString detail; // the informative text
    QStringList files;
    QList<QStringList> fileRows; // each name with its details
    bool fitsScreen = false;
};

// Answers the next modal message box with answer once it is up, and tells
// what it showed.
std::shared_ptr<SeenBox> answerNextBox(QMessageBox::StandardButton answer);

// Clicks the button with this text (without its mnemonic) in the next
// message box, or rejects the box when it has none; tells the names its file
// list showed, followed by "clicked" when the button was there. meanwhile
// runs while the box is up, just before the click.
std::shared_ptr<QStringList> clickInNextBox(
    const QString& buttonText, const std::function<void(QMessageBox*)>& meanwhile = {});

// Answers every message box that becomes the active modal widget while it
// lives: with the next planned button, or with the box's escape/default
// button (OK) when nothing is planned. Remembers every box it saw.
class MessageBoxDriver : public QObject {
public:
    struct Seen {
        QMessageBox::Icon icon;
        QString text; // with the listed file names, one line each
        QMessageBox::StandardButton defaultButton;
    };

    MessageBoxDriver();

    // Answers the next box with this button. before, if given, runs first
    // (with the box open and its nested event loop running); the answer is
    // given once before returns true.
    void plan(QMessageBox::StandardButton button, std::function<bool()> before = {});

    const std::vector<Seen>& seen() const { return m_seen; }
    QStringList texts() const;
    void clear() { m_seen.clear(); }

private:
    struct Planned {
        QMessageBox::StandardButton button;
        std::function<bool()> before;
    };

    void poll();

    QTimer m_timer;
    std::deque<Planned> m_plan;
    std::vector<Seen> m_seen;
    QPointer<QMessageBox> m_current;
};

} // namespace testcommon
