#include "commands/childprocess.h"

#include "commands/command.h"
#include "commands/commandthread.h"
#include "daemon/log.h"
#include "daemon/platform.h"
#include "daemon/websocketserver.h"

#include <boost/format.hpp>
#include <boost/process/args.hpp>
#include <boost/process/async.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/extend.hpp>
#include <boost/thread/mutex.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <system_error>

#include <sys/types.h>
#include <sys/wait.h>

namespace bp = boost::process;
using TarqSe::Daemon::ChildProcess;

namespace {

const std::string objectNameText = "ChildProcess";

// A process whose exec failed is not known to the library's SIGCHLD reaper, and the library's
// own non-blocking wait for it usually comes too early; wait here so that it leaves no zombie.
// The failed process only reports its error and exits, so the wait is short.
void reapFailedStart(pid_t pid) {
    if (pid <= 0)
        return;
    while (::waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
}

// Detached start: no exit watch and no poll, only what every child needs.
struct DetachedStartHandler : bp::extend::handler {
    template <typename Exec> void on_exec_setup(Exec&) {
        TarqSe::Daemon::Platform::prepareChildForExec();
    }
    template <typename Exec> void on_error(Exec& exec, const std::error_code&) {
        reapFailedStart(exec.pid);
    }
};

} // namespace

// Hooks of a registered job's spawn: each polls the registry, and so does its exit callback,
// which the library's SIGCHLD reaper calls after it has stored the process's wait status.
struct ProcessHandler : bp::extend::async_handler {
    template <typename Exec> void on_setup(Exec&) { ChildProcess::checkProcessList(true); }

    template <typename Exec> void on_success(Exec&) { ChildProcess::checkProcessList(true); }

    template <typename Exec> void on_error(Exec& exec, const std::error_code&) {
        // Only a failed exec leaves a process behind (fork and pipe failures leave pid -1).
        reapFailedStart(exec.pid);
        ChildProcess::checkProcessList(true);
    }

    // In the forked child, before exec: only async-signal-safe calls.
    template <typename Exec> void on_exec_setup(Exec&) {
        TarqSe::Daemon::Platform::prepareChildForExec();
    }

    template <typename Exec>
    std::function<void(int, const std::error_code&)> on_exit_handler(Exec&) {
        return [](int, const std::error_code&) { ChildProcess::checkProcessList(true); };
    }
};

namespace TarqSe::Daemon {

namespace {

// The library's value of a wait status that nobody has collected yet.
constexpr int stillActive = 0x17F;

std::vector<ChildProcess*> processList;
// Children of the detached start: nobody else ever waits for them.
std::vector<pid_t> detachedList;
boost::mutex io_mutex;

bool namesNoProgram(const std::vector<std::string>& args) {
    return args.empty() || args[0].empty();
}

int decodeWaitStatus(int status) {
    if ((status & 0x7F) == 0x7F)
        return status;
    if ((status & 0x7F) != 0)
        return status & 0x7F;
    return (status >> 8) & 0xFF;
}

// Waits for the end of an own child without collecting it, so that the library's reaper still
// gets its status. True with the wait status when it has ended; false while it runs (WNOHANG)
// or when the query fails.
bool peekEnded(pid_t pid, int options, int& status) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    int rc;
    while ((rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | options)) ==
               -1 &&
           errno == EINTR) {
    }
    if (rc == -1 || info.si_pid != pid)
        return false;
    switch (info.si_code) {
    case CLD_EXITED:
        status = (info.si_status & 0xFF) << 8;
        break;
    case CLD_DUMPED:
        status = (info.si_status & 0x7F) | 0x80;
        break;
    default:
        status = info.si_status & 0x7F;
        break;
    }
    return true;
}

void reapDetachedChildren() {
    detachedList.erase(
        std::remove_if(detachedList.begin(), detachedList.end(),
                       [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; }),
        detachedList.end());
}

void logStarted(const std::string& program, pid_t pid) {
    Log::infoMsg(
        objectNameText,
        (boost::format("Start command with arg[0]: '%1%', pid: %2%") % program % pid).str());
}

void logStartFailed(const std::string& program, const std::error_code& ec) {
    Log::errorMsg(objectNameText,
                  (boost::format("Cannot start '%1%': %2%") % program % ec.message()).str());
}

} // namespace

ChildProcess::~ChildProcess() {
    delete m_child;
    delete m_command;
}

bool ChildProcess::runChildProcessDetached(const std::vector<std::string>& args) {
    if (namesNoProgram(args))
        return false;
    const std::vector<std::string> argv = Platform::toWideStringVector(args);
    std::error_code ec;
    // The program is exactly element 0: never split at blanks, never searched in PATH.
    bp::child child(bp::exe = argv[0],
                    bp::args = std::vector<std::string>(argv.begin() + 1, argv.end()),
                    DetachedStartHandler{}, ec);
    if (ec) {
        logStartFailed(args[0], ec);
        return false;
    }
    logStarted(args[0], child.id());
    child.detach();
    boost::mutex::scoped_lock lock(io_mutex);
    detachedList.push_back(child.id());
    return true;
}

