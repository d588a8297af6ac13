#include "app/Unit2.h"

#include "app/ActivityIndicator.h"
#include "app/ProgressText.h"
#include "app/QtHostThread.h"
#include "app/Style.h"
#include "app/WindowInstallHost.h"
#include "platform/ProductVersion.h"
#include "platform/SystemFolders.h"
#include "registry/ProductRecords.h"
#include "registry/RegistryStore.h"
#include "server/Downloader.h"
#include "server/HttpClient.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <exception>

#include <climits>
#include <functional>

namespace {

QString FromStd(const std::string& AText) {
    return QString::fromStdString(AText);
}

QLabel* NewLabel(QWidget* AParent, const char* AName, const QString& AText) {
    auto* Label = new QLabel(AText, AParent);
    Label->setObjectName(QLatin1String(AName));
    // Messages such as "<ERROR> ..." must not be taken for markup.
    Label->setTextFormat(Qt::PlainText);
    return Label;
}

QPushButton* NewButton(QWidget* AParent, const char* AName, const QString& AText) {
    auto* Button = new QPushButton(AText, AParent);
    Button->setObjectName(QLatin1String(AName));
    return Button;
}

void SetFontSize(QWidget* AWidget, int APointSize) {
    QFont Font = AWidget->font();
    Font.setPointSize(APointSize);
    AWidget->setFont(Font);
}

void SetWhite(QWidget* AWidget) {
    AWidget->setStyleSheet(QStringLiteral("color: #ffffff;"));
}

// Adds AWidget to a top-down stack with a fixed height and a gap above it.
void Stack(QVBoxLayout* ALayout, QWidget* AWidget, int AHeight, int ATopMargin = 0) {
    if (ATopMargin > 0)
        ALayout->addSpacing(ATopMargin);
    AWidget->setFixedHeight(AHeight);
    ALayout->addWidget(AWidget);
}

// Like Stack, with a left margin of ALeftMargin; ACaption, when given, sits in
// that margin.
void StackIndented(QVBoxLayout* ALayout, QWidget* AWidget, int AHeight, int ATopMargin,
                   int ALeftMargin, QLabel* ACaption = nullptr) {
    if (ATopMargin > 0)
        ALayout->addSpacing(ATopMargin);
    auto* Row = new QHBoxLayout;
    Row->setContentsMargins(0, 0, 0, 0);
    Row->setSpacing(0);
    if (ACaption) {
        ACaption->setFixedSize(105, AHeight);
        Row->addWidget(ACaption);
        Row->addSpacing(ALeftMargin - 105);
    } else {
        Row->addSpacing(ALeftMargin);
    }
    AWidget->setFixedHeight(AHeight);
    Row->addWidget(AWidget);
    ALayout->addLayout(Row);
}

// A fixed-width group centred on its page, controls stacked from the top.
QVBoxLayout* CenteredGroup(QWidget* APage, const char* AName, int AWidth, int AHeight) {
    auto* Group = new QWidget(APage);
    Group->setObjectName(QLatin1String(AName));
    Group->setFixedWidth(AWidth);
    Group->setMinimumHeight(AHeight);
    auto* PageLayout = new QGridLayout(APage);
    PageLayout->setContentsMargins(0, 0, 0, 0);
    PageLayout->addWidget(Group, 0, 0, Qt::AlignCenter);
    auto* Layout = new QVBoxLayout(Group);
    Layout->setContentsMargins(0, 0, 0, 0);
    Layout->setSpacing(0);
    return Layout;
}

QIcon PaintedIcon(const std::function<void(QPainter&)>& APaint) {
    QPixmap Pixmap(40, 40);
    Pixmap.fill(Qt::transparent);
    QPainter Painter(&Pixmap);
    Painter.setRenderHint(QPainter::Antialiasing);
    APaint(Painter);
    Painter.end();
    return QIcon(Pixmap);
}

QIcon EllipsisIcon() {
    return PaintedIcon([](QPainter& APainter) {
        APainter.setPen(Qt::NoPen);
        APainter.setBrush(QColor(0xe4, 0xe9, 0xee));
        for (int X : {8, 20, 32})
            APainter.drawEllipse(QPointF(X, 24), 3.5, 3.5);
    });
}

QIcon EyeIcon(bool AOpen) {
    return PaintedIcon([AOpen](QPainter& APainter) {
        QPen Pen(QColor(0xe4, 0xe9, 0xee), 3);
        APainter.setPen(Pen);
        APainter.setBrush(Qt::NoBrush);
        QPainterPath Lid;
        Lid.moveTo(4, 20);
        Lid.quadTo(20, 4, 36, 20);
        Lid.quadTo(20, 36, 4, 20);
        APainter.drawPath(Lid);
        APainter.setBrush(QColor(0xe4, 0xe9, 0xee));
        APainter.drawEllipse(QPointF(20, 20), 5, 5);
        if (!AOpen)
            APainter.drawLine(QPointF(6, 34), QPointF(34, 6));
    });
}

// A read-only directory field with its ellipsis button inside.
QLineEdit* NewDirectoryEdit(QWidget* AParent, const char* AName, const QString& AText,
                            const char* AButtonName, QAction*& AButton) {
    auto* Edit = new QLineEdit(AText, AParent);
    Edit->setObjectName(QString::fromLatin1(AName));
    Edit->setReadOnly(true);
    AButton = new QAction(EllipsisIcon(), QStringLiteral("Browse ..."), Edit);
    AButton->setObjectName(QString::fromLatin1(AButtonName));
    Edit->addAction(AButton, QLineEdit::TrailingPosition);
    return Edit;
}

} // namespace

