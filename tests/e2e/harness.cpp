#include "tests/e2e/harness.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/field.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace TarqSe::E2e {

namespace fs = std::filesystem;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
namespace net = boost::asio;

const std::vector<std::string> helper_names = {
    "openvpn",       "dnscrypt-proxy", "aliases.sh", "setdns.sh",
    "dnschecker.sh", "killswitch.sh",  "logoff.sh",
};

namespace {

const char* const log_dir = "/var/log/TARQ";

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == separator) {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    parts.push_back(current);
    return parts;
}

std::string readLink(const std::string& path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::vector<pid_t> allPids() {
    std::vector<pid_t> pids;
    for (const auto& entry :
         fs::directory_iterator("/proc", fs::directory_options::skip_permission_denied)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit))
            pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return pids;
}

// State letter and parent pid from /proc/<pid>/stat; false when the process is gone.
bool processStat(pid_t pid, char& state, pid_t& parent) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return false;
    std::istringstream rest(stat.substr(close + 2));
    rest >> state >> parent;
    return static_cast<bool>(rest);
}

// The text after "<name>:" in /proc/<pid>/status.
std::optional<std::string> statusField(pid_t pid, const std::string& name) {
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    const std::string head = name + ":";
    for (std::string line; std::getline(in, line);)
        if (line.rfind(head, 0) == 0)
            return line.substr(head.size());
    return std::nullopt;
}

int decodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

void copyExecutable(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, static_cast<fs::perms>(0755));
}

} // namespace

std::string started(std::uint64_t id, const std::string& name) {
    return std::to_string(id) + "," + name + "::STARTED::status::0";
}

std::string finished(std::uint64_t id, const std::string& name, int code) {
    return std::to_string(id) + "," + name + "::FINISHED::status::" + std::to_string(code);
}

std::string wholeLines(const std::string& text) {
    return text.substr(0, text.rfind('\n') + 1);
}

std::vector<Record> parseRecords(const std::string& text) {
    static const std::set<std::string> severities = {"trace",   "debug", "info",
                                                     "warning", "error", "fatal"};
    std::vector<Record> records;
    std::vector<std::string> lines = split(wholeLines(text), '\n');
    lines.pop_back(); // after the last "\n"
    for (const auto& line : lines) {
        // "[YYYY-MM-DD HH:MM:SS.ffffff][severity]:  message"
        const auto open = line.find("][");
        const auto close = open == std::string::npos ? open : line.find("]:  ", open);
        if (!line.empty() && line[0] == '[' && open == 27 && close != std::string::npos &&
            severities.count(line.substr(open + 2, close - open - 2))) {
            records.push_back({line.substr(open + 2, close - open - 2), line.substr(close + 4)});
        } else if (!records.empty()) {
            records.back().message += "\n" + line;
        }
    }
    return records;
}

long findRecord(const std::vector<Record>& records, const std::string& text, bool prefix,
                long from) {
    for (long i = std::max(from, 0L); i < static_cast<long>(records.size()); ++i) {
        const std::string& m = records[i].message;
        if (prefix ? m.compare(0, text.size(), text) == 0 : m == text)
            return i;
    }
    return -1;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::vector<unsigned long> listeningSockets(std::uint16_t port) {
    std::vector<unsigned long> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream in(readFile(table));
        std::string line;
        std::getline(in, line); // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
            unsigned long inode = 0;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            const auto colon = local.rfind(':');
            if (!fields || colon == std::string::npos || state != "0A")
                continue;
            if (std::stoul(local.substr(colon + 1), nullptr, 16) == port)
                inodes.push_back(inode);
        }
    }
    return inodes;
}

bool processHoldsSocket(pid_t pid, unsigned long inode) {
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    for (const auto& [fd, target] : openDescriptors(pid))
        if (target == wanted)
            return true;
    return false;
}

std::map<int, std::string> openDescriptors(pid_t pid) {
    std::map<int, std::string> result;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        result[std::stoi(name)] = readLink(it->path().string());
    }
    return result;
}

bool catchesStopSignals(pid_t pid) {
    const auto caught = statusField(pid, "SigCgt");
    if (!caught)
        return false;
    const unsigned long long mask = std::stoull(*caught, nullptr, 16);
    const unsigned long long wanted = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
    return (mask & wanted) == wanted;
}

bool processAlive(pid_t pid) {
    char state = 0;
    pid_t parent = 0;
    return processStat(pid, state, parent) && state != 'Z' && state != 'X';
}

