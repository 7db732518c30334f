// In-process API of the 4870 mainframe emulator.
//
// A Server emulates one or more mainframes, each listening on its own
// address and port and answering the wire protocol described in
// docs/protocol.md. Each Mainframe owns a physical Model (outputs, fans,
// temperatures, status lines) and the fault injection for its link.
//
// Typical test use:
//   cv4870emu::Server server;
//   cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0);
//   mf.model().setManualClock(true);
//   std::string error;
//   if (!server.start(&error)) ...;
//   connect to mf.address():mf.port(), ...; mf.model().advance(5000); ...
//
// Thread safety: every public method may be called from any thread while
// the server runs, except where marked "before start()".
#ifndef CV4870EMU_H
#define CV4870EMU_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace cv4870emu {

constexpr int kOutputCount = 7; // +24, +12, +5, -2, -5.2, -12, -24 V
constexpr int kFanCount = 3;
constexpr int kFanSpeedMin = 1200; // nominal RPM range; 0 switches the fans off
constexpr int kFanSpeedMax = 3600;
constexpr int kDefaultFanSpeed = 1800; // nominal RPM after *RST
constexpr int kFanTraySensorLimit = 70; // degC: at or above, sensor fail
constexpr int kPowerSupplySensorLimit = 85; // degC: at or above, sensor fail
constexpr int kSysFailAfterResetMs = 2000; // SysFail held after SysReset or power on
constexpr int kFanFailDelayMs = 5000; // a fan below half its nominal speed this long: fan fail
constexpr int kDeviceErrorCode = 301; // "Power supply not responding"
constexpr std::size_t kMaxLineLength = 4096; // longer command lines: -363, discarded
constexpr std::size_t kOversizedReplyBytes = 100 * 1024;

// Nominal output voltages in channel order.
extern const std::array<double, kOutputCount> kNominalVolts;

// A consistent picture of the model at one instant, for assertions.
struct ModelState
{
    std::int64_t timeMs = 0; // model time since construction
    bool power = false;
    // Status lines.
    bool inputFail = false;
    bool outputFail = false;
    bool fanFail = false;
    bool sensorFail = false;
    bool sysFail = false;
    // Fans (RPM).
    int nominalFan = 0;
    std::array<int, kFanCount> fans{};
    // Temperatures (degC); the protocol reports them rounded.
    double fanTrayTemp = 0.0;
    double powerSupplyTemp = 0.0;
    // Outputs: volts, amperes, on and within +/-5 % of nominal.
    std::array<double, kOutputCount> volts{};
    std::array<double, kOutputCount> amps{};
    std::array<bool, kOutputCount> outputOk{};
};

// Physical model of one mainframe. Deterministic for a given seed and a
// given sequence of calls in manual-clock mode.
class Model
{
public:
    explicit Model(std::uint32_t seed = 4870);
    ~Model();
    Model(const Model &) = delete;
    Model &operator=(const Model &) = delete;

    // Manual clock: time moves only through advance(). Otherwise (default)
    // the model follows the monotonic wall clock.
    void setManualClock(bool manual);
    bool manualClock() const;
    // Moves model time forward (manual clock only; ignored otherwise).
    void advance(std::int64_t ms);
    // Restarts the noise sequence; the physical state is kept.
    void setSeed(std::uint32_t seed);

    ModelState state();

    // Operations the protocol drives.
    void reset(); // *RST: power on, nominal fan kDefaultFanSpeed
    void setPower(bool on);
    bool setNominalFan(int rpm); // false (and no change) when out of range
    void sysReset(); // asserts SysFail for kSysFailAfterResetMs when powered

