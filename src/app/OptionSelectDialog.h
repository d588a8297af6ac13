#pragma once

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QCheckBox;
class QPushButton;
class TDialogService;

// Called once the dialog closes, whatever the result: the modal result (mrOk,
// mrCancel) and the values of the options left ticked, last option first.
using TMultipleOptionSelectDialogProc =
    std::function<void(int AModalResult, const QStringList& AValues)>;

// A modal list of ticked check boxes with OK and Cancel, built in code. Each
// option text has a parallel value that is returned instead of the text.
class TMultipleOptionSelectDialog : public QDialog {
    Q_OBJECT

public:
    // Shows the dialog modally through ADialogs.ExecDialog (the one seam tests
    // script), then calls AProc with the result. Throws std::runtime_error before
    // any window exists when AOptions and AValues differ in length.
    static void Execute(TDialogService& ADialogs, const QString& ATitle,
                        const QStringList& AOptions, const QStringList& AValues,
                        const TMultipleOptionSelectDialogProc& AProc);

    // Closing through the title bar or Escape reports Cancel, as the Cancel
    // button does.
    void reject() override;

private:
    TMultipleOptionSelectDialog();

    void CreateControls(const QString& ATitle);
    QStringList GetCheckedValues() const;

    QStringList FOptions;
    QStringList FValues;
    // Creation order, the reverse of the option order: entry k belongs to
    // option count - 1 - k.
    QList<QCheckBox*> FCheckBoxes;
    QPushButton* FBtnOK = nullptr;
    QPushButton* FBtnAbort = nullptr;
};
