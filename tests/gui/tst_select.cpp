// Connection flow, address dialog, search and selection dialog against the
// scripted double of the driver and VISA libraries.
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTreeWidget>
#include <QtTest>

#include "connect_script.h"
#include "cv4870fp.h"
#include "cv4870fp_select.h"
#include "fake_driver.h"

namespace {

const QString connectTitle = QStringLiteral("Ostrel 4870 SFP: Connect to VXI Mainframe");
const QString demoResource = QStringLiteral("TCPIP::192.168.48.70::23::SOCKET");

QString quoted(const QString &s)
{
    return QLatin1Char('"') + s + QLatin1Char('"');
}

QString initCall(const QString &resource)
{
    return QStringLiteral("cv4870_init(%1, 1, 0)").arg(quoted(resource));
}

// Resource i of a test network: "TCPIP0::10.0.0.<i>::23::SOCKET".
QString resourceName(int i)
{
    return QStringLiteral("TCPIP0::10.0.0.%1::23::SOCKET").arg(i);
}

void addResource(const QString &name, const QString &address, const QString &description,
                 ViStatus initStatus = VI_SUCCESS)
{
    fakedrv::Resource r;
    r.name = name.toStdString();
    r.address = address.toStdString();
    r.description = description.toStdString();
    r.initStatus = initStatus;
    fakedrv::resources().push_back(r);
}

void addMainframes(const QList<int> &numbers)
{
    for (int i : numbers)
        addResource(resourceName(i), QStringLiteral("10.0.0.%1").arg(i), QStringLiteral("Ostrel 4870 #%1").arg(i));
}

// The calls of one search in which every listed resource is a mainframe;
// firstSession is the handle the double gives to the first one.
QStringList searchCalls(const QStringList &resources, int firstSession)
{
    QStringList calls{QStringLiteral("viOpenDefaultRM()"), QStringLiteral("viFindRsrc(1, \"TCPIP?*SOCKET\")")};
    if (resources.isEmpty())
        return calls << QStringLiteral("viClose(1)");
    int session = firstSession;
    for (const QString &r : resources) {
        calls << initCall(r) << QStringLiteral("viGetAttribute(%1, VI_ATTR_TCPIP_ADDR)").arg(session)
              << QStringLiteral("cv4870_getDescription(%1)").arg(session)
              << QStringLiteral("cv4870_close(%1)").arg(session) << QStringLiteral("viFindNext(2)");
        ++session;
    }
    return calls << QStringLiteral("viClose(2)") << QStringLiteral("viClose(1)");
}

QStringList loggedCalls()
{
    QStringList calls;
    for (const std::string &c : fakedrv::callTexts())
        calls << QString::fromStdString(c);
    return calls;
}

QStringList rowTexts(QTreeWidget *tree, int column)
{
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        texts << tree->topLevelItem(i)->text(column);
    return texts;
}

QString storedAddress()
{
    QSettings s(QString::fromLatin1(cv4870fp_settingsOrganization), QString::fromLatin1(cv4870fp_settingsApplication));
    return s.value(QStringLiteral("ip_addr")).toString();
}

QStringList g_debugMessages;
void captureMessages(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtDebugMsg)
        g_debugMessages << msg;
}

} // namespace

class tst_select : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void flow_data();
    void flow();
    void choiceBox();
    void questions();
    void warningProbeClosesSession();
    void addressStoredBeforeProbe_data();
    void addressStoredBeforeProbe();
    void addressDialogKeptForTheWholeFlow();
    void addressPrefill_data();
    void addressPrefill();

    void listAfterSearch();
    void secondSearchClearsFirst();
    void failedReadsShowEmptyText();
    void longAddressFits();
    void searchWithoutMatches();
    void searchIgnoresRefusedResources();
    void mixedResourceTypesAllListed();
    void resourceOrder_data();
    void resourceOrder();
    void okWithoutCurrentRow();
    void doubleClickAcceptsRow();

private:
    QTemporaryDir m_settingsDir;
};

void tst_select::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_settingsDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
    QCoreApplication::setOrganizationName(QString::fromLatin1(cv4870fp_settingsOrganization));
    QCoreApplication::setApplicationName(QString::fromLatin1(cv4870fp_settingsApplication));
}