TForm2::TForm2(TForm2Options AOptions, QWidget* AParent)
    : QMainWindow(AParent), FOptions(std::move(AOptions)) {
    FDialogs = FOptions.Dialogs ? FOptions.Dialogs : std::make_shared<TQtDialogService>();
    FRegistryStore =
        FOptions.RegistryStore ? FOptions.RegistryStore : orvane::OpenDefaultRegistryStore();
    // Downloads deliver to the GUI thread also where no installer application
    // object set it up (the screenshot tool).
    if (!orvane::DefaultHostThread()) {
        UseQtHostThread();
    }
    FInstallHost = std::make_shared<TWindowInstallHost>(*this);
    // Transfer threads send these lines: they reach the log on the GUI thread.
    FHttpLog = std::make_unique<orvane::TScopedHttpLog>(
        [LHost = std::weak_ptr<TWindowInstallHost>(FInstallHost)](const std::string& ALine) {
            if (const auto LLive = LHost.lock()) {
                LLive->Post([LLive, ALine] { LLive->Log(ALine); });
            }
        });
    CreateControls();
    FormCreate();
}

TForm2::~TForm2() = default;

void TForm2::StartTransferText() {
    if (!FTransferMeter) {
        FTransferMeter = std::make_unique<TTransferMeter>();
    }
    FTransferMeter->Start(TTransferMeter::TClock::now());
    TransferLabel->clear();
}

void TForm2::ShowTransferProgress(std::int64_t AReceived, std::int64_t ATotal, bool AFinal) {
    if (!FTransferMeter) {
        StartTransferText();
    }
    if (const auto LText =
            FTransferMeter->Sample(AReceived, ATotal, TTransferMeter::TClock::now(), AFinal)) {
        TransferLabel->setText(QString::fromStdString(*LText));
    }
}

