#include "app/Unit1.h"
#include "app/Unit2.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication App(argc, argv);
    TForm2 Form2;
    Form2.show();
    // Created once and kept hidden, so the terms keep their tab and scroll
    // position between showings.
    TForm1 Form1(&Form2);
    Form2.SetTermsDialog(&Form1);
    return QApplication::exec();
}
