// The search for mainframes on the network: VISA lists the raw-socket
// TCP/IP resources, the driver tells which of them are mainframes of this
// kind, and the selection dialog's list shows them in resource order.
#include "cv4870fp_select.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QProgressDialog>
#include <QThreadPool>
#include <QTreeWidget>
#include <QVector>
#include <QtConcurrent/QtConcurrentMap>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <vector>

#include "cv4870.h"
#include "visa.h"

namespace {

const char findExpression[] = "TCPIP?*SOCKET";
// VISA's largest string attribute; also holds an IPv6 address or a name.
const int addressBufferSize = 256;

// The leading part of a resource string that orders resources:
// interface type, board number and the four octets of a dotted address.
struct ResourceKey
{
    QByteArray type;
    int numbers[5] = {0, 0, 0, 0, 0}; // board, then the four octets
};

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads an optionally signed decimal number at *pos; clamps instead of
// overflowing. Leaves *pos alone and returns false when there is none.
bool readNumber(const QByteArray &s, int *pos, int *value)
{
    int i = *pos;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    if (i >= s.size() || !isDigit(s[i]))
        return false;
    long long v = 0;
    for (; i < s.size() && isDigit(s[i]); ++i)
        v = std::min<long long>(v * 10 + (s[i] - '0'), static_cast<long long>(INT_MAX) + 1);
    if (negative)
        v = -v;
    *value = static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, v)));
    *pos = i;
    return true;
}

bool readLiteral(const QByteArray &s, int *pos, const char *literal)
{
    const int n = static_cast<int>(std::strlen(literal));
    if (s.mid(*pos, n) != literal)
        return false;
    *pos += n;
    return true;
}

// Parses "<letters><board>::<a>.<b>.<c>.<d>" from the start; stops at the
// first part that does not fit, leaving the numbers not reached at 0.
ResourceKey parseResource(const QString &resource)
{
    const QByteArray s = resource.toLatin1();
    ResourceKey key;
    int pos = 0;
    while (pos < s.size() && pos < 255 && isLetter(s[pos]))
        ++pos;
    key.type = s.left(pos).toUpper();
    if (pos == 0)
        return key;
    if (!readNumber(s, &pos, &key.numbers[0]) || !readLiteral(s, &pos, "::"))
        return key;
    for (int i = 1; i <= 4; ++i) {
        if (i > 1 && !readLiteral(s, &pos, "."))
            break;
        if (!readNumber(s, &pos, &key.numbers[i]))
            break;
    }
    return key;
}

bool isBoardOrderedType(const QByteArray &type)
{
    static const char *const types[] = {"VXI", "GPIB-VXI", "GPIB", "SOCKET", "BACKPLANE", "PXI", "ASRL"};
    for (const char *t : types)
        if (type == t)
            return true;
    return false;
}

// Sorts the records by resourceLessThan on their resource strings. The
// ordering mixes numeric and plain text comparison, so across interface
// types it need not be transitive; a merge sort stays within the range
// whatever the comparison answers, which std::sort does not promise.
void sortByResource(QList<resourceInfo_t> &list)
{
    std::vector<resourceInfo_t> items(list.begin(), list.end());
    std::vector<resourceInfo_t> merged(items.size());
    const size_t n = items.size();
    auto less = [](const resourceInfo_t &a, const resourceInfo_t &b) { return resourceLessThan(a.descr, b.descr); };
    for (size_t width = 1; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            const size_t mid = std::min(lo + width, n);
            const size_t hi = std::min(lo + 2 * width, n);
            const auto at = [](std::vector<resourceInfo_t> &v, size_t i) {
                return v.begin() + static_cast<std::ptrdiff_t>(i);
            };
            std::merge(std::make_move_iterator(at(items, lo)), std::make_move_iterator(at(items, mid)),
                       std::make_move_iterator(at(items, mid)), std::make_move_iterator(at(items, hi)), at(merged, lo),
                       less);
        }
        items.swap(merged);
    }
    list = QList<resourceInfo_t>(items.begin(), items.end());
}

} // namespace

void getResourceInfo(getResourceInfo_params_t *params)
{
    params->info.columns.append(params->info.address);
    params->info.columns.append(params->info.description);
}

