// Plain POSIX helpers for the tests of the parts without Qt: a child
// program with its output on pipes, a scratch folder, and a bounded wait.
#ifndef CV_TESTPROC_H
#define CV_TESTPROC_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testproc {

// A child program; its standard output and error are read through pipes.
// Every wait is bounded; a child still running at destruction is killed.
class Child
{
public:
    Child() = default;
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Starts argv[0] (looked up on PATH) with the arguments that follow.
    bool start(const std::vector<std::string> &argv);
    // The next line of standard output, without its LF; false at its end
    // or when none came within timeoutMs.
    bool readLine(std::string &line, int timeoutMs = 10000);
    void signal(int sig);
    // Waits for the end and takes the rest of the output: the exit code,
    // or -1 when killed by a signal or still running after timeoutMs.
    int wait(int timeoutMs = 10000);
    bool running();
    const std::string &out() const { return m_out; } // what readLine left
    const std::string &err() const { return m_err; }

private:
    bool pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_status = -1;
    int m_outFd = -1, m_errFd = -1;
    std::string m_out, m_err;
};

// Runs argv to its end; returns the exit code as Child::wait does.
int run(const std::vector<std::string> &argv, std::string *out = nullptr, std::string *err = nullptr);

// The lines "LISTENING <n> <address> <port>" that a program started with
// --ready prints before "READY"; empty when it printed anything else or
// ended first.
struct Listening
{
    std::string address;
    unsigned short port;
};
std::vector<Listening> readListening(Child &child);

// A folder under the system's temporary folder, removed with its contents.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return m_path; }
    // Writes text to the file at name (folders made as needed); its path.
    std::string write(const std::string &name, const std::string &text) const;

private:
    std::string m_path;
};

// Polls pred every 10 ms until it holds or timeoutMs passed.
bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 5000);

} // namespace testproc

#endif // CV_TESTPROC_H