std::vector<pid_t> zombieChildren(pid_t parent) {
    std::vector<pid_t> zombies;
    for (pid_t pid : allPids()) {
        char state = 0;
        pid_t ppid = 0;
        if (processStat(pid, state, ppid) && ppid == parent && state == 'Z')
            zombies.push_back(pid);
    }
    return zombies;
}

std::vector<pid_t> liveChildren(pid_t parent) {
    std::vector<pid_t> children;
    for (pid_t pid : allPids()) {
        char state = 0;
        pid_t ppid = 0;
        if (processStat(pid, state, ppid) && ppid == parent && state != 'Z' && state != 'X')
            children.push_back(pid);
    }
    return children;
}

long residentKb(pid_t pid) {
    const auto resident = statusField(pid, "VmRSS");
    return resident ? std::stol(*resident) : -1;
}

namespace {

int lowestFreeDescriptor(pid_t pid) {
    const auto open = openDescriptors(pid);
    int fd = 0;
    while (open.count(fd))
        ++fd;
    return fd;
}

} // namespace

DescriptorSqueeze::DescriptorSqueeze(pid_t pid) : m_pid(pid) {
    if (::prlimit(pid, RLIMIT_NOFILE, nullptr, &m_saved) != 0)
        return;
    // The process may close a descriptor between the look and the change; then look again.
    for (int attempt = 0; attempt < 100 && !engaged(); ++attempt) {
        rlimit tight = m_saved;
        tight.rlim_cur = static_cast<rlim_t>(lowestFreeDescriptor(pid));
        if (::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr) != 0)
            return;
        m_lowered = true;
    }
}

DescriptorSqueeze::~DescriptorSqueeze() {
    restore();
}

bool DescriptorSqueeze::engaged() const {
    rlimit now{};
    return m_lowered && ::prlimit(m_pid, RLIMIT_NOFILE, nullptr, &now) == 0 &&
           static_cast<rlim_t>(lowestFreeDescriptor(m_pid)) >= now.rlim_cur;
}

void DescriptorSqueeze::restore() {
    if (!m_lowered)
        return;
    ::prlimit(m_pid, RLIMIT_NOFILE, &m_saved, nullptr);
    m_lowered = false;
}

// ---------------------------------------------------------------------------------------------

LogDirGuard::LogDirGuard() : m_existed(fs::is_directory(log_dir)) {
    std::error_code ec;
    for (fs::directory_iterator it(log_dir, ec), end; !ec && it != end; it.increment(ec))
        m_before.insert(it->path().string());
}

std::vector<std::string> LogDirGuard::created() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(log_dir, ec), end; !ec && it != end; it.increment(ec))
        if (!m_before.count(it->path().string()))
            files.push_back(it->path().string());
    std::sort(files.begin(), files.end());
    return files;
}

LogDirGuard::~LogDirGuard() {
    std::error_code ec;
    for (const auto& path : created())
        fs::remove(path, ec);
    if (!m_existed && fs::is_empty(log_dir, ec))
        fs::remove(log_dir, ec);
}

// ---------------------------------------------------------------------------------------------

ProgramDir::ProgramDir(const std::string& daemonBinary, const std::string& helperBinary,
                       bool blankInName)
    : m_helper(helperBinary) {
    std::string pattern = blankInName ? "/tmp/tarq e2e-XXXXXX" : "/tmp/tarq-e2e-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
    // Reachable for the unprivileged user of the root check.
    ::chmod(m_path.c_str(), 0755);
    copyExecutable(daemonBinary, daemon());
    for (const auto& name : helper_names)
        install(name);
}