void tst_select::init()
{
    fakedrv::reset();
    QSettings s(QString::fromLatin1(cv4870fp_settingsOrganization), QString::fromLatin1(cv4870fp_settingsApplication));
    s.clear();
}

// Each row walks one road through the flow: the dialogs answered in turn,
// the result, and every driver and VISA call made on the way.
void tst_select::flow_data()
{
    QTest::addColumn<int>("mainframes");   // resources 1..n on the network
    QTest::addColumn<QList<int>>("inits"); // statuses of the next cv4870_init calls
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("demo");
    QTest::addColumn<QString>("descr");
    QTest::addColumn<QStringList>("calls");

    const QList<int> none;
    const QString r1 = resourceName(1), r2 = resourceName(2), r3 = resourceName(3);
    const QString typed = QStringLiteral("TCPIP::10.1.2.3::23::SOCKET");
    const QString fail = QStringLiteral("cv4870_error_message(0, %1)").arg(VI_ERROR_RSRC_NFOUND);

    QTest::newRow("choice: demo") << 0 << none << QStringList{"choice:Run In Demo Mode"} << 1 << 1 << demoResource
                                  << QStringList();
    QTest::newRow("choice: cancel") << 0 << none << QStringList{"choice:Cancel"} << 0 << 0 << QString()
                                    << QStringList();
    QTest::newRow("choice: escape") << 0 << none << QStringList{"choice:<escape>"} << 0 << 0 << QString()
                                    << QStringList();
    QTest::newRow("choice: window closed")
        << 0 << none << QStringList{"choice:<close>"} << 0 << 0 << QString() << QStringList();

    QTest::newRow("nothing found: demo") << 0 << none << QStringList{"choice:Auto Find", "none:Run In Demo Mode"} << 1
                                         << 1 << demoResource << searchCalls({}, 0);
    QTest::newRow("nothing found: cancel")
        << 0 << none << QStringList{"choice:Auto Find", "none:Cancel"} << 0 << 0 << QString() << searchCalls({}, 0);
    QTest::newRow("nothing found: try again goes back to the choice")
        << 0 << none << QStringList{"choice:Auto Find", "none:Try Again", "choice:Cancel"} << 0 << 0 << QString()
        << searchCalls({}, 0);

    QTest::newRow("one found: probed at once") << 1 << none << QStringList{"choice:Auto Find"} << 1 << 0 << r1
                                               << searchCalls({r1}, 1001) + QStringList{initCall(r1)};
    QTest::newRow("one found: probe fails, cancel")
        << 1 << QList<int>{0, VI_ERROR_RSRC_NFOUND} << QStringList{"choice:Auto Find", "fail:Cancel"} << 0 << 0 << r1
        << searchCalls({r1}, 1001) + QStringList{initCall(r1), fail};

    QTest::newRow("three found: second row accepted")
        << 3 << none << QStringList{"choice:Auto Find", "list:row:1"} << 1 << 0 << r2
        << searchCalls({r1, r2, r3}, 1001) + QStringList{initCall(r2)};
    QTest::newRow("three found: list cancelled") << 3 << none << QStringList{"choice:Auto Find", "list:Cancel"} << 0
                                                 << 0 << r3 << searchCalls({r1, r2, r3}, 1001);
    QTest::newRow("three found: list escaped") << 3 << none << QStringList{"choice:Auto Find", "list:<escape>"} << 0
                                               << 0 << r3 << searchCalls({r1, r2, r3}, 1001);
    QTest::newRow("three found: list closed") << 3 << none << QStringList{"choice:Auto Find", "list:<close>"} << 0 << 0
                                              << r3 << searchCalls({r1, r2, r3}, 1001);

    QTest::newRow("address: connected") << 0 << none << QStringList{"choice:Enter Address", "address:=10.1.2.3"} << 1
                                        << 0 << typed << QStringList{initCall(typed)};
    QTest::newRow("address: cancelled") << 0 << none << QStringList{"choice:Enter Address", "address:Cancel"} << 0 << 0
                                        << QString() << QStringList();
    QTest::newRow("address: escaped") << 0 << none << QStringList{"choice:Enter Address", "address:<escape>"} << 0 << 0
                                      << QString() << QStringList();
    QTest::newRow("address: probe fails, cancel")
        << 0 << QList<int>{VI_ERROR_RSRC_NFOUND}
        << QStringList{"choice:Enter Address", "address:=10.1.2.3", "fail:Cancel"} << 0 << 0 << typed
        << QStringList{initCall(typed), fail};
    QTest::newRow("address: probe fails, try again, demo")
        << 0 << QList<int>{VI_ERROR_RSRC_NFOUND}
        << QStringList{"choice:Enter Address", "address:=10.1.2.3", "fail:Try Again", "choice:Run In Demo Mode"} << 1
        << 1 << demoResource << QStringList{initCall(typed), fail};
    QTest::newRow("address: probe fails, try again, second address connects")
        << 0 << QList<int>{VI_ERROR_RSRC_NFOUND}
        << QStringList{"choice:Enter Address", "address:=10.1.2.3", "fail:Try Again", "choice:Enter Address",
                       "address:=10.1.2.4"}
        << 1 << 0 << QStringLiteral("TCPIP::10.1.2.4::23::SOCKET")
        << QStringList{initCall(typed), fail, initCall(QStringLiteral("TCPIP::10.1.2.4::23::SOCKET"))};
    QTest::newRow("address: empty text")
        << 0 << QList<int>{VI_ERROR_INV_RSRC_NAME} << QStringList{"choice:Enter Address", "address:=", "fail:Cancel"}
        << 0 << 0 << QStringLiteral("TCPIP::::23::SOCKET")
        << QStringList{initCall(QStringLiteral("TCPIP::::23::SOCKET")),
                       QStringLiteral("cv4870_error_message(0, %1)").arg(VI_ERROR_INV_RSRC_NAME)};
    QTest::newRow("failed probe, then a search")
        << 2 << QList<int>{VI_ERROR_RSRC_NFOUND}
        << QStringList{"choice:Enter Address", "address:=10.1.2.3", "fail:Try Again", "choice:Auto Find", "list:row:0"}
        << 1 << 0 << r1 << QStringList{initCall(typed), fail} + searchCalls({r1, r2}, 1001) + QStringList{initCall(r1)};
}

