// Connection flow, address dialog, search and selection dialog against the
// scripted double of the driver and VISA libraries.
#include "fake_driver.h"
#include "gui_test_util.h"

namespace {

QString initCall(const QString &resource)
{
    return QStringLiteral("cv4870_init(\"%1\", 1, 0)").arg(resource);
}

QString errorCall(ViStatus status)
{
    return QStringLiteral("cv4870_error_message(0, %1)").arg(status);
}

// Resource i of a test network.
QString resourceName(int i)
{
    return QStringLiteral("TCPIP0::10.0.0.%1::23::SOCKET").arg(i);
}

void addResource(const QString &name, const QString &address, const QString &description,
                 ViStatus initStatus = VI_SUCCESS)
{
    fakedrv::resources().push_back({name.toStdString(), initStatus, address.toStdString(), description.toStdString()});
}

void addMainframes(int first, int last)
{
    for (int i = first; i <= last; ++i)
        addResource(resourceName(i), QStringLiteral("10.0.0.%1").arg(i), QStringLiteral("Ostrel 4870 #%1").arg(i));
}

// The calls of one search in which every listed resource is a mainframe;
// the double numbers its sessions from 1001.
QStringList searchCalls(const QStringList &resources)
{
    QStringList calls{"viOpenDefaultRM()", "viFindRsrc(1, \"TCPIP?*SOCKET\")"};
    if (resources.isEmpty())
        return calls << "viClose(1)";
    for (int i = 0; i < resources.size(); ++i)
        calls << initCall(resources.at(i)) << QStringLiteral("viGetAttribute(%1, VI_ATTR_TCPIP_ADDR)").arg(1001 + i)
              << QStringLiteral("cv4870_getDescription(%1)").arg(1001 + i)
              << QStringLiteral("cv4870_close(%1)").arg(1001 + i) << "viFindNext(2)";
    return calls << "viClose(2)"
                 << "viClose(1)";
}

QStringList loggedCalls()
{
    QStringList calls;
    for (const std::string &c : fakedrv::calls())
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

} // namespace

class tst_select : public QObject
{
    Q_OBJECT

    ScratchSettings m_settings;

private slots:
    void initTestCase() { QVERIFY(m_settings.isValid()); }

    void init()
    {
        fakedrv::reset();
        QSettings().clear();
    }

