#pragma once

// Runs the real daemon in a temporary program directory beside copies of the fixture helper,
// and talks to it over a real WebSocket connection. Free of GoogleTest so that the benchmark
// can use it too.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

namespace TarqSe::E2e {

using namespace std::chrono_literals;

constexpr std::uint16_t daemon_port = 7506;
// Generous waits: the assertions are about order and content, never about speed.
constexpr std::chrono::milliseconds reply_wait = 30s;
constexpr std::chrono::milliseconds start_wait = 30s;
// How long a request must stay unanswered to count as refused; a request answered afterwards
// shows that nothing was merely late.
constexpr std::chrono::milliseconds quiet_wait = 2s;
// How long a stop signal may go uncaught before it is sent again.
constexpr std::chrono::milliseconds stop_signal_resend = 3s;

// The auxiliary programs the daemon runs from its program directory.
extern const std::vector<std::string> helper_names;

// "id,name::STARTED::status::0" and "id,name::FINISHED::status::code".
std::string started(std::uint64_t id, const std::string& name);
std::string finished(std::uint64_t id, const std::string& name, int code);

// One log record: the severity word and the text after "]:  ".
struct Record {
    std::string severity;
    std::string message;
};
// The text up to its last line feed: a line without one may still be being written.
std::string wholeLines(const std::string& text);
// Splits console output into records; lines that do not open a record continue the last one.
// A last line without its line feed is left out.
std::vector<Record> parseRecords(const std::string& text);
// Index of the first record whose message equals (or, with prefix, starts with) text, or -1.
long findRecord(const std::vector<Record>& records, const std::string& text, bool prefix = false,
                long from = 0);

std::string readFile(const std::string& path);
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Sockets listening on the given TCP port (any local address), by socket inode.
std::vector<unsigned long> listeningSockets(std::uint16_t port);
bool processHoldsSocket(pid_t pid, unsigned long inode);
// The targets of a process's open descriptors (fd number -> readlink text).
std::map<int, std::string> openDescriptors(pid_t pid);
// A process that has handlers for SIGINT and SIGTERM.
bool catchesStopSignals(pid_t pid);
// A process that exists and is not a zombie.
bool processAlive(pid_t pid);
std::vector<pid_t> zombieChildren(pid_t parent);
// Children of a process that have not ended yet.
std::vector<pid_t> liveChildren(pid_t parent);
// Resident set size in kB from /proc/<pid>/status, or -1.
long residentKb(pid_t pid);

// Lowers the soft RLIMIT_NOFILE of a running process to its lowest unused descriptor number, so
// that it can open no descriptor at all, until restored (at the latest on destruction). The hard
// limit stays.
class DescriptorSqueeze {
public:
    explicit DescriptorSqueeze(pid_t pid);
    ~DescriptorSqueeze();
    DescriptorSqueeze(const DescriptorSqueeze&) = delete;
    DescriptorSqueeze& operator=(const DescriptorSqueeze&) = delete;

    // True while the process has no descriptor number left below its soft limit.
    bool engaged() const;
    void restore();

private:
    pid_t m_pid;
    bool m_lowered = false;
    rlimit m_saved{};
};

// Snapshot of /var/log/TARQ; on destruction removes the files that appeared since.
class LogDirGuard {
public:
    LogDirGuard();
    ~LogDirGuard();
    LogDirGuard(const LogDirGuard&) = delete;
    LogDirGuard& operator=(const LogDirGuard&) = delete;