void tst_select::flow()
{
    QFETCH(int, mainframes);
    QFETCH(QList<int>, inits);
    QFETCH(QStringList, script);
    QFETCH(int, result);
    QFETCH(int, demo);
    QFETCH(QString, descr);
    QFETCH(QStringList, calls);

    QList<int> numbers;
    for (int i = 1; i <= mainframes; ++i)
        numbers << i;
    addMainframes(numbers);
    for (int st : inits)
        fakedrv::pushStatus("cv4870_init", st);

    ConnectScript answers(script);

    QWidget owner;
    cv4870fp_select dialog(&owner);
    const int got = dialog.connectMainframe();

    QCOMPARE(answers.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(answers.stepsLeft(), 0);
    QCOMPARE(got, result);
    QCOMPARE(dialog.d_demo, demo);
    QCOMPARE(dialog.descr(), descr);
    QCOMPARE(loggedCalls(), calls);
    if (result == 1 && demo == 0) {
        // The session of the successful probe is the one left open.
        QCOMPARE(fakedrv::openSessions(), std::vector<ViSession>{dialog.d_session});
        QCOMPARE(QString::fromStdString(fakedrv::resourceOf(dialog.d_session)), descr);
    } else {
        QVERIFY(fakedrv::openSessions().empty());
    }
}

void tst_select::choiceBox()
{
    QMessageBox *box = nullptr;
    QList<QString> actionButtons;
    QString cancelText;
    ConnectScript answers;
    answers.add("choice", "Cancel", [&](QWidget *w) {
        box = qobject_cast<QMessageBox *>(w);
        for (QAbstractButton *b : box->buttons())
            if (box->buttonRole(b) == QMessageBox::ActionRole)
                actionButtons << b->text();
        cancelText = box->button(QMessageBox::Cancel) ? box->button(QMessageBox::Cancel)->text() : QString();
        QVERIFY(!box->windowIcon().isNull());
        QCOMPARE(box->icon(), QMessageBox::Question);
        QCOMPARE(box->parentWidget(), nullptr);
        QCOMPARE(box->escapeButton(), box->button(QMessageBox::Cancel));
    });
    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.connectMainframe(), 0);
    QCOMPARE(answers.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(answers.shown().size(), 1);
    const ConnectScript::Shown &s = answers.shown().first();
    QCOMPARE(s.title, connectTitle);
    QCOMPARE(s.text, QStringLiteral("How to connect to Ostrel 4870 VXI Mainframe?"));
    QCOMPARE(actionButtons, (QStringList{"Auto Find", "Run In Demo Mode", "Enter Address"}));
    QCOMPARE(cancelText, QStringLiteral("Cancel"));
    QCOMPARE(s.defaultButton, QStringLiteral("Auto Find"));
}

// Neither question has an escape: Escape and closing the window leave it up.
void tst_select::questions()
{
    fakedrv::pushStatus("cv4870_init", VI_ERROR_TMO);
    fakedrv::setErrorText("Timeout expired before operation completed.");
    bool noneStayed = false, failStayed = false;
    auto stubborn = [](bool *stayed) {
        return [stayed](QWidget *w) {
            QTest::keyClick(w, Qt::Key_Escape);
            const bool afterEscape = w->isVisible();
            w->close();
            *stayed = afterEscape && w->isVisible();
        };
    };
    ConnectScript answers;
    answers.add("choice", "Auto Find");
    answers.add("none", "Try Again", stubborn(&noneStayed));
    answers.add("choice", "Enter Address");
    answers.add("address", "=10.1.2.3");
    answers.add("fail", "Cancel", stubborn(&failStayed));

    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.connectMainframe(), 0);
    QCOMPARE(answers.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(answers.kinds(), (QStringList{"choice", "none", "choice", "address", "fail"}));
    QVERIFY(noneStayed);
    QVERIFY(failStayed);

    const ConnectScript::Shown none = answers.shown().at(1);
    QCOMPARE(none.title, connectTitle);
    QCOMPARE(none.text, QStringLiteral("No Ostrel 4870 Mainframe found on your system."));
    QCOMPARE(none.buttons, (QStringList{"Try Again", "Run In Demo Mode", "Cancel"}));
    QCOMPARE(none.defaultButton, QStringLiteral("Try Again"));
    QVERIFY(!none.hasEscape);
    QCOMPARE(none.parent, &dialog);

    const ConnectScript::Shown fail = answers.shown().at(4);
    QCOMPARE(fail.title, connectTitle);
    QCOMPARE(fail.text, QStringLiteral("Selected Ostrel 4870 Mainframe is unavailable.\n"
                                       "Error: Timeout expired before operation completed."));
    QCOMPARE(fail.buttons, (QStringList{"Try Again", "Cancel"}));
    QCOMPARE(fail.defaultButton, QStringLiteral("Try Again"));
    QVERIFY(!fail.hasEscape);
    QCOMPARE(fail.parent, &dialog);

    // The choice box is one object, shown again after "Try Again".
    QCOMPARE(answers.shown().at(0).widget, answers.shown().at(2).widget);
}

// A warning from the probe is a failure; the session it opened is closed
// before the flow goes on, and d_session keeps its value.
void tst_select::warningProbeClosesSession()
{
    fakedrv::pushStatus("cv4870_init", VI_WARN_NSUP_ID_QUERY);
    ConnectScript answers({"choice:Enter Address", "address:=10.1.2.3", "fail:Try Again", "choice:Run In Demo Mode"});

    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.connectMainframe(), 1);
    QCOMPARE(answers.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(dialog.d_demo, 1);
    QCOMPARE(dialog.d_session, ViSession(1001));
    QCOMPARE(answers.shown().at(2).text,
             QStringLiteral("Selected Ostrel 4870 Mainframe is unavailable.\nError: Fake error %1")
                 .arg(VI_WARN_NSUP_ID_QUERY));
    QCOMPARE(loggedCalls(), (QStringList{initCall("TCPIP::10.1.2.3::23::SOCKET"), "cv4870_close(1001)",
                                         QStringLiteral("cv4870_error_message(0, %1)").arg(VI_WARN_NSUP_ID_QUERY)}));
    QVERIFY(fakedrv::openSessions().empty());
}

void tst_select::addressStoredBeforeProbe_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("dotted") << QStringLiteral("10.4.8.70");
    QTest::newRow("blanks kept") << QStringLiteral("  10.4.8.70 ");
    QTest::newRow("empty") << QString();
    QTest::newRow("host name") << QStringLiteral("mainframe-7.lab");
}