bool resourceLessThan(QString a, QString b)
{
    const ResourceKey ka = parseResource(a);
    const ResourceKey kb = parseResource(b);
    if (ka.type != kb.type)
        return a < b;
    if (ka.type == "TCPIP")
        return std::lexicographical_compare(std::begin(ka.numbers), std::end(ka.numbers), std::begin(kb.numbers),
                                            std::end(kb.numbers));
    if (isBoardOrderedType(ka.type))
        return ka.numbers[0] < kb.numbers[0];
    return a < b;
}

int cv4870fp_select::findResources()
{
    QList<resourceInfo_t> list;
    d_tree->clear();

    ViSession rm = VI_NULL;
    ViFindList findList = VI_NULL;
    bool rmOpen = false;
    bool findOpen = false;

    if (viOpenDefaultRM(&rm) == VI_SUCCESS) {
        rmOpen = true;
        char resource[VI_FIND_BUFLEN];
        std::memset(resource, 0, sizeof resource);
        ViUInt32 remaining = 0;
        if (viFindRsrc(rm, findExpression, &findList, &remaining, resource) == VI_SUCCESS) {
            findOpen = true;
            while (remaining != 0) {
                resource[sizeof resource - 1] = '\0';
                ViSession vi = VI_NULL;
                if (cv4870_init(resource, VI_TRUE, VI_FALSE, &vi) >= 0) {
                    // Cleared before each read: a failed read shows an
                    // empty text, never what the previous resource left.
                    char address[addressBufferSize];
                    char description[CV4870_DESCRIPTION_BUFLEN];
                    std::memset(address, 0, sizeof address);
                    std::memset(description, 0, sizeof description);
                    viGetAttribute(vi, VI_ATTR_TCPIP_ADDR, address);
                    cv4870_getDescription(vi, description);
                    cv4870_close(vi);
                    address[sizeof address - 1] = '\0';
                    description[sizeof description - 1] = '\0';

                    resourceInfo_t info;
                    info.descr = QString::fromLatin1(resource);
                    info.address = QString::fromLatin1(address);
                    info.description = QString::fromLatin1(description);
                    list.append(info);
                }
                --remaining;
                if (viFindNext(findList, resource) != VI_SUCCESS)
                    break;
            }
        }
    }

    // Row texts are built on the global thread pool behind a progress
    // dialog; the results are read only after the map has finished.
    const int count = list.size();
    getResourceInfo_params_t *params = new getResourceInfo_params_t[static_cast<size_t>(count)];
    QProgressDialog *progress = new QProgressDialog(this);
    QFutureWatcher<void> *watcher = new QFutureWatcher<void>;
    QThreadPool::globalInstance()->setMaxThreadCount(256);
    QVector<getResourceInfo_params_t *> pointers;
    for (int i = 0; i < count; ++i) {
        params[i].app = d_app;
        params[i].info = list.at(i);
        params[i].rm = rm;
        pointers.append(&params[i]);
    }
    progress->setWindowTitle(QStringLiteral("Ostrel 4870"));
    progress->setLabelText(QStringLiteral("Searching..."));
    progress->setCancelButton(nullptr);
    connect(watcher, &QFutureWatcher<void>::finished, progress, &QProgressDialog::reset);
    connect(watcher, &QFutureWatcher<void>::progressRangeChanged, progress, &QProgressDialog::setRange);
    connect(watcher, &QFutureWatcher<void>::progressValueChanged, progress, &QProgressDialog::setValue);
    watcher->setFuture(QtConcurrent::map(pointers, getResourceInfo));
    progress->exec();
    watcher->waitForFinished();
    for (int i = 0; i < count; ++i)
        list[i] = params[i].info;
    delete[] params;
    delete watcher;
    delete progress;

    if (!list.isEmpty())
        sortByResource(list);

    int rows = 0;
    for (const resourceInfo_t &info : qAsConst(list)) {
        if (info.columns.isEmpty())
            continue;
        QTreeWidgetItem *item = new QTreeWidgetItem(info.columns);
        item->setData(0, Qt::StatusTipRole, info.address);
        item->setData(1, Qt::StatusTipRole, info.description);
        item->setData(2, Qt::StatusTipRole, info.descr);
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        d_tree->addTopLevelItem(item);
        ++rows;
        d_descr = info.descr;
    }
    d_tree->resizeColumnToContents(0);
    d_tree->resizeColumnToContents(1);

    if (findOpen)
        viClose(findList);
    if (rmOpen)
        viClose(rm);
    return rows;
}
