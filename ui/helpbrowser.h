// A window showing the user manual compiled into the program. Each one is
// independent of the main window and deletes itself when closed.
#pragma once

#include <QMainWindow>

namespace Ui {
class HelpBrowser;
}

class HelpBrowser : public QMainWindow {
    Q_OBJECT

public:
    // Opens the manual at its beginning, or at the section with this anchor
    // ("sec1", "notfound").
    explicit HelpBrowser(QWidget* parent = nullptr, const QString& section = QString());
    ~HelpBrowser() override;

    // Lets the manual's web engine start when the program runs as root,
    // which its sandbox refuses and answers by ending the whole program.
    // The view only ever shows the manual compiled into the program, and
    // leaves it for nothing else. Call before the first manual opens.
    static void allowRunningAsRoot();

public slots:
    void on_buttonQuit_clicked();
    bool close();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Ui::HelpBrowser* ui;
};