void tst_select::addressStoredBeforeProbe()
{
    QFETCH(QString, typed);
    QString atProbe = QStringLiteral("<not read>");
    fakedrv::setHook("cv4870_init", [&] { atProbe = storedAddress(); });
    fakedrv::pushStatus("cv4870_init", VI_ERROR_RSRC_NFOUND);
    ConnectScript answers;
    answers.add("choice", "Enter Address");
    answers.add("address", "=" + typed);
    answers.add("fail", "Cancel");

    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.connectMainframe(), 0);
    QCOMPARE(answers.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(atProbe, typed);
    QCOMPARE(storedAddress(), typed);
    QCOMPARE(dialog.descr(), "TCPIP::" + typed + "::23::SOCKET");
}

// A second "Enter Address" shows what was typed the first time, even when
// the stored address has changed in between.
void tst_select::addressDialogKeptForTheWholeFlow()
{
    fakedrv::setHook("cv4870_init", [] {
        QSettings s(QString::fromLatin1(cv4870fp_settingsOrganization),
                    QString::fromLatin1(cv4870fp_settingsApplication));
        s.setValue(QStringLiteral("ip_addr"), QStringLiteral("172.16.0.1"));
    });
    fakedrv::pushStatus("cv4870_init", VI_ERROR_RSRC_NFOUND);
    ConnectScript answers(
        {"choice:Enter Address", "address:=10.9.8.7", "fail:Try Again", "choice:Enter Address", "address:Cancel"});

    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.connectMainframe(), 0);
    QCOMPARE(answers.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(answers.shown().at(1).field, QStringLiteral("10.48.70.1"));
    QCOMPARE(answers.shown().at(4).field, QStringLiteral("10.9.8.7"));
    QCOMPARE(answers.shown().at(1).widget, answers.shown().at(4).widget);
}

