/* viFindRsrc and viFindNext: the expression grammar over mixed resource
 * lists, the resource file and its scan ranges on loopback addresses. */
#include "loopbackpeer.h"
#include "rsrcfile.h"
#include "visa.h"

#include <QtTest>

#include <clocale>
#include <memory>
#include <string>

#include <sys/stat.h>

namespace {

/* Block probed by this test program; other programs use other blocks. */
const char kScanBase[] = "127.41.2.";

const char *const kMixed[] = {
    "TCPIP0::192.168.1.10::5025::SOCKET", /* 0 */
    "TCPIP0::192.168.1.10::inst0::INSTR", /* 1 */
    "tcpip1::host::5025::socket", /* 2 */
    "GPIB0::8::INSTR", /* 3 */
    "ASRL1::INSTR", /* 4 */
    "ASRL11::INSTR", /* 5 */
    "VXI0::1::INSTR", /* 6 */
    "TCPIP::10.0.0.1::23::SOCKETX", /* 7 */
    "TCPIP::127.0.0.1::23::SOCKET", /* 8 */
};

const char kInvalid[] = "<invalid expression>";

/* The same names as a search lists them: canonical where the name is one
 * the library knows, else as written. */
const char *const kListed[] = {
    "TCPIP0::192.168.1.10::5025::SOCKET",
    "TCPIP0::192.168.1.10::inst0::INSTR",
    "TCPIP1::host::5025::SOCKET",
    "GPIB0::8::INSTR",
    "ASRL1::INSTR",
    "ASRL11::INSTR",
    "VXI0::1::INSTR",
    "TCPIP::10.0.0.1::23::SOCKETX",
    "TCPIP0::127.0.0.1::23::SOCKET",
};

QStringList mixed(std::initializer_list<int> indexes)
{
    QStringList out;
    for (int i : indexes)
        out << kListed[i];
    return out;
}

} // namespace

class tst_VisaFind : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void expressions_data();
    void expressions();
    void caseIgnoresLocale();
    void resourceFile();
    void fileLocation();
    void findListLifetime();
    void scanFindsListeners();

private:
    /* Writes text to name in the temporary directory; returns its path. */
    QByteArray writeFile(const QString &name, const QByteArray &text);
    void writeResources(const QByteArray &text) { qputenv("CV_VISA_RESOURCES", writeFile("resources.conf", text)); }
    /* Every name viFindRsrc and viFindNext return for expr. */
    QStringList findAll(const char *expr, ViStatus *status = nullptr);

    ViSession rm_ = VI_NULL;
    std::unique_ptr<QTemporaryDir> dir_;
};

void tst_VisaFind::init()
{
    dir_.reset(new QTemporaryDir);
    QVERIFY(dir_->isValid());
    QCOMPARE(viOpenDefaultRM(&rm_), VI_SUCCESS);
}

void tst_VisaFind::cleanup()
{
    viClose(rm_);
    rm_ = VI_NULL;
    qunsetenv("CV_VISA_RESOURCES");
}

QByteArray tst_VisaFind::writeFile(const QString &name, const QByteArray &text)
{
    const QString path = dir_->filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
    return QFile::encodeName(path);
}

QStringList tst_VisaFind::findAll(const char *expr, ViStatus *status)
{
    QStringList names;
    ViFindList list = VI_NULL;
    ViUInt32 count = 12345;
    ViChar desc[VI_FIND_BUFLEN];
    ViStatus st = viFindRsrc(rm_, expr, &list, &count, desc);
    if (status)
        *status = st;
    if (st != VI_SUCCESS)
        return count != 0 || list != VI_NULL ? QStringList("<count or list set on failure>") : names;
    names << desc;
    while (viFindNext(list, desc) == VI_SUCCESS)
        names << desc;
    if (names.size() != int(count))
        names << "<count differs>";
    viClose(list);
    return names;
}

