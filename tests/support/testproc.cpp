#include "testproc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

extern char **environ;

namespace testproc {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Appends what fd has now to to; closes it at its end.
void drain(int &fd, std::string &to)
{
    char buf[4096];
    ssize_t n;
    while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0)
            return; // EAGAIN: nothing more for now
        to.append(buf, static_cast<std::size_t>(n));
    }
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

Child::~Child()
{
    if (m_pid > 0 && running()) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_outFd, m_errFd})
        if (fd >= 0)
            ::close(fd);
}

bool Child::start(const std::vector<std::string> &argv)
{
    int out[2], err[2];
    if (m_pid > 0 || argv.empty() || ::pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const int rc = ::posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    m_outFd = out[0];
    m_errFd = err[0];
    for (int fd : {m_outFd, m_errFd})
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    if (rc != 0)
        m_pid = -1;
    return rc == 0;
}

// Takes in what the pipes have, waiting up to timeoutMs for something.
bool Child::pump(int timeoutMs)
{
    pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0)
        return false;
    drain(m_outFd, m_out);
    drain(m_errFd, m_err);
    return true;
}

bool Child::readLine(std::string &line, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t lf;
    while ((lf = m_out.find('\n')) == std::string::npos) {
        if (m_outFd < 0 || !pump(msLeft(deadline)))
            return false;
    }
    line = m_out.substr(0, lf);
    m_out.erase(0, lf + 1);
    return true;
}

void Child::signal(int sig)
{
    if (m_pid > 0 && running())
        ::kill(m_pid, sig);
}

bool Child::running()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (m_status != -1 || ::waitpid(m_pid, &status, WNOHANG) == 0)
        return m_status == -1;
    m_status = status;
    return false;
}

int Child::wait(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running() && msLeft(deadline) > 0)
        pump(std::min(msLeft(deadline), 20));
    if (running())
        return -1;
    while ((m_outFd >= 0 || m_errFd >= 0) && msLeft(deadline) > 0)
        pump(std::min(msLeft(deadline), 20));
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

int run(const std::vector<std::string> &argv, std::string *out, std::string *err)
{
    Child child;
    if (!child.start(argv))
        return -1;
    const int code = child.wait();
    if (out)
        *out = child.out();
    if (err)
        *err = child.err();
    return code;
}

std::vector<Listening> readListening(Child &child)
{
    std::vector<Listening> ports;
    for (std::string line; child.readLine(line);) {
        if (line == "READY")
            return ports;
        char address[64];
        unsigned n, port;
        if (std::sscanf(line.c_str(), "LISTENING %u %63s %u", &n, address, &port) != 3 || port > 65535)
            break;
        ports.push_back({address, static_cast<unsigned short>(port)});
    }
    return {};
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "cvtest.XXXXXX").string();
    if (::mkdtemp(pattern.data()))
        m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::write(const std::string &name, const std::string &text) const
{
    const std::filesystem::path file = std::filesystem::path(m_path) / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    return file.string();
}

bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace testproc
