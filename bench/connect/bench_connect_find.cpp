// Cost of the search behind "Auto Find": n emulated mainframes listed in
// the VISA resource file, each opened, identified, described and closed on
// the GUI thread, then the parallel step behind the progress dialog, the
// sort and the list.
//
// Usage: bench_connect_find [mainframes=64] [runs=7] [silent=0|1]
// With silent=1 a loopback listener that accepts and never answers is
// listed among the mainframes.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressDialog>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "cv4870emu.h"
#include "cv4870fp_select.h"

namespace {

// Notes when the progress dialog opens, i.e. when the sequential part of
// the search (VISA search and one driver session per resource) has ended.
class ProgressClock : public QObject
{
public:
    explicit ProgressClock(const QElapsedTimer *clock)
        : m_clock(clock)
    {
        qApp->installEventFilter(this);
    }
    qint64 shownAtNs = -1;

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() == QEvent::Show && qobject_cast<QProgressDialog *>(o) && shownAtNs < 0)
            shownAtNs = m_clock->nsecsElapsed();
        return false;
    }

private:
    const QElapsedTimer *m_clock;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int n = argc > 1 ? std::max(1, atoi(argv[1])) : 64;
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 7;
    const bool withSilent = argc > 3 && atoi(argv[3]) != 0;

    cv4870emu::Server server;
    server.setLogSink([](const std::string &) {});
    cv4870emu::Identity id;
    id.description = "bench mainframe";
    for (int i = 0; i < n; ++i)
        server.addMainframe("127.0.24." + std::to_string(1 + i % 250), 0).setIdentity(id);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "emulator: %s\n", error.c_str());
        return 1;
    }

    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("resources.conf")));
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    for (std::size_t i = 0; i < server.count(); ++i) {
        const cv4870emu::Mainframe &mf = server.mainframe(i);
        file.write(QStringLiteral("TCPIP0::%1::%2::SOCKET\n")
                       .arg(QString::fromStdString(mf.address()))
                       .arg(mf.port())
                       .toLatin1());
    }
    int silentFd = -1;
    if (withSilent) {
        silentFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.24.251", &sa.sin_addr);
        socklen_t len = sizeof sa;
        if (silentFd < 0 || ::bind(silentFd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
            ::listen(silentFd, 8) != 0 || ::getsockname(silentFd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
            return 1;
        file.write(QStringLiteral("TCPIP0::127.0.24.251::%1::SOCKET\n").arg(ntohs(sa.sin_port)).toLatin1());
    }
    file.close();
    qputenv("CV_VISA_RESOURCES", QFile::encodeName(file.fileName()));

    std::vector<double> sequentialMs, totalMs;
    int rows = 0;
    for (int r = 0; r < runs; ++r) {
        cv4870fp_select dialog(nullptr);
        QElapsedTimer clock;
        ProgressClock progress(&clock);
        clock.start();
        rows = dialog.findResources();
        const qint64 total = clock.nsecsElapsed();
        sequentialMs.push_back(static_cast<double>(progress.shownAtNs) / 1e6);
        totalMs.push_back(static_cast<double>(total) / 1e6);
    }
    if (silentFd >= 0)
        ::close(silentFd);

    std::printf("findResources over %d emulated mainframes%s, %d runs, %d rows listed\n", n,
                withSilent ? " and 1 silent listener" : "", runs, rows);
    std::printf("  until the progress dialog opens (GUI thread blocked): median %.1f ms, min %.1f, max %.1f"
                " (%.2f ms per resource)\n",
                median(sequentialMs), *std::min_element(sequentialMs.begin(), sequentialMs.end()),
                *std::max_element(sequentialMs.begin(), sequentialMs.end()), median(sequentialMs) / n);
    std::printf("  whole search: median %.1f ms, min %.1f, max %.1f\n", median(totalMs),
                *std::min_element(totalMs.begin(), totalMs.end()), *std::max_element(totalMs.begin(), totalMs.end()));
    return rows == n ? 0 : 2;
}