void tst_VisaFind::expressions_data()
{
    QTest::addColumn<QByteArray>("expr");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("sockets") << QByteArray("TCPIP?*SOCKET") << mixed({0, 2, 8});
    QTest::newRow("any instr") << QByteArray("?*INSTR") << mixed({1, 3, 4, 5, 6});
    QTest::newRow("everything") << QByteArray("?*") << mixed({0, 1, 2, 3, 4, 5, 6, 7, 8});
    QTest::newRow("alternation in group") << QByteArray("(GPIB|VXI)?*INSTR") << mixed({3, 6});
    QTest::newRow("not whole names") << QByteArray("VXI|GPIB") << QStringList();
    QTest::newRow("group plus") << QByteArray("AS(RL1)+1*::INSTR") << mixed({4, 5});
    QTest::newRow("star of letters") << QByteArray("[a-z]*1::INSTR") << mixed({4});
    QTest::newRow("negated list none") << QByteArray("GPIB[^0]::?*INSTR") << QStringList();
    QTest::newRow("last not T") << QByteArray("?*[^T]") << mixed({1, 3, 4, 5, 6, 7});
    QTest::newRow("board choice") << QByteArray("TCPIP(0|1)::?*") << mixed({0, 1, 2, 8});
    QTest::newRow("escaped dots") << QByteArray("tcpip0::192\\.168\\.1\\.10::?*") << mixed({0, 1});
    QTest::newRow("question one char") << QByteArray("ASRL?::INSTR") << mixed({4});
    QTest::newRow("list of letters") << QByteArray("[AGV][SPX]?*") << mixed({3, 4, 5, 6});
    QTest::newRow("nested groups") << QByteArray("((TCPIP|tcpip)[0-9]*)::?*::((SOCKET))") << mixed({0, 2, 8});
    /* refused expressions: no names, VI_ERROR_INV_EXPR */
    for (const char *e : {"",    "?*(",  "(",  ")",   "*",     "+ABC", "A**",
                          "A*+", "[",    "[]", "[^]", "[z-a]", "[abc", "A|",
                          "|A",  "A||B", "()", "(|)", "ABC\\", "]",    "?*{VI_ATTR_TCPIP_PORT==23}",
                          "A}"})
        QTest::newRow(e) << QByteArray(e) << QStringList(kInvalid);
    QTest::newRow("too deep") << (QByteArray(100, '(') + "A" + QByteArray(100, ')')) << QStringList(kInvalid);
    QTest::newRow("too long") << QByteArray(5000, 'A') << QStringList(kInvalid);
    /* the automaton's size, not the text's, decides: 1,300 alternatives
     * collapse into one state, "an A 24 characters before the end" needs
     * 2^24 states and is refused */
    QTest::newRow("many alternatives") << (QByteArray("?*|").repeated(1300) + "?*")
                                       << mixed({0, 1, 2, 3, 4, 5, 6, 7, 8});
    QTest::newRow("too many states") << ("?*A" + QByteArray(24, '?')) << QStringList(kInvalid);
}

void tst_VisaFind::expressions()
{
    QFETCH(QByteArray, expr);
    QFETCH(QStringList, expected);
    QByteArray file = "# mixed interfaces\n";
    for (const char *name : kMixed)
        file += QByteArray(name) + "\n";
    writeResources(file);
    ViStatus st;
    const bool invalid = expected == QStringList(kInvalid);
    QCOMPARE(findAll(expr.constData(), &st), invalid ? QStringList() : expected);
    QCOMPARE(st, invalid ? VI_ERROR_INV_EXPR : expected.isEmpty() ? VI_ERROR_RSRC_NFOUND : VI_SUCCESS);
}

/* The program runs in the user's locale; in a Turkish one the C library
 * does not pair 'i' with 'I'. Matching and duplicate removal must not care. */
void tst_VisaFind::caseIgnoresLocale()
{
    const std::string saved = setlocale(LC_CTYPE, nullptr);
    if (!setlocale(LC_CTYPE, "tr_TR.UTF-8"))
        QSKIP("no Turkish locale installed");
    QByteArray file;
    for (const char *name : kMixed)
        file += QByteArray(name) + "\n";
    file += "tcpip0::192.168.1.10::5025::socket\n"; /* a duplicate of the first socket */
    writeResources(file);
    const QStringList found = findAll("tcpip?*SOCKET");
    setlocale(LC_CTYPE, saved.c_str());
    QCOMPARE(found, mixed({0, 2, 8}));
}

