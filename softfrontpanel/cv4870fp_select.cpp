// The selection dialog and the connection flow that runs on it.
#include "cv4870fp_select.h"

#include <QAbstractButton>
#include <QByteArray>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstring>
#include <memory>

#include "cv4870.h"
#include "cv4870fp.h"
#include "cv5120fp_app.h"

namespace {

const char selectTitle[] = "Ostrel 4870 SFP: Select Module";
const char connectTitle[] = "Ostrel 4870 SFP: Connect to VXI Mainframe";
const char noSelectionMessage[] = "Select one available motherboard and then click \"OK\" \n"
                                  "or click \"Cancel\" to quit";

// A question with buttons in the given order. The first button is the
// default; there is no escape button, so neither Escape nor closing the
// window answers it. Returns the index of the clicked button, or -1 when
// the box was ended some other way.
int askQuestion(QWidget *parent, const QString &title, const QString &text, const QStringList &buttons)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    QList<QAbstractButton *> added;
    for (const QString &caption : buttons)
        added << box.addButton(caption, QMessageBox::ActionRole);
    box.setDefaultButton(static_cast<QPushButton *>(added.first()));
    box.exec();
    return added.indexOf(box.clickedButton());
}

} // namespace

cv4870fp_select::cv4870fp_select(QWidget *owner)
    : QDialog()
{
    QHBoxLayout *buttons = new QHBoxLayout;
    QVBoxLayout *main = new QVBoxLayout;
    const QFontMetrics fm(font());

    d_session = 0;
    d_app = owner;

    setWindowTitle(QString::fromLatin1(selectTitle));
    setWindowIcon(cv5120fp_windowIcon());
    setLayout(main);

    QStringList labels;
    labels << QStringLiteral("TCP/IP Addr") << QStringLiteral("Module");

    d_tree = new QTreeWidget;
    main->addWidget(d_tree);
    d_tree->setMinimumWidth(40 * fm.height());
    d_tree->setMinimumHeight(14 * fm.height());
    d_tree->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
    d_tree->setColumnCount(2);
    d_tree->setHeaderLabels(labels);

    buttons->addStretch();
    d_okButton = new QPushButton(QStringLiteral("OK"));
    buttons->addWidget(d_okButton);
    d_cancelButton = new QPushButton(QStringLiteral("Cancel"));
    buttons->addWidget(d_cancelButton);
    main->addLayout(buttons);

    connect(d_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(d_okButton, &QPushButton::clicked, this, &cv4870fp_select::okPressed);
    connect(d_tree, &QTreeWidget::itemDoubleClicked, this, &cv4870fp_select::dblClick);

    d_demo = 0;
    adjustSize();
}

cv4870fp_select::~cv4870fp_select() = default;

QString cv4870fp_select::descr()
{
    return d_descr;
}

void cv4870fp_select::dblClick(QTreeWidgetItem *item)
{
    if (item && (item->flags() & Qt::ItemIsSelectable))
        okPressed();
}

void cv4870fp_select::okPressed()
{
    QTreeWidgetItem *item = d_tree->currentItem();
    if (!item || !(item->flags() & Qt::ItemIsSelectable)) {
        qDebug("%s", noSelectionMessage);
        return;
    }
    d_descr = item->data(2, Qt::StatusTipRole).toString();
    accept();
}

int cv4870fp_select::connectMainframe()
{
    enum State { Choice, Search, List, NoneFound, Address, Demo, Probe, Unavailable, Cancelled };

    // One address dialog for the whole flow: a second "Enter Address" shows
    // what was typed the first time.
    std::unique_ptr<cv4870fp_enterAddress> addressDialog(new cv4870fp_enterAddress);

    const QString title = QString::fromLatin1(connectTitle);
    QMessageBox choice(QMessageBox::Question, title, QStringLiteral("How to connect to Ostrel 4870 VXI Mainframe?"));
    choice.setWindowIcon(cv5120fp_windowIcon());
    QPushButton *autoFind = choice.addButton(QStringLiteral("Auto Find"), QMessageBox::ActionRole);
    QPushButton *demo = choice.addButton(QStringLiteral("Run In Demo Mode"), QMessageBox::ActionRole);
    QPushButton *enter = choice.addButton(QStringLiteral("Enter Address"), QMessageBox::ActionRole);
    QPushButton *cancel = choice.addButton(QMessageBox::Cancel);
    choice.setDefaultButton(autoFind);
    choice.setEscapeButton(cancel);

    State state = Choice;
    ViStatus status = VI_SUCCESS;
    for (;;) {
        switch (state) {
        case Choice: {
            choice.exec();
            QAbstractButton *clicked = choice.clickedButton();
            state = clicked == autoFind ? Search : clicked == demo ? Demo : clicked == enter ? Address : Cancelled;
            break;
        }
        case Search: {
            const int n = findResources();
            state = n > 1 ? List : n == 1 ? Probe : NoneFound;
            break;
        }
        case List:
            state = exec() == QDialog::Accepted ? Probe : Cancelled;
            break;
        case NoneFound: {
            const int answer = askQuestion(
                this, title, QStringLiteral("No Ostrel 4870 Mainframe found on your system."),
                {QStringLiteral("Try Again"), QStringLiteral("Run In Demo Mode"), QStringLiteral("Cancel")});
            state = answer == 0 ? Choice : answer == 1 ? Demo : Cancelled;
            break;
        }
        case Address:
            if (addressDialog->exec() == 0) {
                state = Cancelled;
                break;
            }
            d_descr = cv4870fp_socketResource(addressDialog->d_ipAddr->text());
            {
                // Written before the probe, so an unreachable address is
                // still offered next time.
                QSettings settings(QString::fromLatin1(cv4870fp_settingsOrganization),
                                   QString::fromLatin1(cv4870fp_settingsApplication));
                settings.setValue(QString::fromLatin1(cv4870fp_settingsAddressKey), addressDialog->d_ipAddr->text());
            }
            state = Probe;
            break;
        case Demo:
            d_demo = 1;
            d_descr = cv4870fp_socketResource(QString::fromLatin1(cv4870fp_demoAddress));
            return 1;
        case Probe: {
            QByteArray resource = d_descr.toLatin1();
            status = cv4870_init(resource.data(), VI_TRUE, VI_FALSE, &d_session);
            if (status == VI_SUCCESS)
                return 1;
            // Only a clean open counts. A session opened with a warning is
            // of no further use here: close it so it does not stay open.
            if (status > 0)
                cv4870_close(d_session);
            state = Unavailable;
            break;
        }
        case Unavailable: {
            char message[CV4870_ERROR_MESSAGE_BUFLEN];
            std::memset(message, 0, sizeof message);
            cv4870_error_message(VI_NULL, status, message);
            message[sizeof message - 1] = '\0';
            const int answer = askQuestion(this, title,
                                           QStringLiteral("Selected Ostrel 4870 Mainframe is unavailable.\nError: %1")
                                               .arg(QString::fromLatin1(message)),
                                           {QStringLiteral("Try Again"), QStringLiteral("Cancel")});
            state = answer == 0 ? Choice : Cancelled;
            break;
        }
        case Cancelled:
            return 0;
        }
    }
}