    // Each row walks one road through the flow: the dialogs answered in turn
    // ("kind:action|..."), the result, and every driver and VISA call made.
    void flow_data()
    {
        QTest::addColumn<int>("mainframes"); // resources 1..n on the network
        QTest::addColumn<QList<int>>("inits"); // statuses of the next cv4870_init calls
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("demo");
        QTest::addColumn<QString>("descr");
        QTest::addColumn<QStringList>("calls");
        auto row = [](const QString &tag, int mainframes, const QList<int> &inits, const QString &script, int result,
                      int demo, const QString &descr, const QStringList &calls) {
            QTest::newRow(qPrintable(tag)) << mainframes << inits << script << result << demo << descr << calls;
        };
        const QString demoResource = QStringLiteral("TCPIP::192.168.48.70::23::SOCKET");
        const QString r1 = resourceName(1), r2 = resourceName(2), r3 = resourceName(3);
        const QString typed = QStringLiteral("TCPIP::10.1.2.3::23::SOCKET");
        const QString typed2 = QStringLiteral("TCPIP::10.1.2.4::23::SOCKET");
        const QString empty = QStringLiteral("TCPIP::::23::SOCKET");
        const QString enter = QStringLiteral("choice:Enter Address|address:=10.1.2.3|");
        const QStringList none = searchCalls({}), three = searchCalls({r1, r2, r3});
        const int nf = VI_ERROR_RSRC_NFOUND, warn = VI_WARN_NSUP_ID_QUERY, inv = VI_ERROR_INV_RSRC_NAME;

        row("choice: demo", 0, {}, "choice:Run In Demo Mode", 1, 1, demoResource, {});
        for (const QString a : {"Cancel", "<escape>", "<close>"}) {
            row("choice: " + a, 0, {}, "choice:" + a, 0, 0, {}, {});
            row("list: " + a, 3, {}, "choice:Auto Find|list:" + a, 0, 0, r3, three);
            row("address: " + a, 0, {}, "choice:Enter Address|address:" + a, 0, 0, {}, {});
        }
        row("nothing found: demo", 0, {}, "choice:Auto Find|none:Run In Demo Mode", 1, 1, demoResource, none);
        row("nothing found: cancel", 0, {}, "choice:Auto Find|none:Cancel", 0, 0, {}, none);
        row("nothing found: try again", 0, {}, "choice:Auto Find|none:Try Again|choice:Cancel", 0, 0, {}, none);
        row("one found: probed at once", 1, {}, "choice:Auto Find", 1, 0, r1, searchCalls({r1}) << initCall(r1));
        row("list: second row", 3, {}, "choice:Auto Find|list:row:1", 1, 0, r2, three + QStringList(initCall(r2)));
        row("address: connected", 0, {}, enter.chopped(1), 1, 0, typed, {initCall(typed)});
        row("address: probe fails", 0, {nf}, enter + "fail:Cancel", 0, 0, typed, {initCall(typed), errorCall(nf)});
        row("address: probe fails, try again, second address", 0, {nf},
            enter + "fail:Try Again|choice:Enter Address|address:=10.1.2.4", 1, 0, typed2,
            {initCall(typed), errorCall(nf), initCall(typed2)});
        row("address: empty text", 0, {inv}, "choice:Enter Address|address:=|fail:Cancel", 0, 0, empty,
            {initCall(empty), errorCall(inv)});
        // A warning from the probe is a failure: its session is closed before
        // the question, and so before the choice box comes back.
        row("address: probe warns", 0, {warn}, enter + "fail:Try Again|choice:Run In Demo Mode", 1, 1, demoResource,
            {initCall(typed), "cv4870_close(1001)", errorCall(warn)});
        row("failed probe, then a search", 2, {nf}, enter + "fail:Try Again|choice:Auto Find|list:row:0", 1, 0, r1,
            QStringList{initCall(typed), errorCall(nf)} + searchCalls({r1, r2}) << initCall(r1));
    }

    void flow()
    {
        QFETCH(int, mainframes);
        QFETCH(QList<int>, inits);
        QFETCH(QString, script);
        QFETCH(int, result);
        QFETCH(int, demo);
        QFETCH(QString, descr);
        QFETCH(QStringList, calls);
        addMainframes(1, mainframes);
        for (int st : inits)
            fakedrv::pushStatus("cv4870_init", st);
        DialogScript answers(script.split(QLatin1Char('|')));

        QWidget owner;
        cv4870fp_select dialog(&owner);
        QCOMPARE(dialog.connectMainframe(), result);
        QCOMPARE(answers.stepsLeft(), 0);
        QCOMPARE(dialog.d_demo, demo);
        QCOMPARE(dialog.descr(), descr);
        QCOMPARE(loggedCalls(), calls);
        // Only the session of a successful probe is left open.
        if (result == 1 && demo == 0) {
            QCOMPARE(fakedrv::openSessions(), std::vector<ViSession>{dialog.d_session});
            QCOMPARE(QString::fromStdString(fakedrv::resourceOf(dialog.d_session)), descr);
        } else {
            QVERIFY(fakedrv::openSessions().empty());
        }
    }