ProgramDir::~ProgramDir() {
    killLeftovers();
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

void ProgramDir::setBehaviour(const std::string& program, const std::string& behaviour) const {
    const std::string target = file(program + ".behaviour");
    const std::string temporary = target + ".new";
    std::ofstream(temporary, std::ios::trunc) << behaviour << "\n";
    fs::rename(temporary, target);
}

void ProgramDir::install(const std::string& program) const {
    copyExecutable(m_helper, file(program));
}

void ProgramDir::remove(const std::string& program) const {
    fs::remove(file(program));
}

void ProgramDir::setMode(const std::string& program, unsigned mode) const {
    fs::permissions(file(program), static_cast<fs::perms>(mode));
}

std::vector<std::vector<std::string>> ProgramDir::calls(const std::string& program) const {
    std::vector<std::vector<std::string>> result;
    std::vector<std::string> lines = split(readFile(file(program + ".calls")), '\n');
    lines.pop_back(); // after the last "\n"
    for (const auto& line : lines)
        result.push_back(split(line, '\x1f'));
    return result;
}

std::vector<std::vector<std::string>> ProgramDir::waitForCalls(const std::string& program,
                                                               std::size_t count) const {
    waitUntil([&] { return calls(program).size() >= count; }, reply_wait);
    return calls(program);
}

std::vector<pid_t> ProgramDir::processes(const std::string& program) const {
    std::vector<pid_t> result;
    const std::string exe = file(program);
    for (pid_t pid : allPids())
        if (readLink("/proc/" + std::to_string(pid) + "/exe") == exe && processAlive(pid))
            result.push_back(pid);
    return result;
}

void ProgramDir::killLeftovers() const {
    const std::string inside = m_path + "/";
    auto ours = [&] {
        std::vector<pid_t> found;
        for (pid_t pid : allPids()) {
            if (pid == ::getpid() || !processAlive(pid))
                continue;
            const std::string proc = "/proc/" + std::to_string(pid);
            if (readLink(proc + "/exe").rfind(inside, 0) == 0 || readLink(proc + "/cwd") == m_path)
                found.push_back(pid);
        }
        return found;
    };
    waitUntil(
        [&] {
            const auto pids = ours();
            for (pid_t pid : pids)
                ::kill(pid, SIGKILL);
            // Orphans come to the test process when it is a child subreaper.
            while (::waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            return pids.empty();
        },
        reply_wait);
}

// ---------------------------------------------------------------------------------------------

DaemonProcess::DaemonProcess(const ProgramDir& dir, const std::vector<std::string>& prefix,
                             const std::vector<std::string>& environment) {
    static std::atomic<int> runs{0};
    const std::string tag = std::to_string(++runs);
    m_outPath = dir.file("daemon-" + tag + ".out");
    m_errPath = dir.file("daemon-" + tag + ".err");
    m_startupScript = dir.file("aliases.sh");
    m_daemonPath = dir.daemon();

    std::vector<std::string> args = prefix;
    args.push_back(dir.daemon());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    for (const auto& entry : environment) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        env.erase(std::remove_if(env.begin(), env.end(),
                                 [&](const std::string& e) { return e.rfind(name, 0) == 0; }),
                  env.end());
        env.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string cwd = dir.path();

    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(err, 2) < 0 || ::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        ::close_range(3, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD})
            ::signal(sig, SIG_DFL);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    m_pid = pid;
}

DaemonProcess::~DaemonProcess() {
    stop();
}

bool DaemonProcess::waitListening(std::chrono::milliseconds timeout) {
    return waitUntil(
               [&] {
                   if (!running())
                       return true;
                   // The daemon listens a moment before it handles SIGINT and SIGTERM; a stop
                   // signal in between would end it by the default action.
                   if (!catchesStopSignals(m_pid))
                       return false;
                   for (unsigned long inode : listeningSockets(daemon_port))
                       if (processHoldsSocket(m_pid, inode))
                           return true;
                   return false;
               },
               timeout) &&
           running();
}

bool DaemonProcess::running() {
    if (m_pid <= 0 || m_status)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_status = decodeStatus(status);
        return false;
    }
    return r == 0;
}

void DaemonProcess::signal(int sig) {
    if (m_pid > 0 && !m_status)
        ::kill(m_pid, sig);
    if (sig == SIGINT || sig == SIGTERM)
        m_stopSignal = sig;
}

std::optional<int> DaemonProcess::waitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (waitUntil([&] { return !running(); }, std::min(left, stop_signal_resend)) ||
            left <= stop_signal_resend)
            return m_status;
        // The thread sanitizer holds a signal back in a thread that sleeps on a condition
        // variable until that thread wakes, which an idle daemon may never do; the kernel would
        // have run the handler at once. A stop signal that was not caught is sent again, while
        // the daemon still handles it: once it has let go of its handler, the default action
        // would end it.
        const std::string caught = "WebSocketServer: Catch SIGINT/SIGTERM signal";
        if (m_stopSignal && findRecord(records(), caught) < 0 &&
            findRecord(logFileRecords(), caught) < 0 && catchesStopSignals(m_pid))
            ::kill(m_pid, *m_stopSignal);
    }
}

std::optional<int> DaemonProcess::stop() {
    if (running()) {
        signal(SIGTERM);
        if (!waitExit(start_wait)) {
            signal(SIGKILL);
            waitExit(start_wait);
        }
    }
    return m_status;
}

std::vector<Record> DaemonProcess::logFileRecords() const {
    const std::string inLogDir = std::string(log_dir) + "/";
    for (const auto& [fd, target] : openDescriptors(m_pid))
        if (target.rfind(inLogDir, 0) == 0)
            return parseRecords(readFile(target));
    return {};
}