void TForm2::CreateControls() {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Orvane Installation"));
    setStyleSheet(OrvaneStyleSheet());
    setWindowIcon(QIcon(OrvaneLogo(64)));

    auto* Central = new QWidget(this);
    Central->setObjectName(QStringLiteral("Client"));
    setCentralWidget(Central);
    auto* CentralLayout = new QVBoxLayout(Central);
    CentralLayout->setContentsMargins(0, 0, 0, 0);
    CentralLayout->setSpacing(0);

    TabControl1 = new QTabWidget(Central);
    TabControl1->setObjectName(QStringLiteral("TabControl1"));
    TabControl1->setTabPosition(QTabWidget::North);
    TabControl1->setDocumentMode(false);
    TabControl1->tabBar()->setExpanding(false);
    TabControl1->tabBar()->setUsesScrollButtons(false);
    CentralLayout->addWidget(TabControl1, 1);

    FooterLabel =
        NewLabel(Central, "FooterLabel",
                 QStringLiteral("Orvane component framework \u2014 installs, registers and "
                                "removes Orvane in your Delphi and C++Builder IDEs"));
    FooterLabel->setAlignment(Qt::AlignCenter);
    FooterLabel->setFixedHeight(32);
    SetFontSize(FooterLabel, 10);
    CentralLayout->addWidget(FooterLabel);
    CentralLayout->addSpacing(16);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(40);
    StatusBar1->setSizeGripEnabled(true);
    setStatusBar(StatusBar1);
    StatusLabel = NewLabel(StatusBar1, "StatusLabel", QString());
    StatusLabel->setContentsMargins(16, 4, 16, 4);
    StatusBar1->addWidget(StatusLabel, 1);

    auto NewPage = [this](const char* AName, const QString& AText) {
        auto* Page = new QWidget;
        Page->setObjectName(QLatin1String(AName));
        TabControl1->addTab(Page, AText);
        return Page;
    };
    TbItm_Welcome = NewPage("TbItm_Welcome", QStringLiteral("Welcome"));
    TbItm_Credentials = NewPage("TbItm_Credentials", QStringLiteral("Credentials"));
    TbItm_Versions = NewPage("TbItm_Versions", QStringLiteral("Versions"));
    TbItm_Install = NewPage("TbItm_Install", QStringLiteral("Install"));
    TbItm_Completed = NewPage("TbItm_Completed", QStringLiteral("Done"));

    // Welcome
    {
        auto* Group = CenteredGroup(TbItm_Welcome, "WelcomeGroup", 256, 512);
        QWidget* Parent = Group->parentWidget();
        Image1 = NewLabel(Parent, "Image1", QString());
        Image1->setAlignment(Qt::AlignCenter);
        Image1->setPixmap(OrvaneLogo(201, devicePixelRatioF()));
        Stack(Group, Image1, 201);
        Label7 = NewLabel(Parent, "Label7",
                          QStringLiteral("Please select the edition to be installed ..."));
        Label7->setAlignment(Qt::AlignCenter);
        Label7->setWordWrap(true);
        SetFontSize(Label7, 13);
        Stack(Group, Label7, 48);
        DeveloperButton = NewButton(Parent, "DeveloperButton", QStringLiteral("Developer Edition"));
        Stack(Group, DeveloperButton, 40, 16);
        CommercialButton =
            NewButton(Parent, "CommercialButton", QStringLiteral("Commercial Edition"));
        Stack(Group, CommercialButton, 40, 16);
        Group->addSpacing(8);
        InstalledVersions = NewLabel(Parent, "InstalledVersions", QString());
        InstalledVersions->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        InstalledVersions->setWordWrap(true);
        SetFontSize(InstalledVersions, 8);
        InstalledVersions->setMinimumHeight(0);
        Group->addWidget(InstalledVersions, 1);
        UninstallButton = NewButton(Parent, "UninstallButton", QStringLiteral("Uninstall"));
        Stack(Group, UninstallButton, 40, 16);
        Parent->setFixedHeight(512);
        // Below the group, shown only by CheckSessionAccount.
        AccountWarningLabel = NewLabel(TbItm_Welcome, "AccountWarningLabel", QString());
        AccountWarningLabel->setAlignment(Qt::AlignCenter);
        AccountWarningLabel->setWordWrap(true);
        AccountWarningLabel->setFixedWidth(880);
        AccountWarningLabel->setStyleSheet(QStringLiteral("color: #ffb347;"));
        AccountWarningLabel->setVisible(false);
        static_cast<QGridLayout*>(TbItm_Welcome->layout())
            ->addWidget(AccountWarningLabel, 1, 0, Qt::AlignHCenter);
    }

    // Credentials
    {
        auto* Group = CenteredGroup(TbItm_Credentials, "CredentialsGroup", 380, 289);
        QWidget* Parent = Group->parentWidget();
        Label8 = NewLabel(Parent, "Label8",
                          QStringLiteral("Please type in your credentials, you have received after "
                                         "purchasing Orvane ..."));
        Label8->setAlignment(Qt::AlignCenter);
        Label8->setWordWrap(true);
        SetFontSize(Label8, 13);
        Stack(Group, Label8, 64);
        Label5 = NewLabel(Parent, "Label5", QStringLiteral("E-Mail"));
        Edt_User = new QLineEdit(Parent);
        Edt_User->setObjectName(QStringLiteral("Edt_User"));
        StackIndented(Group, Edt_User, 32, 0, 128, Label5);
        Label6 = NewLabel(Parent, "Label6", QStringLiteral("Password"));
        Edt_Password = new QLineEdit(Parent);
        Edt_Password->setObjectName(QStringLiteral("Edt_Password"));
        Edt_Password->setEchoMode(QLineEdit::Password);
        PasswordEditButton1 =
            new QAction(EyeIcon(true), QStringLiteral("Show password"), Edt_Password);
        PasswordEditButton1->setObjectName(QStringLiteral("PasswordEditButton1"));
        PasswordEditButton1->setCheckable(true);
        Edt_Password->addAction(PasswordEditButton1, QLineEdit::TrailingPosition);
        StackIndented(Group, Edt_Password, 32, 16, 128, Label6);
        LoginButton = NewButton(Parent, "LoginButton", QStringLiteral("Login"));
        StackIndented(Group, LoginButton, 40, 16, 128);
        BackButton = NewButton(Parent, "BackButton", QStringLiteral("Back"));
        BackButton->setIcon(style()->standardIcon(QStyle::SP_ArrowBack));
        StackIndented(Group, BackButton, 50, 16, 128);
        Group->addStretch(1);
        Parent->setFixedHeight(289);
    }

    // Versions
    {
        auto* Group = CenteredGroup(TbItm_Versions, "VersionsGroup", 544, 519);
        QWidget* Parent = Group->parentWidget();
        Label1 = NewLabel(Parent, "Label1", QStringLiteral("Delphi IDE Directory"));
        Stack(Group, Label1, 40);
        Edit1 =
            NewDirectoryEdit(Parent, "Edit1", QString::fromStdString(orvane::DefaultIDEFolder()),
                             "EllipsesEditButton1", EllipsesEditButton1);
        Stack(Group, Edit1, 32);
        Label3 = NewLabel(Parent, "Label3", QStringLiteral("Install Directory"));
        Stack(Group, Label3, 40, 8);
        Edit2 = NewDirectoryEdit(Parent, "Edit2", QStringLiteral("C:\\Temp\\"),
                                 "EllipsesEditButton2", EllipsesEditButton2);
        Stack(Group, Edit2, 32);
        DownloadablePackagesLabel =
            NewLabel(Parent, "DownloadablePackagesLabel", QStringLiteral("Downloadable Packages"));
        Stack(Group, DownloadablePackagesLabel, 40, 8);

        auto* ListCell = new QWidget(Parent);
        ListCell->setObjectName(QStringLiteral("ListCell"));
        auto* ListLayout = new QGridLayout(ListCell);
        ListLayout->setContentsMargins(0, 0, 0, 0);
        ListBox1 = new QListWidget(ListCell);
        ListBox1->setObjectName(QStringLiteral("ListBox1"));
        ListLayout->addWidget(ListBox1, 0, 0);
        // Created after the list so it lies on top of it.
        DownloadVersionsIndicator = new TActivityIndicator(ListCell);
        DownloadVersionsIndicator->setObjectName(QStringLiteral("DownloadVersionsIndicator"));
        DownloadVersionsIndicator->setVisible(false);
        ListLayout->addWidget(DownloadVersionsIndicator, 0, 0);
        Stack(Group, ListCell, 168);

        // The tick box and the red text share one row; the box stays clickable
        // in the margin left of the text.
        auto* TermsRow = new QWidget(Parent);
        TermsRow->setObjectName(QStringLiteral("TermsRow"));
        auto* TermsLayout = new QGridLayout(TermsRow);
        TermsLayout->setContentsMargins(0, 0, 0, 0);
        CheckBox1 = new QCheckBox(TermsRow);
        CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
        CheckBox1->setFixedHeight(48);
        TermsLayout->addWidget(CheckBox1, 0, 0);
        auto* TextLayout = new QHBoxLayout;
        TextLayout->setContentsMargins(48, 0, 0, 0);
        SpeedButton1 =
            NewButton(TermsRow, "SpeedButton1", QStringLiteral("Accept our terms && conditions"));
        SpeedButton1->setFlat(true);
        SpeedButton1->setCursor(Qt::PointingHandCursor);
        SpeedButton1->setFixedHeight(46);
        TextLayout->addWidget(SpeedButton1);
        TermsLayout->addLayout(TextLayout, 0, 0, Qt::AlignVCenter);
        Stack(Group, TermsRow, 48, 8);

        InstallButton = NewButton(Parent, "InstallButton", QStringLiteral("Install"));
        Stack(Group, InstallButton, 40, 16);
        InstallBackButton = NewButton(Parent, "InstallBackButton", QStringLiteral("Back"));
        InstallBackButton->setIcon(style()->standardIcon(QStyle::SP_ArrowBack));
        Stack(Group, InstallBackButton, 50, 8);
        Group->addStretch(1);
    }

    // Install
    {
        auto* Layout = new QVBoxLayout(TbItm_Install);
        Layout->setContentsMargins(0, 0, 0, 0);
        Layout->setSpacing(0);
        ProgressLabel = NewLabel(TbItm_Install, "ProgressLabel", QStringLiteral("..."));
        ProgressLabel->setAlignment(Qt::AlignCenter);
        ProgressLabel->setWordWrap(true);
        ProgressLabel->setContentsMargins(16, 16, 16, 16);
        SetFontSize(ProgressLabel, 14);
        SetWhite(ProgressLabel);
        Layout->addWidget(ProgressLabel, 1);
        TransferLabel = NewLabel(TbItm_Install, "TransferLabel", QString());
        TransferLabel->setAlignment(Qt::AlignCenter);
        TransferLabel->setContentsMargins(16, 0, 16, 0);
        SetFontSize(TransferLabel, 11);
        SetWhite(TransferLabel);
        Layout->addWidget(TransferLabel);
        ProgressBar = new QProgressBar(TbItm_Install);
        ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
        ProgressBar->setOrientation(Qt::Horizontal);
        ProgressBar->setRange(0, 100);
        ProgressBar->setValue(0);
        ProgressBar->setFixedHeight(40);
        auto* BarRow = new QHBoxLayout;
        BarRow->setContentsMargins(16, 16, 16, 32);
        BarRow->addWidget(ProgressBar);
        Layout->addLayout(BarRow);
    }

    // Done
    {
        // The text sits above the Close button and grows upwards, so a failure
        // summary of several versions never runs under the button; the button
        // stays a little below the page's centre.
        auto* Layout = new QVBoxLayout(TbItm_Completed);
        Layout->setContentsMargins(16, 16, 16, 16);
        Layout->setSpacing(0);
        Label4 =
            NewLabel(TbItm_Completed, "Label4",
                     QStringLiteral("Thank you for installing Orvane! You can now start working!"));
        Label4->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
        Label4->setWordWrap(true);
        SetFontSize(Label4, 14);
        SetWhite(Label4);
        Layout->addWidget(Label4, 3);
        BackupsLabel = NewLabel(TbItm_Completed, "BackupsLabel", QString());
        BackupsLabel->setAlignment(Qt::AlignHCenter);
        BackupsLabel->setWordWrap(true);
        BackupsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
        SetWhite(BackupsLabel);
        BackupsLabel->hide();
        Layout->addSpacing(12);
        Layout->addWidget(BackupsLabel);
        Layout->addSpacing(12);
        FinishButton = NewButton(TbItm_Completed, "FinishButton", QStringLiteral("Close"));
        FinishButton->setFixedSize(268, 40);
        Layout->addWidget(FinishButton, 0, Qt::AlignHCenter);
        Layout->addStretch(2);
    }

    // Every handler runs through RunHandler, which reports a failure the
    // handler lets escape.
    const auto Handle = [this](auto* ASender, auto ASignal, void (TForm2::*AHandler)()) {
        connect(ASender, ASignal, this, [this, AHandler] { RunHandler(AHandler); });
    };
    Handle(DeveloperButton, &QPushButton::clicked, &TForm2::DeveloperButtonClick);
    Handle(CommercialButton, &QPushButton::clicked, &TForm2::CommercialButtonClick);
    Handle(UninstallButton, &QPushButton::clicked, &TForm2::UninstallButtonClick);
    Handle(LoginButton, &QPushButton::clicked, &TForm2::LoginButtonClick);
    Handle(BackButton, &QPushButton::clicked, &TForm2::BackButtonClick);
    Handle(InstallBackButton, &QPushButton::clicked, &TForm2::BackButtonClick);
    Handle(InstallButton, &QPushButton::clicked, &TForm2::InstallButtonClick);
    Handle(SpeedButton1, &QPushButton::clicked, &TForm2::SpeedButton1Click);
    Handle(FinishButton, &QPushButton::clicked, &TForm2::FinishButtonClick);
    Handle(EllipsesEditButton1, &QAction::triggered, &TForm2::EllipsesEditButton1Click);
    Handle(EllipsesEditButton2, &QAction::triggered, &TForm2::EllipsesEditButton2Click);
    connect(PasswordEditButton1, &QAction::toggled, this, [this](bool AShown) {
        Edt_Password->setEchoMode(AShown ? QLineEdit::Normal : QLineEdit::Password);
        PasswordEditButton1->setIcon(EyeIcon(!AShown));
        PasswordEditButton1->setText(AShown ? QStringLiteral("Hide password")
                                            : QStringLiteral("Show password"));
    });

    for (int I = 1; I < TabControl1->count(); ++I)
        TabControl1->setTabEnabled(I, false);

    // The client area is 1280 x 800; the status bar is part of it.
    resize(1280, 800);
    setMinimumSize(1024, 640);
    if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
        QRect Frame(QPoint(0, 0), size());
        Frame.moveCenter(Screen->availableGeometry().center());
        move(Frame.topLeft());
    }
}