void tst_select::addressPrefill_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("shown");
    QTest::newRow("nothing stored") << QVariant() << QStringLiteral("10.48.70.1");
    QTest::newRow("empty stored") << QVariant(QString()) << QStringLiteral("10.48.70.1");
    QTest::newRow("address") << QVariant(QStringLiteral("10.7.7.7")) << QStringLiteral("10.7.7.7");
    QTest::newRow("host name, blanks") << QVariant(QStringLiteral(" frame.lab ")) << QStringLiteral(" frame.lab ");
}

void tst_select::addressPrefill()
{
    QFETCH(QVariant, stored);
    QFETCH(QString, shown);
    if (stored.isValid()) {
        QSettings s(QString::fromLatin1(cv4870fp_settingsOrganization),
                    QString::fromLatin1(cv4870fp_settingsApplication));
        s.setValue(QStringLiteral("ip_addr"), stored);
    }
    cv4870fp_enterAddress dialog;
    QCOMPARE(dialog.d_ipAddr->text(), shown);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Ostrel 4870 SFP: Enter VXI Mainframe TCP/IP Address"));
    QCOMPARE(dialog.d_ipAddr->toolTip(),
             QStringLiteral("Enter the TCP/IP address for the Module you want to connect to.<br>"
                            "Example: <b>192.168.48.70</b>"));
    QCOMPARE(dialog.parentWidget(), nullptr);
    QVERIFY(fakedrv::calls().empty());
}

