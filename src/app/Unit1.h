#pragma once

#include <QDialog>
#include <QRect>
#include <QSize>

class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QWidget;
class TForm2;

// The terms dialog: the licence terms and the refund policy on two tabs.
// Created once and kept hidden between showings, so the selected tab and the
// scroll positions stay where the user left them. "I Accept" ticks the main
// window's CheckBox1; nothing here ever unticks it.
class TForm1 : public QDialog {
    Q_OBJECT

public:
    // Child of AMainForm, so the main window's style sheet applies here too.
    explicit TForm1(TForm2* AMainForm);

    void Button1Click();

    // Closing through the title bar or Escape reports Cancel, as "I Deny" does.
    void reject() override;

    // The client rectangle of AClientSize centred in AAvailable (the screen's
    // free area), shrunk where it does not fit so both buttons stay reachable.
    static QRect CentredGeometry(QSize AClientSize, const QRect& AAvailable);

    // Controls, named as in the dialog's layout
    QTabWidget* TabControl1 = nullptr;
    QWidget* TabItem1 = nullptr;
    QWidget* TabItem2 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;

private:
    TForm2* FMainForm;
};