    // The files that appeared since the snapshot, by name.
    std::vector<std::string> created() const;

private:
    bool m_existed;
    std::set<std::string> m_before;
};

// A temporary program directory holding a copy of the daemon and of the fixture helper under
// each auxiliary program's name (copies, since the daemon finds its directory through
// /proc/self/exe, which resolves symbolic links).
class ProgramDir {
public:
    ProgramDir(const std::string& daemonBinary, const std::string& helperBinary,
               bool blankInName = false);
    ~ProgramDir();
    ProgramDir(const ProgramDir&) = delete;
    ProgramDir& operator=(const ProgramDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::string daemon() const { return file("tarq-daemon"); }

    void setBehaviour(const std::string& program, const std::string& behaviour) const;
    void install(const std::string& program) const;
    void remove(const std::string& program) const;
    void setMode(const std::string& program, unsigned mode) const;

    // The argument vectors the helper of that name received, one per start.
    std::vector<std::vector<std::string>> calls(const std::string& program) const;
    // Waits until at least count starts are recorded; returns what is recorded then.
    std::vector<std::vector<std::string>> waitForCalls(const std::string& program,
                                                       std::size_t count) const;
    // Live processes running the helper of that name.
    std::vector<pid_t> processes(const std::string& program) const;
    // Kills every process whose executable or working directory lies in this directory.
    void killLeftovers() const;

private:
    std::string m_path;
    std::string m_helper;
};

// One run of the daemon copy, started with fork/exec, standard output and error captured in
// files of the program directory, working directory the program directory.
class DaemonProcess {
public:
    // prefix: a wrapper run in front of the daemon (for example setpriv); environment: "NAME=value"
    // entries that replace or join the inherited ones.
    explicit DaemonProcess(const ProgramDir& dir, const std::vector<std::string>& prefix = {},
                           const std::vector<std::string>& environment = {});
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // True once the daemon itself holds a socket listening on the port.
    bool waitListening(std::chrono::milliseconds timeout = start_wait);
    bool running();
    void signal(int sig);
    // The exit status (or 128 + signal), once the process has ended within the wait.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = start_wait);
    // SIGTERM, a generous wait, SIGKILL as a last resort; the exit status.
    std::optional<int> stop();

    std::string output() const { return readFile(m_outPath); }
    std::string errors() const { return readFile(m_errPath); }
    std::vector<Record> records() const { return parseRecords(output()); }
    // The records of the log file the daemon has open (none once it has closed it), which it
    // also writes when its standard output is gone.
    std::vector<Record> logFileRecords() const;
    bool waitForRecord(const std::string& text, bool prefix = false,
                       std::chrono::milliseconds timeout = reply_wait, long from = 0) const;
    // Ends the jobs the daemon still runs and waits until its registry has reported them, so
    // that nothing of them is left at the stop.
    void endJobs() const;

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
    // The last SIGINT or SIGTERM sent; sent again while the daemon has not logged catching it.
    std::optional<int> m_stopSignal;
    std::string m_outPath;
    std::string m_errPath;
    std::string m_startupScript;
    std::string m_daemonPath;
};

// A synchronous-looking WebSocket client: one read is kept pending all the time and collects
// the incoming messages, so that waiting for a message never cancels anything.
class WsClient {
public:
    struct Message {
        std::string text;
        bool binary = false;
        // When the read completed, not when next() handed it out.
        std::chrono::steady_clock::time_point received;
    };

    WsClient();
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // Connects to 127.0.0.1:7506 and performs the upgrade; an empty origin sends no "Origin".
    bool connect(const std::string& origin = {});
    const boost::beast::websocket::response_type& response() const { return m_response; }
    boost::system::error_code handshakeError() const { return m_handshakeError; }

    bool send(const std::string& text, bool binary = false);
    std::optional<Message> next(std::chrono::milliseconds timeout = reply_wait);
    // The texts of the next count messages (fewer when the wait runs out).
    std::vector<std::string> read(std::size_t count,
                                  std::chrono::milliseconds timeout = reply_wait);
    // True when no message arrives within the wait.
    bool quiet(std::chrono::milliseconds wait = quiet_wait);
    // Sends a close frame and waits until the read has ended.
    bool close();
    // Waits until the connection has ended, whoever ended it.
    bool waitEnded(std::chrono::milliseconds timeout = reply_wait);
    boost::system::error_code readError() const { return m_readError; }

private:
    void startRead();
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    boost::asio::io_context m_ioc;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_work;
    boost::beast::websocket::stream<boost::beast::tcp_stream> m_ws;
    boost::beast::flat_buffer m_buffer;
    boost::beast::websocket::response_type m_response;
    boost::system::error_code m_handshakeError;
    std::deque<Message> m_inbox;
    bool m_open = false;
    bool m_readEnded = false;
    boost::system::error_code m_readError;
    std::string m_outgoing;
};

} // namespace TarqSe::E2e