void TForm2::FormCreate() {
    RecoverInterruptedInstallations();
    RefreshInstalledVersions();
    CheckSessionAccount();
}

void TForm2::RefreshInstalledVersions() {
    if (const auto Version = orvane::GetProductVersion())
        setWindowTitle(QString::asprintf("Orvane Installer %u.%u.%u", Version->Major,
                                         Version->Minor, Version->Build));
    SwitchPage(wpWelcome);
    raise();
    activateWindow();
    InstalledVersions->setText(QStringLiteral("Installed Versions:\r\n"));
    // When the records cannot be read at all, no list is left behind: the old
    // one may offer versions that are gone.
    FInstalledVersions.clear();
    try {
        FInstalledVersions = orvane::ReadInstalledVersions(RegistryStore());
    } catch (const std::exception& AError) {
        InstalledVersions->setText(InstalledVersions->text() +
                                   QStringLiteral("The installation records cannot be read: %1\r\n")
                                       .arg(QString::fromUtf8(AError.what())));
    }
    for (const orvane::TOrvaneRegistryData& Data : FInstalledVersions) {
        const QString Line =
            Data.ReadError.empty()
                ? QStringLiteral("%1 @ %2 (%3) %4 [%5]\r\n")
                      .arg(FromStd(Data.Version), FromStd(Data.IDEVersion), FromStd(Data.DateTime),
                           FromStd(Data.License), FromStd(Data.PackageType))
                : QStringLiteral("%1: the record cannot be read (%2)\r\n")
                      .arg(FromStd(Data.IDEVersion), FromStd(Data.ReadError));
        InstalledVersions->setText(InstalledVersions->text() + Line);
    }
    UninstallButton->setEnabled(!FInstalledVersions.empty());
}

