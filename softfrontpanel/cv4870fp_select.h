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
    QString descr;       // VISA resource string as the search returned it
    QString address;     // VI_ATTR_TCPIP_ADDR of the open session
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

void getResourceInfo(getResourceInfo_params_t *params);
bool resourceLessThan(QString a, QString b);

class cv4870fp_enterAddress : public QDialog
{
    Q_OBJECT
public:
    cv4870fp_enterAddress();

    QLineEdit *d_ipAddr;
};

class cv4870fp_select : public QDialog
{
    Q_OBJECT
public:
    explicit cv4870fp_select(QWidget *owner);
    ~cv4870fp_select() override;

    QString descr();
    int connectMainframe();
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
