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
#include <boost/system/system_error.hpp>
#include <boost/thread/mutex.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <system_error>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

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

void logStartFailed(const std::string& program, const std::string& why) {
    Log::errorMsg(objectNameText, (boost::format("Cannot start '%1%': %2%") % program % why).str());
}

// Why the program directory holds no executable of that name, in the words exec would use.
std::string whyMissing(const std::string& helper) {
    const std::string path = Platform::programLocationDir() + "/" + helper;
    if (::access(path.c_str(), X_OK) != 0)
        return std::error_code(errno, std::system_category()).message();
    // Executable, yet no regular file: a directory, for instance.
    return std::make_error_code(std::errc::permission_denied).message();
}

// Spawns the program of argv (exactly element 0, never split at blanks nor searched in PATH)
// with the given handlers. Null with the reason when no process came of it: the library throws
// some failures (it cannot watch children without a descriptor), reports others through ec, and
// a failed pipe(2) or fcntl(2) not at all, returning a child without pid.
template <typename... Handlers>
std::unique_ptr<bp::child> spawn(const std::vector<std::string>& argv, std::string& why,
                                 Handlers&&... handlers) {
    std::error_code ec;
    std::unique_ptr<bp::child> child;
    errno = 0;
    try {
        child = std::make_unique<bp::child>(
            bp::exe = argv[0], bp::args = std::vector<std::string>(argv.begin() + 1, argv.end()),
            std::forward<Handlers>(handlers)..., ec);
    } catch (const std::system_error& e) {
        why = e.code().message();
        return nullptr;
    } catch (const boost::system::system_error& e) {
        why = e.code().message();
        return nullptr;
    } catch (const std::exception& e) {
        why = e.what();
        return nullptr;
    }
    if (!ec && child->id() <= 0)
        ec = std::error_code(errno != 0 ? errno : EAGAIN, std::system_category());
    if (ec) {
        why = ec.message();
        return nullptr;
    }
    return child;
}

} // namespace

ChildProcess::~ChildProcess() {
    delete m_child;
    delete m_command;
}

bool ChildProcess::runChildProcessDetached(const std::vector<std::string>& args) {
    if (namesNoProgram(args))
        return false;
    std::string why;
    const auto child = spawn(Platform::toWideStringVector(args), why, DetachedStartHandler{});
    if (!child) {
        logStartFailed(args[0], why);
        return false;
    }
    logStarted(args[0], child->id());
    child->detach();
    boost::mutex::scoped_lock lock(io_mutex);
    detachedList.push_back(child->id());
    return true;
}

bool ChildProcess::runChildProcess(const std::vector<std::string>& args, Command* command,
                                   Session* session, const std::string& helper) {
    if (namesNoProgram(args)) {
        if (!helper.empty())
            logStartFailed(helper, whyMissing(helper));
        return false;
    }
    std::string why;
    // The hooks poll the registry, so io_mutex must not be held here.
    auto child = spawn(Platform::toWideStringVector(args), why, WebSocketServer::globalIoContext(),
                       ProcessHandler{});
    if (!child) {
        logStartFailed(args[0], why);
        return false;
    }
    logStarted(args[0], child->id());
    child->detach();

    auto* entry = new ChildProcess;
    entry->m_command = command;
    entry->m_session = session;
    entry->m_child = child.release();
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