void tst_VisaFind::resourceFile()
{
    /* comments, blanks, duplicates (any case), bad lines and scans that are
     * too wide, malformed or without a port: each skipped line is reported */
    writeResources("# instruments of the rack\n"
                   "   TCPIP::127.0.0.1::23::SOCKET   # front panel\n\n\t\n"
                   "tcpip0::127.0.0.1::23::socket\n"
                   "GPIB0::8::INSTR\r\n"
                   "two words\n"
                   "TCPIP::" +
                   QByteArray(250, 'h') +
                   "::23::SOCKET\n"
                   "scan 127.0.0.0/8 23\nscan 127.40.0.0/15 23\nSCAN 127.41.2.0/33 23\nscan 127.41.2.0/26\n"
                   "scan 127.41.2.0/26 0\nscan 127.41.2 23\nscan 127.41.2.0/26 23 x\n"
                   "TCPIP::127.0.0.2::23::SOCKET");
    QCOMPARE(findAll("?*"),
             QStringList({"TCPIP0::127.0.0.1::23::SOCKET", "GPIB0::8::INSTR", "TCPIP0::127.0.0.2::23::SOCKET"}));
    cvvisa::ResourceConfig config;
    cvvisa::loadResourceFile(qEnvironmentVariable("CV_VISA_RESOURCES").toStdString(), &config);
    QCOMPARE(config.scans.size(), std::size_t(0));
    QStringList lines;
    for (const std::string &p : config.problems)
        lines << QString::fromStdString(p).section(':', 0, 0);
    QCOMPARE(lines, QStringList({"7", "8", "9", "10", "11", "12", "13", "14", "15"}));
    QVERIFY(QString::fromStdString(config.problems[2]).contains("larger than /16"));

    /* scan lines are bounded in total, not only one by one */
    cvvisa::ResourceConfig wide;
    cvvisa::parseResourceConfig("scan 127.0.0.0/16 23\nscan 127.1.0.0/16 23\nscan 127.2.0.0/16 23\n"
                                "scan 127.3.0.0/16 23\nscan 127.4.0.0/16 23 # one too many\n",
                                &wide);
    QCOMPARE(wide.scans.size(), std::size_t(4));
    QCOMPARE(wide.problems.size(), std::size_t(1));
    QVERIFY(QString::fromStdString(wide.problems[0]).startsWith("5: "));
    QCOMPARE(wide.scans[3].first, (127u << 24 | 3u << 16) + 1);
    QCOMPARE(wide.scans[3].last, (127u << 24 | 3u << 16 | 0xFFFFu) - 1);

    /* a missing file, a FIFO without a writer and a directory list nothing,
     * and the search returns at once */
    const QByteArray fifo = QFile::encodeName(dir_->filePath("fifo.conf"));
    QCOMPARE(mkfifo(fifo.constData(), 0600), 0);
    for (const QByteArray &path :
         {QFile::encodeName(dir_->filePath("missing.conf")), fifo, QFile::encodeName(dir_->path())}) {
        qputenv("CV_VISA_RESOURCES", path);
        ViStatus st;
        QCOMPARE(findAll("?*", &st), QStringList());
        QCOMPARE(st, VI_ERROR_RSRC_NFOUND);
    }
}

void tst_VisaFind::fileLocation()
{
    /* the variable first, then XDG_CONFIG_HOME, then HOME/.config */
    const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME"), oldHome = qgetenv("HOME");
    writeFile("xdg/cv-visa/resources.conf", "ASRL1::INSTR\n");
    writeFile("home/.config/cv-visa/resources.conf", "ASRL2::INSTR\n");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_->filePath("xdg")));
    qputenv("HOME", QFile::encodeName(dir_->filePath("home")));
    QCOMPARE(findAll("?*"), QStringList({"ASRL1::INSTR"}));
    qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(findAll("?*"), QStringList({"ASRL2::INSTR"}));
    writeResources("ASRL3::INSTR\n");
    QCOMPARE(findAll("?*"), QStringList({"ASRL3::INSTR"}));
    qputenv("HOME", oldHome);
    if (!oldXdg.isEmpty())
        qputenv("XDG_CONFIG_HOME", oldXdg);
}