void tst_select::listAfterSearch()
{
    // Listed out of order; a warning from the driver still lists a resource.
    addResource("TCPIP0::10.0.0.10::23::SOCKET", "10.0.0.10", "Ostrel 4870 rack B");
    addResource("TCPIP1::10.0.0.2::23::SOCKET", "10.0.0.2", "Ostrel 4870 rack C", VI_WARN_NSUP_ID_QUERY);
    addResource("TCPIP0::10.0.0.9::23::SOCKET", "10.0.0.9", "Ostrel 4870 rack A");

    ConnectScript watch;
    QThreadPool::globalInstance()->setMaxThreadCount(2);
    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.findResources(), 3);
    QCOMPARE(QThreadPool::globalInstance()->maxThreadCount(), 256);
    QCOMPARE(watch.progress(), (QList<QPair<QString, QString>>{{"Ostrel 4870", "Searching..."}}));
    QCOMPARE(watch.errors().join(QLatin1String("; ")), QString());

    QTreeWidget *tree = dialog.d_tree;
    QCOMPARE(tree->columnCount(), 2);
    QCOMPARE(tree->headerItem()->text(0), QStringLiteral("TCP/IP Addr"));
    QCOMPARE(tree->headerItem()->text(1), QStringLiteral("Module"));
    QCOMPARE(rowTexts(tree, 0), (QStringList{"10.0.0.9", "10.0.0.10", "10.0.0.2"}));
    QCOMPARE(rowTexts(tree, 1), (QStringList{"Ostrel 4870 rack A", "Ostrel 4870 rack B", "Ostrel 4870 rack C"}));
    const QStringList order{"TCPIP0::10.0.0.9::23::SOCKET", "TCPIP0::10.0.0.10::23::SOCKET",
                            "TCPIP1::10.0.0.2::23::SOCKET"};
    for (int i = 0; i < 3; ++i) {
        QTreeWidgetItem *item = tree->topLevelItem(i);
        QCOMPARE(item->data(0, Qt::StatusTipRole).toString(), rowTexts(tree, 0).at(i));
        QCOMPARE(item->data(1, Qt::StatusTipRole).toString(), rowTexts(tree, 1).at(i));
        QCOMPARE(item->data(2, Qt::StatusTipRole).toString(), order.at(i));
        QCOMPARE(item->flags(), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    }
    QCOMPARE(dialog.descr(), order.last());
    QVERIFY(fakedrv::openSessions().empty());
}

void tst_select::secondSearchClearsFirst()
{
    addMainframes({1, 2, 3});
    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.findResources(), 3);
    fakedrv::resources().clear();
    addMainframes({7});
    QCOMPARE(dialog.findResources(), 1);
    QCOMPARE(rowTexts(dialog.d_tree, 0), QStringList{"10.0.0.7"});
    QCOMPARE(dialog.descr(), resourceName(7));
    fakedrv::resources().clear();
    QCOMPARE(dialog.findResources(), 0);
    QCOMPARE(dialog.d_tree->topLevelItemCount(), 0);
    QCOMPARE(dialog.descr(), resourceName(7));
}

// A read that fails leaves an empty text, not what the previous resource
// put into the buffer.
void tst_select::failedReadsShowEmptyText()
{
    addMainframes({1, 2});
    fakedrv::pushStatus("viGetAttribute", VI_SUCCESS);
    fakedrv::pushStatus("viGetAttribute", VI_ERROR_NSUP_ATTR);
    fakedrv::pushStatus("cv4870_getDescription", VI_SUCCESS);
    fakedrv::pushStatus("cv4870_getDescription", VI_ERROR_TMO);
    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.findResources(), 2);
    QCOMPARE(rowTexts(dialog.d_tree, 0), (QStringList{"10.0.0.1", ""}));
    QCOMPARE(rowTexts(dialog.d_tree, 1), (QStringList{"Ostrel 4870 #1", ""}));
    QCOMPARE(dialog.d_tree->topLevelItem(1)->data(2, Qt::StatusTipRole).toString(), resourceName(2));
}

// Addresses longer than a dotted IPv4 address (IPv6, names) are read whole.
void tst_select::longAddressFits()
{
    const QString v6 = QStringLiteral("fd00:4870:0000:0000:0000:0000:0000:0001");
    const QString name = QString(200, QLatin1Char('m')) + QStringLiteral(".example");
    addResource("TCPIP0::[fd00:4870::1]::23::SOCKET", v6, "Ostrel 4870 v6");
    addResource("TCPIP0::frame::23::SOCKET", name, "Ostrel 4870 named");
    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.findResources(), 2);
    QVERIFY(rowTexts(dialog.d_tree, 0).contains(v6));
    QVERIFY(rowTexts(dialog.d_tree, 0).contains(name));
}

void tst_select::searchWithoutMatches()
{
    ConnectScript watch;
    cv4870fp_select dialog(nullptr);
    dialog.d_descr = QStringLiteral("unchanged");
    QCOMPARE(dialog.findResources(), 0);
    QCOMPARE(dialog.descr(), QStringLiteral("unchanged"));
    QCOMPARE(watch.progressDialogs(), 1);
    QCOMPARE(loggedCalls(), searchCalls({}, 0));

    // No resource manager: nothing else is called, nothing is closed.
    fakedrv::clearCalls();
    fakedrv::pushStatus("viOpenDefaultRM", VI_ERROR_SYSTEM_ERROR);
    QCOMPARE(dialog.findResources(), 0);
    QCOMPARE(loggedCalls(), QStringList{"viOpenDefaultRM()"});
    QCOMPARE(watch.progressDialogs(), 2);
}

