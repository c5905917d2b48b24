// The modal dialog in which the user updates the firmware of one connected
// MZT-500, with the built-in update image or a file chosen from disk.
#pragma once

#include <QDialog>
#include <QList>
#include <QString>

#include <functional>

class DevicesDiscoverer;
class FwUpdater;
class MainWindow;
class QCloseEvent;
class UpdateImage;

namespace Ui {
class FirmwareUpdateDlg;
}

class FirmwareUpdateDlg : public QDialog {
    Q_OBJECT

public:
    explicit FirmwareUpdateDlg(QWidget* parent = nullptr);
    ~FirmwareUpdateDlg() override;

    void setMainWindow(MainWindow* window);
    void setDevices(const QList<int>& devices, int currentIndex);

    // Asks for the update file to load: (parent, caption, start path,
    // filter) -> chosen path, empty when cancelled. A file dialog unless
    // replaced (tests answer it themselves).
    using FileChooser =
        std::function<QString(QWidget*, const QString&, const QString&, const QString&)>;
    void setFileChooser(FileChooser chooser);

    // The question before an update: what is about to happen, the recorder's
    // and the update file's versions, and the file's own text (build dates
    // and paths) for whoever wants the details.
    struct UpdateQuestion {
        QString question;
        QString summary;
        QString details;
    };
    enum class Answer { Update, BackUpFirst, Cancel };
    // Asks the question: a message box unless replaced (tests answer it
    // themselves).
    using Confirmation = std::function<Answer(QWidget*, const UpdateQuestion&)>;
    void setConfirmation(Confirmation confirmation);

    // The dialog's result when the user chose to back the recorder up
    // before updating it: the window backs it up, then opens the dialog again.
    static constexpr int BackUpFirstResult = 2;

    // What the dialog says about the recorder's versions and the outcome.
    QString versionsText() const;

    // How the last update ended, as the dialog has told the user.
    enum class Outcome {
        None,         // no update has ended yet
        Updated,      // sent completely; the recorder answered afterwards
        Unconfirmed,  // sent completely; the recorder did not answer afterwards
        Unchanged,    // sent completely, but the versions read back are the old ones
        Failed,       // stopped part-way; the recorder still answers
        RecorderGone, // stopped part-way; the recorder no longer answers
    };
    Outcome outcome() const { return lastOutcome; }

    // State, for tests.
    Ui::FirmwareUpdateDlg* form() const { return ui; }
    bool isBusy() const { return busy; }
    bool isAlternativeMode() const { return alternativeMode; }
    bool isFileOk() const { return fileOk; }
    const UpdateImage* currentImage() const { return image; }
    QString lastFilePath() const { return lastPath; }

    // The mode label's link. Named like a by-name slot but matching no
    // widget, so it stays out of the meta-object (the form's by-name
    // connector would warn about it) and is connected explicitly.
    void on_lblMode_Link_clicked(QString link);

public slots:
    void on_bttnDiscover_clicked();
    void on_bttn_load_clicked();
    void on_bttn_quit_clicked();
    void on_bttn_update_clicked();
    void progress(int value);
    void devicesDiscovered();
    void operationDone();
    void updateFailed();
    void updateSuccessFul();

    // Escape and other ways of dismissing the dialog end up here; refused
    // while a worker runs, like closing the window.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct DeviceVersions {
        bool read = false;
        QString model;
        uint software = 0;
        uint hardware = 0;
    };
    // Identifies the recorder at this index through the main window's master.
    DeviceVersions readDeviceVersions(int deviceIndex);
    QString describeVersions(const DeviceVersions& versions) const;
    QString describeImage() const;
    QString imageDetails() const;
    // What to do when an update went through but the recorder reports the
    // version it ran before.
    QString unchangedNextStep(uint running) const;
    // After an update: reads the versions back (the recorder may still be
    // restarting, so it tries a few times) and says whether they changed.
    void readVersionsBack();
    // After a failed update: says so, and whether the recorder still answers.
    void reportFailure();
    // Why Quit or closing waits while a worker runs.
    void explainWait();

    void setFileOpenMode(bool alternative);
    void lockControls();
    void unlockControls();
    // The line under the recorder: its versions, progress or the verdict.
    void showVersionsText(const QString& text);
    void updateButtonState();

    Ui::FirmwareUpdateDlg* ui = nullptr;
    MainWindow* mainWindow = nullptr;
    bool busy = false;
    bool alternativeMode = false;
    QList<int> devices;
    UpdateImage* image = nullptr;
    FwUpdater* updater = nullptr;
    DevicesDiscoverer* discoverer = nullptr;
    bool fileOk = false;
    QString lastPath;

    QString defaultModeText;
    QString alternativeModeText;
    FileChooser chooseFile;
    Confirmation confirm;
    DeviceVersions versionsBefore;
    int updatedDevice = -1;
    int readBackAttemptsLeft = 0;
    Outcome lastOutcome = Outcome::None;
};
