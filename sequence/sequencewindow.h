#pragma once

#include "sequencerunner.h"

#include <QWidget>

class QCheckBox;
class QDoubleSpinBox;
class QLabel;
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
    void build();
    void chooseOpen();
    void chooseSave();
    void chooseExport();
    void run();
    void goToSelected();
    void generate();
    void onProgress();
    void onTimedOut(int row, const QString &message);
    void onFinished(const SequenceLog &log, const QString &error);
    void updateControls();
    void showMessage(const QString &text, bool problem);
    int selectedRow() const;
    void selectRow(int row);

    SequenceRunner *runner = nullptr;
    SequenceModel *steps = nullptr;
    bool ownRun = false;
    int highlighted = -1;
    QTimer *refresh = nullptr;

    QTableView *table = nullptr;
    QPushButton *addButton = nullptr;
    QPushButton *removeButton = nullptr;
    QPushButton *upButton = nullptr;
    QPushButton *downButton = nullptr;
    QPushButton *duplicateButton = nullptr;
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
