#include "app/OptionSelectDialog.h"

#include "app/DialogService.h"
#include "app/Style.h"

#include <QCheckBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <stdexcept>

namespace {

constexpr int RowHeight = 32;
constexpr int RowMargin = 4;
constexpr int MinSide = 240;

// Option texts are shown as they are, so an ampersand is not a mnemonic.
QString Literal(QString AText) {
    return AText.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

} // namespace

TMultipleOptionSelectDialog::TMultipleOptionSelectDialog() : QDialog(nullptr) {}

void TMultipleOptionSelectDialog::Execute(TDialogService& ADialogs, const QString& ATitle,
                                          const QStringList& AOptions, const QStringList& AValues,
                                          const TMultipleOptionSelectDialogProc& AProc) {
    if (AOptions.size() != AValues.size())
        throw std::runtime_error(
            "Failed to execute TOptionSelectDialog - Options and values of different size!");
    TMultipleOptionSelectDialog Dialog;
    Dialog.FOptions = AOptions;
    Dialog.FValues = AValues;
    Dialog.CreateControls(ATitle);
    const int Result = ADialogs.ExecDialog(Dialog);
    if (AProc)
        AProc(Result, Dialog.GetCheckedValues());
}

void TMultipleOptionSelectDialog::reject() {
    done(mrCancel);
}

void TMultipleOptionSelectDialog::CreateControls(const QString& ATitle) {
    setWindowTitle(ATitle);
    // Without an owner nothing would cascade the installer's look onto it.
    setStyleSheet(OrvaneStyleSheet());
    FCheckBoxes.clear();

    // Every control goes on top of those made before it, so creating Cancel, OK
    // and then the options from the last one up shows the options in order with
    // OK and Cancel below them.
    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(RowMargin, RowMargin, RowMargin, RowMargin);
    Layout->setSpacing(2 * RowMargin);
    Layout->addStretch();

    auto MakeButton = [&](const QString& AText, int AModalResult) {
        auto* Button = new QPushButton(AText, this);
        Button->setFixedHeight(RowHeight);
        Button->setAutoDefault(false);
        Button->setDefault(false);
        connect(Button, &QPushButton::clicked, this, [this, AModalResult] { done(AModalResult); });
        Layout->insertWidget(0, Button);
        return Button;
    };
    FBtnAbort = MakeButton(QStringLiteral("&Cancel"), mrCancel);
    FBtnAbort->setObjectName(QStringLiteral("FBtnAbort"));
    FBtnOK = MakeButton(QStringLiteral("&OK"), mrOk);
    FBtnOK->setObjectName(QStringLiteral("FBtnOK"));

    for (qsizetype I = FOptions.size() - 1; I >= 0; --I) {
        auto* Box = new QCheckBox(Literal(FOptions[I]), this);
        Box->setFixedHeight(RowHeight);
        Box->setChecked(true);
        Layout->insertWidget(0, Box);
        FCheckBoxes.append(Box);
    }

    // A fixed 240 x 240 would hide OK and Cancel below the edge from five options
    // on; grow with the rows instead.
    const int Rows = int(FCheckBoxes.size()) + 2;
    resize(MinSide, std::max(MinSide, Rows * (RowHeight + 2 * RowMargin)));
}

QStringList TMultipleOptionSelectDialog::GetCheckedValues() const {
    QStringList Result;
    const qsizetype Count = FCheckBoxes.size();
    for (qsizetype K = 0; K < Count; ++K)
        if (FCheckBoxes[K]->isChecked())
            Result << FValues[Count - 1 - K];
    return Result;
}