void TForm2::SwitchPage(TWizardPage APage) {
    const int Index = APage > wpDone ? int(wpDone) : int(APage);
    // Enable the target first so the tab bar never has to pick another tab.
    TabControl1->setTabEnabled(Index, true);
    for (int I = 0; I < TabControl1->count(); ++I)
        if (I != Index)
            TabControl1->setTabEnabled(I, false);
    TabControl1->setCurrentIndex(Index);
    if (Index == wpVersions) {
        SetDefaultIDEDir();
        SetDefaultDownloadDir();
    }
    QCoreApplication::processEvents();
}

void TForm2::DeveloperButtonClick() {
    FCredentials.Mode = orvane::imDeveloper;
    FCredentials.Username.clear();
    FCredentials.Password.clear();
    FCredentials.Package = "DEVELOPER";
    SwitchPage(wpVersions);
    DownloadConfiguration();
}

void TForm2::CommercialButtonClick() {
    FCredentials.Mode = orvane::imCommercial;
    FCredentials.Username.clear();
    FCredentials.Password.clear();
    FCredentials.Package = "GAMEPACKAGE";
    SwitchPage(wpCredentials);
}

void TForm2::LoginButtonClick() {
    FCredentials.Mode = orvane::imCommercial;
    FCredentials.Username = Edt_User->text().toStdString();
    FCredentials.Password = Edt_Password->text().toStdString();
    Edt_Password->clear();
    SwitchPage(wpVersions);
    DownloadConfiguration();
}

