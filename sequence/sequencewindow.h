#pragma once

#include "sequencerunner.h"

#include <QWidget>

class QAction;
class QCheckBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QLayout;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableView;
class QTimer;
class SequenceModel;

// Edits a list of steps and shows the progress of a run; the runner does the running. One per
// main window, opened by the Sequence action and kept when closed.
class SequenceWindow : public QWidget {
    Q_OBJECT

public:
    SequenceWindow(SequenceRunner *runner, QWidget *parent = nullptr);

    SequenceModel *model() const { return steps; }
    // The file work behind Open..., Save... and Export log..., with the path already chosen.
    // Each shows its own message on failure.
    bool openFile(const QString &path);
    bool saveFile(const QString &path);
    bool exportLog(const QString &path);
    // Before the panel closes: offers to save edits that were not saved. False when the operator
    // chose to stay.
    bool maybeSave();

private:
    QTableView *buildTable();
    QLayout *buildEditRow();
    QGroupBox *buildScan();
    QGroupBox *buildRun();
    QLayout *buildFileRow();
    // Each returns whether a file was chosen and the work on it succeeded.
    bool chooseOpen();
    bool chooseSave();
    bool chooseExport();
    void addStep();
    void run();
    void goToSelected();
    void generate();
    void undoOrRedo(bool undo);
    void onProgress();
    void onTimedOut(int row, const QString &message);
    void onFinished(const SequenceLog &log, const QString &error);
    void clearRunStatus();
    void updateControls();
    void reserveHeaderWidth();
    void updateTitle();
    void showMessage(const QString &text, bool problem);
    QString runOrigin() const;
    int selectedRow() const;
    void selectRow(int row);

    SequenceRunner *runner = nullptr;
    SequenceModel *steps = nullptr;
    bool ownRun = false;
    int highlighted = -1;
    // The file the table was last opened from or saved to.
    QString currentFile;
    QTimer *refresh = nullptr;
    QAction *undoAction = nullptr;
    QAction *redoAction = nullptr;

    QTableView *table = nullptr;
    QPushButton *addButton = nullptr;
    QPushButton *removeButton = nullptr;
    QPushButton *upButton = nullptr;
    QPushButton *downButton = nullptr;
    QPushButton *duplicateButton = nullptr;
    QPushButton *undoButton = nullptr;
    QPushButton *redoButton = nullptr;
    QPushButton *goButton = nullptr;
    QDoubleSpinBox *fromBox = nullptr;
    QDoubleSpinBox *toBox = nullptr;
    QSpinBox *countBox = nullptr;
    QSpinBox *dwellBox = nullptr;
    QCheckBox *comeBackBox = nullptr;
    QPushButton *generateButton = nullptr;
    QSpinBox *repeatBox = nullptr;
    QCheckBox *backAndForthBox = nullptr;
    QDoubleSpinBox *toleranceBox = nullptr;
    QSpinBox *timeoutBox = nullptr;
    QPushButton *runButton = nullptr;
    QPushButton *pauseButton = nullptr;
    QPushButton *abortButton = nullptr;
    QPushButton *retryButton = nullptr;
    QPushButton *skipButton = nullptr;
    QPushButton *openButton = nullptr;
    QPushButton *saveButton = nullptr;
    QPushButton *exportButton = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *progressLabel = nullptr;
    QLabel *messageLabel = nullptr;
};