bool DaemonProcess::waitForRecord(const std::string& text, bool prefix,
                                  std::chrono::milliseconds timeout, long from) const {
    return waitUntil([&] { return findRecord(records(), text, prefix, from) >= 0; }, timeout);
}

void DaemonProcess::endJobs() const {
    const long from = static_cast<long>(records().size());
    bool jobs = false;
    for (pid_t child : liveChildren(m_pid)) {
        // The start-up script (or a child not yet past its exec, which at this point is the
        // script's, or one already gone) is no job: nothing reports its end.
        const std::string cmdline = readFile("/proc/" + std::to_string(child) + "/cmdline");
        const std::string program = cmdline.substr(0, cmdline.find('\0'));
        jobs = jobs || (!program.empty() && program != m_startupScript && program != m_daemonPath);
        ::kill(child, SIGKILL);
    }
    // Each job's exit is polled with this record once the registry is empty.
    if (jobs)
        waitForRecord("ChildProcess: No running processes", false, reply_wait, from);
}

// ---------------------------------------------------------------------------------------------

WsClient::WsClient() : m_work(net::make_work_guard(m_ioc)), m_ws(m_ioc) {}

WsClient::~WsClient() {
    boost::system::error_code ec;
    beast::get_lowest_layer(m_ws).socket().close(ec);
    m_ioc.restart();
    m_ioc.poll();
    m_work.reset();
}

bool WsClient::connect(const std::string& origin) {
    const net::ip::tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), daemon_port);
    beast::get_lowest_layer(m_ws).connect(endpoint, m_handshakeError);
    if (m_handshakeError)
        return false;
    if (!origin.empty())
        m_ws.set_option(websocket::stream_base::decorator([origin](websocket::request_type& req) {
            req.set(beast::http::field::origin, origin);
        }));
    auto done = std::make_shared<bool>(false);
    m_ws.async_handshake(m_response, "127.0.0.1:7506", "/",
                         [this, done](boost::system::error_code ec) {
                             m_handshakeError = ec;
                             *done = true;
                         });
    if (!runUntil([done] { return *done; }, reply_wait)) {
        m_handshakeError = net::error::timed_out;
        return false;
    }
    if (m_handshakeError)
        return false;
    m_open = true;
    startRead();
    return true;
}

void WsClient::startRead() {
    m_ws.async_read(m_buffer, [this](boost::system::error_code ec, std::size_t) {
        if (ec) {
            m_readEnded = true;
            m_readError = ec;
            return;
        }
        m_inbox.push_back({beast::buffers_to_string(m_buffer.data()), m_ws.got_binary(),
                           std::chrono::steady_clock::now()});
        m_buffer.consume(m_buffer.size());
        startRead();
    });
}

bool WsClient::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        m_ioc.run_one_for(deadline - now);
    }
    return true;
}

bool WsClient::send(const std::string& text, bool binary) {
    if (!m_open || m_readEnded)
        return false;
    m_outgoing = text;
    m_ws.binary(binary);
    auto result = std::make_shared<std::optional<boost::system::error_code>>();
    m_ws.async_write(net::buffer(m_outgoing),
                     [result](boost::system::error_code ec, std::size_t) { *result = ec; });
    return runUntil([result] { return result->has_value(); }, reply_wait) && !**result;
}

std::optional<WsClient::Message> WsClient::next(std::chrono::milliseconds timeout) {
    runUntil([this] { return !m_inbox.empty() || m_readEnded; }, timeout);
    if (m_inbox.empty())
        return std::nullopt;
    Message m = std::move(m_inbox.front());
    m_inbox.pop_front();
    return m;
}

std::vector<std::string> WsClient::read(std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<std::string> texts;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (texts.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        auto m = next(std::max(left, std::chrono::milliseconds(0)));
        if (!m)
            break;
        texts.push_back(m->text);
    }
    return texts;
}

bool WsClient::quiet(std::chrono::milliseconds wait) {
    runUntil([this] { return !m_inbox.empty(); }, wait);
    return m_inbox.empty();
}

bool WsClient::close() {
    if (!m_open || m_readEnded)
        return true;
    auto closed = std::make_shared<bool>(false);
    m_ws.async_close(websocket::close_code::normal,
                     [closed](boost::system::error_code) { *closed = true; });
    return runUntil([this, closed] { return *closed && m_readEnded; }, reply_wait);
}

bool WsClient::waitEnded(std::chrono::milliseconds timeout) {
    return runUntil([this] { return m_readEnded; }, timeout);
}

} // namespace TarqSe::E2e