void TForm2::BackButtonClick() {
    SwitchPage(wpWelcome);
}

void TForm2::SpeedButton1Click() {
    if (FTermsDialog)
        Dialogs().ExecDialog(*FTermsDialog);
}

namespace {

// A picked folder as the edits show it: native separators, one trailing separator.
QString AsDirectoryText(const QString& AFolder) {
    QString Text = QDir::toNativeSeparators(AFolder);
    if (!Text.endsWith(QDir::separator()))
        Text += QDir::separator();
    return Text;
}

} // namespace

void TForm2::EllipsesEditButton1Click() {
    if (const auto Folder = Dialogs().SelectFolder(
            this, QStringLiteral("Please select your IDE installation directory ...")))
        Edit1->setText(AsDirectoryText(*Folder));
}

void TForm2::EllipsesEditButton2Click() {
    if (const auto Folder = Dialogs().SelectFolder(
            this, QStringLiteral("Please select your temporary download directory ...")))
        Edit2->setText(AsDirectoryText(*Folder));
}

void TForm2::FinishButtonClick() {
    close();
    QCoreApplication::quit();
}

void TForm2::RunHandler(void (TForm2::*AHandler)()) {
    // The handlers catch nothing themselves: a failure ends the handler where
    // it happened and is shown as a warning, and the wizard stays on the page
    // it was on. Letting it unwind through Qt's event dispatch would end the
    // program.
    try {
        (this->*AHandler)();
    } catch (const std::exception& AError) {
        ShowWarning(QString::fromUtf8(AError.what()));
    }
}