    // The three message boxes of the flow. Neither question has an escape:
    // Escape and closing the window leave it up.
    void messageBoxes()
    {
        fakedrv::pushStatus("cv4870_init", VI_ERROR_TMO);
        fakedrv::mainframe().errorText = "Timeout expired before operation completed.";
        bool choiceHasIcon = false, noneStayed = false, failStayed = false;
        auto stubborn = [](bool *stayed) {
            return [stayed](QWidget *w) {
                QTest::keyClick(w, Qt::Key_Escape);
                const bool afterEscape = w->isVisible();
                w->close();
                *stayed = afterEscape && w->isVisible();
            };
        };
        DialogScript answers;
        answers.add("choice", "Auto Find", [&](QWidget *w) {
            choiceHasIcon = !w->windowIcon().isNull() && static_cast<QMessageBox *>(w)->icon() == QMessageBox::Question;
        });
        answers.add("none", "Try Again", stubborn(&noneStayed));
        answers.add("choice", "Enter Address");
        answers.add("address", "=10.1.2.3");
        answers.add("fail", "Cancel", stubborn(&failStayed));

        cv4870fp_select dialog(nullptr);
        QCOMPARE(dialog.connectMainframe(), 0);
        QCOMPARE(answers.stepsLeft(), 0);
        QVERIFY(choiceHasIcon && noneStayed && failStayed);
        const QList<DialogScript::Shown> &shown = answers.shown();
        // The choice box is one object, shown again after "Try Again".
        QCOMPARE(shown.at(0).widget, shown.at(2).widget);
        // Title, text, buttons, default button, and the box's parent.
        auto summary = [&](int at) {
            return QStringList{shown.at(at).title, shown.at(at).text, shown.at(at).buttons.join(QLatin1Char('/')),
                               shown.at(at).defaultButton,
                               shown.at(at).parent == &dialog ? "on dialog"
                               : shown.at(at).parent          ? "elsewhere"
                                                              : "alone"};
        };
        const QString title = QStringLiteral("Ostrel 4870 SFP: Connect to VXI Mainframe");
        QCOMPARE(summary(0), (QStringList{title, "How to connect to Ostrel 4870 VXI Mainframe?",
                                          "Cancel/Auto Find/Run In Demo Mode/Enter Address", "Auto Find", "alone"}));
        QCOMPARE(summary(1), (QStringList{title, "No Ostrel 4870 Mainframe found on your system.",
                                          "Try Again/Run In Demo Mode/Cancel", "Try Again", "on dialog"}));
        QCOMPARE(summary(4), (QStringList{title,
                                          "Selected Ostrel 4870 Mainframe is unavailable.\n"
                                          "Error: Timeout expired before operation completed.",
                                          "Try Again/Cancel", "Try Again", "on dialog"}));
    }

    void addressStoredBeforeProbe_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("prefill");
        QTest::newRow("nothing stored") << QVariant() << QStringLiteral("10.48.70.1");
        QTest::newRow("empty stored") << QVariant(QString()) << QStringLiteral("10.48.70.1");
        QTest::newRow("host name, blanks") << QVariant(QStringLiteral(" frame.lab ")) << QStringLiteral(" frame.lab ");
    }