void tst_VisaFind::findListLifetime()
{
    writeResources("ASRL1::INSTR\nASRL2::INSTR\nASRL3::INSTR\n");
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    ViChar desc[VI_FIND_BUFLEN];
    QCOMPARE(viFindRsrc(rm_, "ASRL?::INSTR", &list, &count, desc), VI_SUCCESS);
    QCOMPARE(viFindNext(list, desc), VI_SUCCESS);
    QCOMPARE(viFindNext(list, desc), VI_SUCCESS);
    QCOMPARE(viFindNext(list, desc), VI_ERROR_RSRC_NFOUND);
    QCOMPARE(viFindNext(list, desc), VI_ERROR_RSRC_NFOUND);
    QCOMPARE(viFindNext(list, nullptr), VI_ERROR_USER_BUF);
    QCOMPARE(viFindNext(rm_, desc), VI_ERROR_NSUP_OPER);
    QCOMPARE(viClose(list), VI_SUCCESS);
    QCOMPARE(viFindNext(list, desc), VI_ERROR_INV_OBJECT);

    /* no list wanted: only the first name and the count */
    QCOMPARE(viFindRsrc(rm_, "?*", nullptr, &count, desc), VI_SUCCESS);
    QCOMPARE(count, ViUInt32(3));
    QCOMPARE(viFindRsrc(rm_, nullptr, nullptr, &count, desc), VI_ERROR_INV_EXPR);

    /* closing the manager frees its lists; a list is not a manager */
    QCOMPARE(viFindRsrc(rm_, "?*", &list, &count, desc), VI_SUCCESS);
    QCOMPARE(viFindRsrc(list, "?*", nullptr, &count, desc), VI_ERROR_NSUP_OPER);
    QCOMPARE(viClose(rm_), VI_SUCCESS);
    QCOMPARE(viFindNext(list, desc), VI_ERROR_INV_OBJECT);
    QCOMPARE(viFindRsrc(rm_, "?*", &list, &count, desc), VI_ERROR_INV_OBJECT);
    rm_ = VI_NULL;
}

void tst_VisaFind::scanFindsListeners()
{
    /* listeners at .5, .17 and .40 on one port, another port at .9, and at
     * .33 one whose queue is full, so it answers no probe */
    LoopbackPeer at5, at17, at40, otherPort, silent;
    QVERIFY(at5.listen(std::string(kScanBase) + "5"));
    const unsigned short port = at5.port();
    QVERIFY(at17.listen(std::string(kScanBase) + "17", port));
    QVERIFY(at40.listen(std::string(kScanBase) + "40", port));
    QVERIFY(otherPort.listen(std::string(kScanBase) + "9"));
    QVERIFY(silent.listen(std::string(kScanBase) + "33", port, 0));
    const std::string silentName = "TCPIP::127.41.2.33::" + std::to_string(port) + "::SOCKET";
    ViSession filler = VI_NULL;
    for (int i = 0; i < 64 && viOpen(rm_, silentName.c_str(), VI_NO_LOCK, 200, &filler) == VI_SUCCESS; ++i) {
    }

    const QByteArray p = QByteArray::number(port);
    writeResources("TCPIP::127.41.2.40::" + p + "::SOCKET\nscan 127.41.2.0/26 " + p +
                   "\n"
                   "scan 127.41.2.16/28 " +
                   p + " 002\n");
    const QString ps = QString::number(port);
    QCOMPARE(findAll("TCPIP?*SOCKET"),
             QStringList({"TCPIP0::127.41.2.40::" + ps + "::SOCKET", "TCPIP0::127.41.2.5::" + ps + "::SOCKET",
                          "TCPIP0::127.41.2.17::" + ps + "::SOCKET", "TCPIP2::127.41.2.17::" + ps + "::SOCKET"}));
}

QTEST_GUILESS_MAIN(tst_VisaFind)
#include "tst_visa_find.moc"