void tst_select::searchIgnoresRefusedResources()
{
    addResource(resourceName(1), "10.0.0.1", "x", VI_ERROR_FAIL_ID_QUERY);
    addResource(resourceName(2), "10.0.0.2", "y", VI_ERROR_TMO);
    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.findResources(), 0);
    QCOMPARE(loggedCalls(),
             (QStringList{"viOpenDefaultRM()", "viFindRsrc(1, \"TCPIP?*SOCKET\")", initCall(resourceName(1)),
                          "viFindNext(2)", initCall(resourceName(2)), "viFindNext(2)", "viClose(2)", "viClose(1)"}));

    // The list ends when VISA stops returning resources, whatever the count.
    fakedrv::reset();
    addMainframes({1, 2, 3});
    fakedrv::pushStatus("viFindNext", VI_ERROR_IO);
    QCOMPARE(dialog.findResources(), 1);
    QCOMPARE(dialog.descr(), resourceName(1));
}

// Across interface types the order is plain text order, within TCPIP it is
// numeric: the two do not form a consistent order, and the sort must still
// keep every row.
void tst_select::mixedResourceTypesAllListed()
{
    const QStringList names{
        "tcpip0::1.0.0.1::23::socket", "TCPIP0::2.0.0.0::23::SOCKET",  "XYZ::1::SOCKET", "TCPIP0::9.0.0.0::23::SOCKET",
        "TCPIPA::5::SOCKET",           "TCPIP0::10.0.0.0::23::SOCKET", "1::odd::SOCKET", "TCPIP::host::23::SOCKET",
        "tcpip0::3.0.0.0::23::socket"};
    for (int round = 0; round < 4; ++round) {
        for (const QString &n : names)
            addResource(n, n, n);
    }
    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.findResources(), names.size() * 4);
    QStringList listed = rowTexts(dialog.d_tree, 0);
    QStringList expected = names + names + names + names;
    listed.sort();
    expected.sort();
    QCOMPARE(listed, expected);
}

void tst_select::resourceOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("aLess");
    QTest::addColumn<bool>("bLess");

    QTest::newRow("octet 9 before 10") << "TCPIP0::10.0.0.9::23::SOCKET"
                                       << "TCPIP0::10.0.0.10::23::SOCKET" << true << false;
    QTest::newRow("board before address") << "TCPIP0::200.0.0.1::23::SOCKET"
                                          << "TCPIP1::1.0.0.1::23::SOCKET" << true << false;
    QTest::newRow("first octet first") << "TCPIP0::9.255.255.255::23::SOCKET"
                                       << "TCPIP0::10.0.0.0::23::SOCKET" << true << false;
    QTest::newRow("equal") << "TCPIP0::10.0.0.1::23::SOCKET"
                           << "TCPIP0::10.0.0.1::5025::SOCKET" << false << false;
    QTest::newRow("host name before dotted") << "TCPIP0::zeta::23::SOCKET"
                                             << "TCPIP0::1.0.0.0::23::SOCKET" << true << false;
    QTest::newRow("host names tie") << "TCPIP0::zeta::23::SOCKET"
                                    << "TCPIP0::alpha::23::SOCKET" << false << false;
    QTest::newRow("host name after zero-octet address") << "TCPIP0::zeta::23::SOCKET"
                                                        << "TCPIP0::0.0.0.0::23::SOCKET" << false << false;
    QTest::newRow("lower-case type") << "tcpip0::10.0.0.9::23::socket"
                                     << "TCPIP0::10.0.0.10::23::SOCKET" << true << false;
    QTest::newRow("no board number: all zero") << "TCPIP::10.0.0.9::23::SOCKET"
                                               << "TCPIP::10.0.0.10::23::SOCKET" << false << false;
    QTest::newRow("partial address") << "TCPIP0::10.0.frame::23::SOCKET"
                                     << "TCPIP0::10.0.0.1::23::SOCKET" << true << false;
    QTest::newRow("types differ: text order") << "GPIB0::1::INSTR"
                                              << "TCPIP0::1.0.0.0::23::SOCKET" << true << false;
    QTest::newRow("types differ: case counts") << "TCPIPZ::1::SOCKET"
                                               << "tcpip0::1.0.0.0::23::socket" << true << false;
    QTest::newRow("GPIB by board") << "GPIB10::1::INSTR"
                                   << "GPIB2::9::INSTR" << false << true;
    QTest::newRow("GPIB-VXI parses as GPIB without board") << "GPIB-VXI3::1::INSTR"
                                                           << "GPIB2::9::INSTR" << true << false;
    QTest::newRow("ASRL by board") << "ASRL1::INSTR"
                                   << "ASRL11::INSTR" << true << false;
    QTest::newRow("VXI same board") << "VXI0::9::INSTR"
                                    << "VXI0::1::INSTR" << false << false;
    QTest::newRow("other type: text order") << "USB0::2::INSTR"
                                            << "USB0::10::INSTR" << false << true;
    QTest::newRow("no type: text order") << "9::x"
                                         << "10::x" << false << true;
    QTest::newRow("empty strings") << ""
                                   << "" << false << false;
    QTest::newRow("huge numbers clamp") << "TCPIP0::99999999999999999999.1.1.1::23::SOCKET"
                                        << "TCPIP0::2147483647.1.1.2::23::SOCKET" << true << false;
    QTest::newRow("negative board") << "TCPIP-1::1.1.1.1::23::SOCKET"
                                    << "TCPIP0::1.1.1.1::23::SOCKET" << true << false;
}