void TForm2::ShowWarning(const QString& AMessage) {
    Dialogs().Warning(this, AMessage);
}

void TForm2::ShowInfo(const QString& AMessage) {
    Dialogs().Warning(this, AMessage);
}

bool TForm2::Confirmation(const QString& AMessage) {
    return Dialogs().ConfirmationQuestion(this, AMessage) == mrYes;
}

namespace {

// Byte counts above the bar's int range are divided down by this factor.
std::int64_t ProgressDivisor(std::int64_t AMax) {
    return AMax > INT_MAX ? AMax / INT_MAX + 1 : 1;
}

} // namespace

void TForm2::SetProgressRange(std::int64_t AMax) {
    FProgressMax = AMax < 0 ? 0 : AMax;
    ProgressBar->setRange(0, int(FProgressMax / ProgressDivisor(FProgressMax)));
}

void TForm2::SetProgressValue(std::int64_t AValue) {
    const std::int64_t Clamped = AValue < 0 ? 0 : (AValue > FProgressMax ? FProgressMax : AValue);
    ProgressBar->setValue(int(Clamped / ProgressDivisor(FProgressMax)));
}

std::filesystem::path TForm2::ExeDir() const {
    if (!FOptions.ExeDir.empty())
        return FOptions.ExeDir;
    return std::filesystem::path(QCoreApplication::applicationDirPath().toStdU16String());
}

void TForm2::closeEvent(QCloseEvent* AEvent) {
    FClosing = true;
    FInstallHost->Cancellation().Cancel("the window was closed");
    // A running transfer ends through its error path now, while its handlers
    // can still reach this window.
    orvane::TDownloader::AbortAll();
    QMainWindow::closeEvent(AEvent);
}
