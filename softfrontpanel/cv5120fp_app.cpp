// The panel window base shared by the soft front panels, the window
// helpers and the reporting of driver statuses.
#include "cv5120fp_app.h"
#include "cv5120fp_led.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QShowEvent>
#include <QStyleFactory>
#include <QVBoxLayout>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cv4870.h"

QString sfpModelName;

const char *const cv5120fp_icon_xpm[] = {
    "16 16 5 1",        "c c #ffffff",      "b c #0000ff",      "# c #808080",      "a c #ff0000",
    ". c None",         "########....aaa.", "#########..aaaaa", "##########.aaaaa", "#########..aaaaa",
    "########....aaa.", "................", ".bbb....########", "bbbbb..#########", "bbbbb.##########",
    "bbbbb..#########", ".bbb....########", "................", "c..cc.cc.c.cc.cc", "cc.cc.c..c.cc.c.",
    "cc.cc..c.c.c..c.", "cc.cc.cc.c.cc.cc",
};

QIcon cv5120fp_windowIcon()
{
    return QIcon(QPixmap(cv5120fp_icon_xpm));
}

QString cv5120fp_boxTitle(const char *ending)
{
    return QStringLiteral("Ostrel ") + sfpModelName + QString::fromLatin1(ending);
}

void centerOnDesktop(QWidget *w)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    if (!w || screens.isEmpty())
        return;
    // A pending layout would still grow the window to its minimum size when
    // it is shown; let it do so now, so the size used here is the shown one.
    if (QLayout *l = w->layout())
        l->activate();
    // Half the difference of the sizes; the origin of the available area
    // is deliberately not added.
    const QRect avail = screens.at(0)->availableGeometry();
    const int width = w->width();
    const int height = w->height();
    w->setGeometry((avail.width() - width) / 2, (avail.height() - height) / 2, width, height);
}