bool ChildProcess::runChildProcess(const std::vector<std::string>& args, Command* command,
                                   Session* session) {
    if (namesNoProgram(args))
        return false;
    const std::vector<std::string> argv = Platform::toWideStringVector(args);
    std::error_code ec;
    // The hooks poll the registry, so io_mutex must not be held here.
    auto* child = new bp::child(bp::exe = argv[0],
                                bp::args = std::vector<std::string>(argv.begin() + 1, argv.end()),
                                WebSocketServer::globalIoContext(), ProcessHandler{}, ec);
    if (ec) {
        delete child;
        logStartFailed(args[0], ec);
        return false;
    }
    logStarted(args[0], child->id());
    child->detach();

    auto* entry = new ChildProcess;
    entry->m_command = command;
    entry->m_session = session;
    entry->m_child = child;
    boost::mutex::scoped_lock lock(io_mutex);
    processList.push_back(entry);
    return true;
}

void ChildProcess::checkProcessList(bool logWhenEmpty) {
    boost::mutex::scoped_lock lock(io_mutex);
    reapDetachedChildren();
    std::size_t index = 0;
    while (index < processList.size()) {
        ChildProcess* entry = processList[index];
        if (entry->hasEnded()) {
            entry->m_state = 2;
            entry->replyToSession();
            delete entry;
            processList.erase(processList.begin() + static_cast<std::ptrdiff_t>(index));
            index = 0;
            continue;
        }
        if (entry->m_state == 0) {
            entry->m_state = 1;
            entry->replyToSession();
        }
        ++index;
    }
    if (processList.empty() && logWhenEmpty)
        Log::infoMsg(objectNameText, "No running processes");
}

void ChildProcess::replyToSession() {
    const bool ended = m_state == 2;
    const std::string reply = ended ? m_command->commandState(false, decodeWaitStatus(waitStatus()))
                                    : m_command->commandState(true, 0);
    if (!ended)
        m_startReported = true;
    else if (!m_startReported)
        CommandThread::pushReplyToQueue(m_command->commandState(true, 0));
    CommandThread::pushReplyToQueue(reply);
}

bool ChildProcess::processExists(const std::string& name) {
    boost::mutex::scoped_lock lock(io_mutex);
    return std::any_of(processList.begin(), processList.end(),
                       [&name](ChildProcess* entry) { return childProcessName(entry) == name; });
}

bool ChildProcess::terminateProcessByName(const std::string& name) {
    Log::infoMsg(objectNameText, (boost::format("Terminate process by name: '%1%'") % name).str());
    boost::mutex::scoped_lock lock(io_mutex);
    bool matched = false;
    for (ChildProcess* entry : processList) {
        if (childProcessName(entry) != name)
            continue;
        matched = true;
        entry->terminate();
    }
    return matched;
}

std::string ChildProcess::childProcessName(ChildProcess* entry) {
    if (!entry || !entry->m_command)
        return {};
    return entry->m_command->name();
}

bool ChildProcess::running() const {
    return hasProcess() && !hasEnded();
}

bool ChildProcess::finished() const {
    return hasProcess() && hasEnded();
}

int ChildProcess::exitCode() const {
    if (!finished())
        return -1000;
    return decodeWaitStatus(waitStatus());
}

bool ChildProcess::hasProcess() const {
    return m_child && m_child->id() > 0;
}

// The library's reaper is the only one that collects a registered child: it stores the wait
// status in the handle's shared status before it calls the exit callback.
bool ChildProcess::hasEnded() const {
    return m_terminated || (hasProcess() && m_child->native_exit_code() != stillActive);
}

int ChildProcess::waitStatus() const {
    return m_terminated ? m_terminationStatus : m_child->native_exit_code();
}

// Kills the job and waits until it is dead, without collecting it: the library's reaper does
// that later and must not find the process gone. Runs with io_mutex held, so it must not
// depend on an I/O thread.
void ChildProcess::terminate() {
    if (m_terminated || !hasProcess() || m_child->native_exit_code() != stillActive)
        return;
    const pid_t pid = m_child->id();
    m_terminated = true;
    // A job that has already ended keeps its own code; no signal then.
    if (peekEnded(pid, WNOHANG, m_terminationStatus))
        return;
    if (::kill(pid, SIGKILL) == 0) {
        if (peekEnded(pid, 0, m_terminationStatus))
            return;
    } else if (const int error = errno; error != ESRCH) {
        const std::error_code ec(error, std::system_category());
        Log::errorMsg(objectNameText,
                      (boost::format("Cannot kill pid %1%: %2%") % pid % ec.message()).str());
    }
    // The process is gone or cannot be queried: the reaper's status if it has one, else the kill.
    const int recorded = m_child->native_exit_code();
    m_terminationStatus = recorded != stillActive ? recorded : SIGKILL;
}

} // namespace TarqSe::Daemon