void tst_select::resourceOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, aLess);
    QFETCH(bool, bLess);
    QCOMPARE(resourceLessThan(a, b), aLess);
    QCOMPARE(resourceLessThan(b, a), bLess);
}

void tst_select::okWithoutCurrentRow()
{
    addMainframes({1, 2});
    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.findResources(), 2);
    dialog.d_descr = QStringLiteral("before");

    bool openAfterFirst = false, openAfterSecond = false;
    QWidget *otherModal = nullptr;
    ConnectScript answers;
    answers.add("list", "Cancel", [&](QWidget *w) {
        g_debugMessages.clear();
        QtMessageHandler previous = qInstallMessageHandler(captureMessages);
        // The view makes its first row current when it takes the focus.
        dialog.d_tree->setCurrentItem(nullptr);
        dialog.d_okButton->click();
        openAfterFirst = w->isVisible();
        // A current row that cannot be selected counts as no row.
        dialog.d_tree->setCurrentItem(dialog.d_tree->topLevelItem(0));
        dialog.d_tree->topLevelItem(0)->setFlags(Qt::ItemIsEnabled);
        dialog.d_okButton->click();
        openAfterSecond = w->isVisible();
        otherModal = QApplication::activeModalWidget() == w ? nullptr : QApplication::activeModalWidget();
        qInstallMessageHandler(previous);
    });
    QCOMPARE(dialog.exec(), 0);
    QCOMPARE(answers.errors().join(QLatin1String("; ")), QString());

    const QString message = QStringLiteral("Select one available motherboard and then click \"OK\" \n"
                                           "or click \"Cancel\" to quit");
    QCOMPARE(g_debugMessages, (QStringList{message, message}));
    QVERIFY(openAfterFirst);
    QVERIFY(openAfterSecond);
    QCOMPARE(otherModal, nullptr);
    QCOMPARE(dialog.descr(), QStringLiteral("before"));
}

void tst_select::doubleClickAcceptsRow()
{
    addMainframes({1, 2, 3});
    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.findResources(), 3);
    ConnectScript answers({"list:dbl:1"});
    QCOMPARE(dialog.exec(), 1);
    QCOMPARE(answers.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(dialog.descr(), resourceName(2));

    // A row that cannot be selected does nothing on a double-click.
    dialog.d_descr.clear();
    dialog.d_tree->topLevelItem(0)->setFlags(Qt::ItemIsEnabled);
    dialog.dblClick(dialog.d_tree->topLevelItem(0));
    QVERIFY(dialog.descr().isEmpty());
}

QTEST_MAIN(tst_select)
#include "tst_select.moc"
