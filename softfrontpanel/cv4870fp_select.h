// Connecting to a mainframe: the selection dialog that carries the result
// of the connection flow, the address dialog and the resource search.
#ifndef CV4870FP_SELECT_H
#define CV4870FP_SELECT_H

#include <QDialog>
#include <QString>
#include <QStringList>

#include "visatype.h"

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// One resource found by the search.
struct resourceInfo_t
{
    QString descr; // VISA resource string as the search returned it
    QString address; // VI_ATTR_TCPIP_ADDR of the open session
    QString description; // module description from the driver
    QStringList columns; // row texts: address, then description
};

// Argument of the per-resource function of the parallel step.
struct getResourceInfo_params_t
{
    QWidget *app;
    ViSession rm;
    resourceInfo_t info;
};

// Fills params->info.columns with the address and the description.
void getResourceInfo(getResourceInfo_params_t *params);
// Order of resource strings: TCPIP resources by board number, then by the
// four octets of a dotted address as numbers (a host name counts as
// 0.0.0.0); VXI, GPIB, SOCKET, BACKPLANE, PXI and ASRL by board number;
// different or other interface types by plain text order.
bool resourceLessThan(QString a, QString b);

// The address dialog: d_ipAddr is prefilled once, from the stored address
// or the default entry address; the dialog never writes the store.
class cv4870fp_enterAddress : public QDialog
{
    Q_OBJECT
public:
    cv4870fp_enterAddress();

    QLineEdit *d_ipAddr;
};

// The selection dialog: lists the mainframes found and carries the result
// of the connection flow (resource string, demo flag, driver session).
class cv4870fp_select : public QDialog
{
    Q_OBJECT
public:
    explicit cv4870fp_select(QWidget *owner);
    ~cv4870fp_select() override;

    QString descr();
    // Asks how to connect and runs the chosen way. 1: connected (d_session
    // is open on descr()) or demo mode (d_demo is 1); 0: cancelled.
    int connectMainframe();
    // Searches the network and refills the list; returns the number of
    // rows, and when there is one, d_descr names the last.
    virtual int findResources();

public slots:
    void dblClick(QTreeWidgetItem *item);
    void okPressed();

public:
    QPushButton *d_okButton;
    QTreeWidget *d_tree;
    QPushButton *d_cancelButton;
    QString d_descr;
    int d_demo;
    ViSession d_session;
    QWidget *d_app;
};

#endif // CV4870FP_SELECT_H