    // Physical faults; each stays until cleared.
    void setFanStall(int fan, bool stalled); // fan 0..2
    void setOutputOutOfLimits(int channel, bool out); // channel 0..6
    void setInputPowerFail(bool failed);
    void setOverTemperature(bool over);
    void setSysFailAsserted(bool asserted);
    void clearFaults();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Result of processing one command line (used by the server, the fuzzer
// and tests that drive the command layer without a socket).
struct LineOutcome
{
    enum class Action { Reply, Silent, Drop };
    Action action = Action::Silent;
    std::string bytes; // to send (with its LF, except an oversized reply)
    int delayMs = 0; // hold the bytes back this long before sending
};

// What a mainframe says about itself.
struct Identity
{
    std::string maker = "Corvane Ltd."; // *IDN? field 1
    std::string model = "4870"; // *IDN? field 2
    std::int32_t psSerial = 48700001; // *IDN? field 3, SYSTem:SERial? field 1
    std::int32_t fanSerial = 48710001; // SYSTem:SERial? field 2
    std::string firmware = "A.03.11"; // sent as given: keep to printable, no , ; "
    std::string description = "4870 VXI Mainframe"; // SYSTem:DESCription?
};

// Faults of the link that strike a given number of times.
enum class LinkFault {
    // The next commands/queries that reach the hardware (not *IDN?, *CLS,
    // *OPC?, SYSTem queries) are not carried out; each queues 301.
    DeviceError,
    // The next lines that have a reply:
    NoReply, // executed, reply discarded
    Garbage, // reply replaced by 44 meaningless bytes + LF
    Oversized, // reply replaced by 100 kB without LF
    ExtraLine, // reply followed by one more line of its shape, every digit moved on by 5
    DuplicateReply, // reply sent twice
    // The next lines received: connection closed, line not executed.
    Drop,
};
constexpr std::size_t kLinkFaultKinds = 7;

// One emulated mainframe: identity, model, error queue, link faults.
class Mainframe
{
public:
    explicit Mainframe(std::uint32_t seed = 4870);
    ~Mainframe();
    Mainframe(const Mainframe &) = delete;
    Mainframe &operator=(const Mainframe &) = delete;

    // Identity (before start()).
    void setIdentity(const Identity &identity);
    Identity identity() const;

    // Enables the SIMulation command subsystem (off: -113 for those).
    void setSimulationCommands(bool enabled);

    Model &model();

    // Bound address and port (valid once the server has started).
    std::string address() const;
    std::uint16_t port() const;

    // Arms a link fault: count is how many times it strikes; a negative
    // count means until clearFaults(). Replaces the fault's earlier count.
    void injectLinkFault(LinkFault kind, int count = 1);
    void setReplyDelay(int ms); // every reply held back ms (0: none)
    // Clears the link faults and the model's physical faults.
    void clearFaults();

    // Gets every line the mainframe executes and the reply that line truly
    // produced, before any link fault changed or withheld it (empty when it
    // has none). Called on the thread that processes the line, after the
    // mainframe's lock is released; a dropped line is not executed and not
    // reported. Set it before start().
    using LineObserver = std::function<void(const std::string &line, const std::string &reply)>;
    void setLineObserver(LineObserver observer);

    // Executes one command line (without its LF) as if a client sent it.
    LineOutcome processLine(const std::string &line);
    // Queues an error as the parser would (e.g. -363 for an over-long line).
    void pushError(int code);

private:
    friend class Server;
    void setBoundAddress(const std::string &address, std::uint16_t port);
    struct Impl;
    std::unique_ptr<Impl> d;
};

enum class LogLevel { Quiet = 0, Connections = 1, Commands = 2 };

// Emulates mainframes on a background thread (epoll over non-blocking
// sockets, a timer heap for replies held back). The destructor stops it.
class Server
{
public:
    Server();
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Adds a mainframe (before start()). address: dotted IPv4; port 0 picks
    // an ephemeral port. The reference stays valid for the server's life.
    Mainframe &addMainframe(const std::string &address = "127.0.0.1", std::uint16_t port = 0,
                            std::uint32_t seed = 4870);
    std::size_t count() const;
    Mainframe &mainframe(std::size_t index);

    // Logging (before start()). The sink gets one line without LF; default stderr.
    void setLogLevel(LogLevel level);
    void setLogSink(std::function<void(const std::string &)> sink);
    // Maximum simultaneous clients per mainframe (before start()); default 64.
    void setMaxClients(int perMainframe);

    // Binds every listener and starts the thread. On failure nothing keeps
    // running, *error names the address, the port and the reason, and
    // errno holds the reason (EMFILE: out of file descriptors).
    bool start(std::string *error = nullptr);
    // Closes every socket and joins the thread; idempotent.
    void stop();
    bool running() const;

    // Diagnostics: clients connected now, over all mainframes, and how
    // often the server thread has woken up since start().
    std::size_t clientCount() const;
    std::uint64_t wakeups() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace cv4870emu

#endif // CV4870EMU_H