void reportError(const QString &message)
{
    const QMessageBox::StandardButton answer =
        QMessageBox::critical(QApplication::activeWindow(), cv5120fp_boxTitle(" SFP Error message"),
                              message + QStringLiteral("\nDo you want to exit?"), QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        std::exit(0);
}

void reportWarning(const QString &message)
{
    QMessageBox::warning(QApplication::activeWindow(), cv5120fp_boxTitle(" SFP Warning message"), message,
                         QMessageBox::Ok);
}

bool reportDriverStatus(ViStatus status, const char *callText)
{
    if (status == 0)
        return false;

    char text[CV4870_ERROR_MESSAGE_BUFLEN];
    std::memset(text, 0, sizeof text);
    cv4870_error_message(VI_NULL, status, text);
    text[sizeof text - 1] = '\0';

    // The driver's texts are Latin-1.
    const QString driverText = QString::fromLatin1(text);
    if (status < 0)
        reportError(QStringLiteral("%1 failed due to [%2]").arg(QString::fromLatin1(callText), driverText));
    else
        reportWarning(QStringLiteral("Warning: [%1]").arg(driverText));
    return true;
}

// The whole application shares one style; Plastique comes from the style
// plugins and may be missing, in which case Fusion stands in.
static void setApplicationStyle()
{
    QStyle *style = QStyleFactory::create(QStringLiteral("Plastique"));
    if (!style) {
        static bool told = false;
        if (!told) {
            std::fputs("Plastique style not available, using Fusion\n", stderr);
            told = true;
        }
        style = QStyleFactory::create(QStringLiteral("Fusion"));
    }
    if (style)
        QApplication::setStyle(style);
}

cv5120fp_app::cv5120fp_app()
    : QWidget(nullptr, Qt::Window)
{
    setApplicationStyle();

    d_built = false;
    d_aboutButton = nullptr;

    auto *topLayout = new QVBoxLayout;
    auto *headerRow = new QHBoxLayout;
    auto *bodyRow = new QHBoxLayout;
    auto *buttonColumn = new QVBoxLayout;
    d_ledBox = new QVBoxLayout;

    const int h = fontMetrics().height();
    const int half = h >> 1;
    topLayout->setSpacing(h);
    topLayout->setContentsMargins(0, 0, 0, 0);
    headerRow->setSpacing(0);
    bodyRow->setSpacing(h);
    bodyRow->setContentsMargins(half, 0, 0, half);
    buttonColumn->setSpacing(half);
    buttonColumn->setContentsMargins(0, 0, half, half);
    d_ledBox->setSpacing(h);

    topLayout->addLayout(headerRow);
    topLayout->addLayout(bodyRow);

    d_workArea = new QWidget;
    bodyRow->addWidget(d_workArea);
    bodyRow->addLayout(buttonColumn);

    workArea()->setLayout(topLayout);

    setWindowIcon(cv5120fp_windowIcon());

    auto *makerLogo = new QLabel;
    makerLogo->setPixmap(QPixmap(QStringLiteral(":/corvane-logo.bmp")));
    headerRow->addWidget(makerLogo);
    d_header = new QLabel;
    d_header->setStyleSheet(QStringLiteral("QLabel { background-color: #1a2c5e; color: #ffffff; font: bold 20px}"));
    d_header->setAlignment(Qt::AlignCenter);
    d_header->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Minimum);
    headerRow->addWidget(d_header);
    d_vxiLogo = new QLabel;
    d_vxiLogo->setPixmap(QPixmap(QStringLiteral(":/vxi-logo.bmp")));
    headerRow->addWidget(d_vxiLogo);

    auto *ledGroup = new QGroupBox;
    buttonColumn->addWidget(ledGroup);
    ledGroup->setLayout(d_ledBox);

    d_activeLed = new cv5120fp_led(QStringLiteral("Active"), Qt::green, Qt::magenta);
    d_activeLed->setWhatsThis(
        QStringLiteral("Green light means that the Soft Front Panel works\nin Real (not Demo) mode."));
    d_ledBox->addWidget(d_activeLed);

    buttonColumn->addStretch(0);

    d_ponButton = new QPushButton(QStringLiteral("Power On"));
    d_ponButton->setToolTip(QStringLiteral("Swithes ON power of the VXI Mainframe"));
    buttonColumn->addWidget(d_ponButton);
    connect(d_ponButton, &QPushButton::clicked, this, &cv5120fp_app::ponPressed);

    d_poffButton = new QPushButton(QStringLiteral("Power Off"));
    d_poffButton->setToolTip(QStringLiteral("Swithes OFF power of the VXI Mainframe"));
    buttonColumn->addWidget(d_poffButton);
    connect(d_poffButton, &QPushButton::clicked, this, &cv5120fp_app::poffPressed);

    d_sysResetButton = new QPushButton(QStringLiteral("SysReset"));
    d_sysResetButton->setToolTip(QStringLiteral("Asserts SysReset line on VXI Backplane"));
    buttonColumn->addWidget(d_sysResetButton);
    connect(d_sysResetButton, &QPushButton::clicked, this, &cv5120fp_app::sysResetPressed);

    buttonColumn->addStretch(0);

    d_resetButton = new QPushButton(QStringLiteral("HW Reset"));
    d_resetButton->setWhatsThis(QStringLiteral("Hardware reset the VXI Mainframe to the default state"));
    d_resetButton->setToolTip(d_resetButton->whatsThis());
    buttonColumn->addWidget(d_resetButton);
    connect(d_resetButton, &QPushButton::clicked, this, &cv5120fp_app::resetPressed);

    buttonColumn->addStretch(0);

    d_aboutButton = new QPushButton(QStringLiteral("About"));
    d_aboutButton->setWhatsThis(QStringLiteral("Displays \"About\" panel"));
    buttonColumn->addWidget(d_aboutButton);

    d_closeButton = new QPushButton(QStringLiteral("Close"));
    d_closeButton->setWhatsThis(QStringLiteral("Close main panel and terminates program"));
    buttonColumn->addWidget(d_closeButton);
    connect(d_closeButton, &QPushButton::clicked, this, &QWidget::close);

    d_built = true;
    topLayout->setSizeConstraint(QLayout::SetMinimumSize);
    centerOnDesktop(this);
}

cv5120fp_app::~cv5120fp_app() = default;

QWidget *cv5120fp_app::workArea()
{
    return d_built ? d_workArea : this;
}

void cv5120fp_app::closeEvent(QCloseEvent *e)
{
    const QMessageBox::StandardButton answer =
        QMessageBox::question(QApplication::activeWindow(), cv5120fp_boxTitle(" SFP"),
                              QStringLiteral("Do you really want to exit?"), QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        e->accept();
    else
        e->ignore();
}

void cv5120fp_app::showEvent(QShowEvent *e)
{
    // Widgets that a product panel adds to the work area count for the
    // window's size only once they are shown, that is now, just before the
    // window appears: centre the window with that size (centerOnDesktop
    // activates the layout first).
    if (!d_shownOnce && !e->spontaneous()) {
        d_shownOnce = true;
        centerOnDesktop(this);
    }
    QWidget::showEvent(e);
}

// The instrument actions belong to the product panel; the base does nothing.
void cv5120fp_app::resetPressed() {}
void cv5120fp_app::ponPressed() {}
void cv5120fp_app::poffPressed() {}
void cv5120fp_app::sysResetPressed() {}