    // The typed address, blanks and all, is in the store when the probe runs.
    // A second "Enter Address" shows the same dialog with what was typed, even
    // when the store has changed in between.
    void addressStoredBeforeProbe()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, prefill);
        if (stored.isValid())
            QSettings().setValue("ip_addr", stored);
        const QString typed = QStringLiteral(" 10.9.8.7 ");
        QString atProbe = QStringLiteral("<not read>");
        fakedrv::setHook("cv4870_init", [&] {
            atProbe = QSettings().value("ip_addr").toString();
            QSettings().setValue("ip_addr", QStringLiteral("172.16.0.1"));
        });
        fakedrv::pushStatus("cv4870_init", VI_ERROR_RSRC_NFOUND);
        DialogScript answers(
            {"choice:Enter Address", "address:=" + typed, "fail:Try Again", "choice:Enter Address", "address:Cancel"});

        cv4870fp_select dialog(nullptr);
        QCOMPARE(dialog.connectMainframe(), 0);
        QCOMPARE(answers.stepsLeft(), 0);
        QCOMPARE(atProbe, typed);
        QCOMPARE(dialog.descr(), "TCPIP::" + typed + "::23::SOCKET");
        const QList<DialogScript::Shown> &shown = answers.shown();
        QCOMPARE(shown.at(1).title, QStringLiteral("Ostrel 4870 SFP: Enter VXI Mainframe TCP/IP Address"));
        QCOMPARE(shown.at(1).field, prefill);
        QCOMPARE(shown.at(4).field, typed);
        QCOMPARE(shown.at(1).widget, shown.at(4).widget);
    }

    void listAfterSearch()
    {
        // Listed out of order; a warning from the driver still lists a resource.
        const QStringList order{"TCPIP0::10.0.0.9::23::SOCKET", "TCPIP0::10.0.0.10::23::SOCKET",
                                "TCPIP1::10.0.0.2::23::SOCKET"};
        addResource(order[1], "10.0.0.10", "Ostrel 4870 rack B");
        addResource(order[2], "10.0.0.2", "Ostrel 4870 rack C", VI_WARN_NSUP_ID_QUERY);
        addResource(order[0], "10.0.0.9", "Ostrel 4870 rack A");

        cv4870fp_select dialog(nullptr);
        QCOMPARE(dialog.findResources(), 3);

        QTreeWidget *tree = dialog.d_tree;
        QCOMPARE(rowTexts(tree, 0), (QStringList{"10.0.0.9", "10.0.0.10", "10.0.0.2"}));
        QCOMPARE(rowTexts(tree, 1), (QStringList{"Ostrel 4870 rack A", "Ostrel 4870 rack B", "Ostrel 4870 rack C"}));
        QCOMPARE(tree->headerItem()->text(0) + "/" + tree->headerItem()->text(1), QStringLiteral("TCP/IP Addr/Module"));
        for (int i = 0; i < 3; ++i) {
            QTreeWidgetItem *item = tree->topLevelItem(i);
            QCOMPARE(item->data(0, Qt::StatusTipRole).toString(), item->text(0));
            QCOMPARE(item->data(1, Qt::StatusTipRole).toString(), item->text(1));
            QCOMPARE(item->data(2, Qt::StatusTipRole).toString(), order.at(i));
            QCOMPARE(item->flags(), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        }
        QCOMPARE(dialog.descr(), order.last());
        QVERIFY(fakedrv::openSessions().empty());

        // A second search replaces the rows of the first. An address as long
        // as VISA's largest attribute is read whole; a read that fails leaves
        // an empty text, not what the previous resource left.
        fakedrv::resources().clear();
        const QString name = QString(247, QLatin1Char('m')) + QStringLiteral(".example");
        addResource("TCPIP0::frame::23::SOCKET", name, "Ostrel 4870 named");
        addMainframes(2, 2);
        fakedrv::pushStatus("viGetAttribute", VI_SUCCESS);
        fakedrv::pushStatus("viGetAttribute", VI_ERROR_NSUP_ATTR);
        fakedrv::pushStatus("cv4870_getDescription", VI_SUCCESS);
        fakedrv::pushStatus("cv4870_getDescription", VI_ERROR_TMO);
        QCOMPARE(dialog.findResources(), 2);
        QCOMPARE(rowTexts(tree, 0), (QStringList{name, ""}));
        QCOMPARE(rowTexts(tree, 1), (QStringList{"Ostrel 4870 named", ""}));
        QCOMPARE(dialog.descr(), resourceName(2));
    }

    void searchSkipsWhatItCannotUse()
    {
        // No resource manager: nothing else is called, nothing is closed.
        fakedrv::pushStatus("viOpenDefaultRM", VI_ERROR_SYSTEM_ERROR);
        cv4870fp_select dialog(nullptr);
        dialog.d_descr = QStringLiteral("unchanged");
        QCOMPARE(dialog.findResources(), 0);
        QCOMPARE(loggedCalls(), QStringList{"viOpenDefaultRM()"});

        // Resources the driver refuses are passed over; an empty result keeps
        // the resource string.
        fakedrv::clearCalls();
        addResource(resourceName(1), "10.0.0.1", "x", VI_ERROR_FAIL_ID_QUERY);
        addResource(resourceName(2), "10.0.0.2", "y", VI_ERROR_TMO);
        QCOMPARE(dialog.findResources(), 0);
        QCOMPARE(loggedCalls(), (QStringList{"viOpenDefaultRM()", "viFindRsrc(1, \"TCPIP?*SOCKET\")",
                                             initCall(resourceName(1)), "viFindNext(2)", initCall(resourceName(2)),
                                             "viFindNext(2)", "viClose(2)", "viClose(1)"}));
        QCOMPARE(dialog.descr(), QStringLiteral("unchanged"));

        // The list ends when VISA stops returning resources, whatever the count.
        fakedrv::resources().clear();
        addMainframes(1, 3);
        fakedrv::pushStatus("viFindNext", VI_ERROR_IO);
        QCOMPARE(dialog.findResources(), 1);
        QCOMPARE(dialog.descr(), resourceName(1));
    }

    void resourceOrder_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order"); // -1: a first, 1: b first, 0: neither
        auto row = [](const char *tag, const char *a, const char *b, int order) {
            QTest::newRow(tag) << QString(a) << QString(b) << order;
        };
        row("octet 9 before 10", "TCPIP0::10.0.0.9::23::SOCKET", "TCPIP0::10.0.0.10::23::SOCKET", -1);
        row("first octet first", "TCPIP0::9.255.255.255::23::SOCKET", "TCPIP0::10.0.0.0::23::SOCKET", -1);
        row("board before address", "TCPIP0::200.0.0.1::23::SOCKET", "TCPIP1::1.0.0.1::23::SOCKET", -1);
        row("port does not count", "TCPIP0::10.0.0.1::23::SOCKET", "TCPIP0::10.0.0.1::5025::SOCKET", 0);
        row("host name before dotted", "TCPIP0::zeta::23::SOCKET", "TCPIP0::1.0.0.0::23::SOCKET", -1);
        row("partial address", "TCPIP0::10.0.frame::23::SOCKET", "TCPIP0::10.0.0.1::23::SOCKET", -1);
        row("lower-case type", "tcpip0::10.0.0.9::23::socket", "TCPIP0::10.0.0.10::23::SOCKET", -1);
        row("no board number: all zero", "TCPIP::10.0.0.9::23::SOCKET", "TCPIP::10.0.0.10::23::SOCKET", 0);
        row("types differ: text order", "GPIB0::1::INSTR", "TCPIP0::1.0.0.0::23::SOCKET", -1);
        row("types differ: case counts", "TCPIPZ::1::SOCKET", "tcpip0::1.0.0.0::23::socket", -1);
        row("GPIB by board", "GPIB10::1::INSTR", "GPIB2::9::INSTR", 1);
        row("GPIB-VXI parses as GPIB without board", "GPIB-VXI3::1::INSTR", "GPIB2::9::INSTR", -1);
        row("ASRL by board", "ASRL10::INSTR", "ASRL2::INSTR", 1);
        row("VXI same board", "VXI0::9::INSTR", "VXI0::1::INSTR", 0);
        row("other type: text order", "USB0::2::INSTR", "USB0::10::INSTR", 1);
        row("empty strings", "", "", 0);
        row("huge numbers clamp", "TCPIP0::99999999999999999999.1.1.1::23::SOCKET",
            "TCPIP0::2147483647.1.1.2::23::SOCKET", -1);
        row("negative board", "TCPIP-1::1.1.1.1::23::SOCKET", "TCPIP0::1.1.1.1::23::SOCKET", -1);
    }

    void resourceOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(resourceLessThan(a, b), order < 0);
        QCOMPARE(resourceLessThan(b, a), order > 0);
    }

    // "OK" with no current row, or with a current row that cannot be
    // selected, says so in a debug message and leaves the dialog open; a
    // double-click on such a row does nothing. A double-click accepts a row.
    void acceptRow()
    {
        addMainframes(1, 3);
        cv4870fp_select dialog(nullptr);
        QCOMPARE(dialog.findResources(), 3);
        dialog.d_descr = QStringLiteral("before");
        const char message[] = "Select one available motherboard and then click \"OK\" \nor click \"Cancel\" to quit";
        QTest::ignoreMessage(QtDebugMsg, message);
        QTest::ignoreMessage(QtDebugMsg, message);
        QStringList after; // the result while the dialog stays open
        DialogScript answers;
        answers.add("list", "dbl:1", [&](QWidget *w) {
            auto note = [&] { after << (w->isVisible() ? dialog.descr() : QStringLiteral("closed")); };
            // The view makes its first row current when it takes the focus.
            dialog.d_tree->setCurrentItem(nullptr);
            dialog.d_okButton->click();
            note();
            QTreeWidgetItem *first = dialog.d_tree->topLevelItem(0);
            dialog.d_tree->setCurrentItem(first);
            first->setFlags(Qt::ItemIsEnabled);
            dialog.d_okButton->click();
            note();
            dialog.d_tree->setCurrentItem(dialog.d_tree->topLevelItem(2));
            dialog.dblClick(first);
            note();
        });
        QCOMPARE(dialog.exec(), 1);
        QCOMPARE(answers.stepsLeft(), 0);
        QCOMPARE(after, (QStringList{"before", "before", "before"}));
        QCOMPARE(dialog.descr(), resourceName(2));
    }
};

QTEST_MAIN(tst_select)
#include "tst_select.moc"
