#include "app/Unit1.h"

#include "app/DialogService.h"
#include "app/Unit2.h"

#include <QCheckBox>
#include <QFile>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

// The texts are resources of a static library: nothing would pull them in
// without this explicit reference, which must stand outside any namespace.
static void InitTermsResources() {
    static const bool Initialised = [] {
        Q_INIT_RESOURCE(terms);
        return true;
    }();
    (void)Initialised;
}

namespace {

constexpr int ClientWidth = 640;
constexpr int ClientHeight = 920;
constexpr int Margin = 16;
constexpr int ButtonHeight = 40;
constexpr int TabHeight = 30;
// Room kept for the title bar when the dialog has to shrink to the screen.
constexpr int TitleBarAllowance = 32;

QString ResourceText(const QString& APath) {
    InitTermsResources();
    QFile File(APath);
    if (!File.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(File.readAll());
}

// Tabs of a fixed height whatever borders and padding the style sheet gives them.
class TFixedHeightTabBar : public QTabBar {
public:
    using QTabBar::QTabBar;

protected:
    QSize tabSizeHint(int AIndex) const override {
        return QSize(QTabBar::tabSizeHint(AIndex).width(), TabHeight);
    }
};

class TTermsTabWidget : public QTabWidget {
public:
    explicit TTermsTabWidget(QWidget* AParent) : QTabWidget(AParent) {
        setTabBar(new TFixedHeightTabBar(this));
    }
};

QPlainTextEdit* AddMemo(QWidget* ATab, const QString& AName, const QString& AText) {
    auto* Layout = new QVBoxLayout(ATab);
    Layout->setContentsMargins(Margin, Margin, Margin, Margin);
    auto* Memo = new QPlainTextEdit(ATab);
    Memo->setObjectName(AName);
    Memo->setReadOnly(true);
    Memo->setPlainText(AText);
    Layout->addWidget(Memo);
    return Memo;
}

} // namespace

TForm1::TForm1(TForm2* AMainForm) : QDialog(AMainForm), FMainForm(AMainForm) {
    setObjectName(QStringLiteral("Form1"));
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Orvane - Terms & Conditions"));

    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(0, 0, 0, 0);
    Layout->setSpacing(0);

    TabControl1 = new TTermsTabWidget(this);
    TabControl1->setObjectName(QStringLiteral("TabControl1"));
    TabItem1 = new QWidget(TabControl1);
    TabItem1->setObjectName(QStringLiteral("TabItem1"));
    Memo1 = AddMemo(TabItem1, QStringLiteral("Memo1"),
                    ResourceText(QStringLiteral(":/orvane/terms/terms.txt")));
    TabItem2 = new QWidget(TabControl1);
    TabItem2->setObjectName(QStringLiteral("TabItem2"));
    Memo2 = AddMemo(TabItem2, QStringLiteral("Memo2"),
                    ResourceText(QStringLiteral(":/orvane/terms/refund.txt")));
    TabControl1->addTab(TabItem1, QStringLiteral("Terms And Conditions"));
    TabControl1->addTab(TabItem2, QStringLiteral("Refund Policy"));
    TabControl1->setCurrentIndex(0);
    Layout->addWidget(TabControl1, 1);

    auto* Buttons = new QVBoxLayout;
    Buttons->setContentsMargins(Margin, 0, Margin, Margin);
    Buttons->setSpacing(Margin);
    Button1 = new QPushButton(QStringLiteral("I Accept"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setFixedHeight(ButtonHeight);
    Button2 = new QPushButton(QStringLiteral("I Deny"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setFixedHeight(ButtonHeight);
    // Consent takes a click: neither button answers Enter, wherever the focus
    // is. Escape still closes the dialog like "I Deny" (reject).
    for (QPushButton* Button : {Button1, Button2}) {
        Button->setAutoDefault(false);
        Button->setDefault(false);
    }
    Buttons->addWidget(Button1);
    Buttons->addWidget(Button2);
    Layout->addLayout(Buttons);

    connect(Button1, &QPushButton::clicked, this, [this] {
        Button1Click();
        done(mrOk);
    });
    connect(Button2, &QPushButton::clicked, this, [this] { done(mrCancel); });

    const QScreen* Screen =
        AMainForm != nullptr ? AMainForm->screen() : QGuiApplication::primaryScreen();
    setGeometry(CentredGeometry(QSize(ClientWidth, ClientHeight), Screen->availableGeometry()));
}

void TForm1::Button1Click() {
    FMainForm->CheckBox1->setChecked(true);
}

void TForm1::reject() {
    done(mrCancel);
}

QRect TForm1::CentredGeometry(QSize AClientSize, const QRect& AAvailable) {
    const int Width = std::min(AClientSize.width(), AAvailable.width());
    const int Height = std::min(AClientSize.height(), AAvailable.height() - TitleBarAllowance);
    const int Left = AAvailable.left() + (AAvailable.width() - Width) / 2;
    const int Top = AAvailable.top() + TitleBarAllowance +
                    (AAvailable.height() - TitleBarAllowance - Height) / 2;
    return QRect(Left, Top, Width, Height);
}
