#pragma once

#include <string>
#include <vector>

namespace boost::process {
class child;
} // namespace boost::process

namespace TarqSe::Daemon {

class Command;
class Session;

// The job registry: one entry per job started for a command; the only source of status replies.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    static bool runChildProcessDetached(const std::vector<std::string>& args);
    // helper: the program directory's file that element 0 was looked up as; a missing one is
    // named in the record.
    static bool runChildProcess(const std::vector<std::string>& args, Command* command,
                                Session* session, const std::string& helper = {});
    static void checkProcessList(bool logWhenEmpty);
    static bool processExists(const std::string& name);
    static bool terminateProcessByName(const std::string& name);
    static std::string childProcessName(ChildProcess* entry);

    bool running() const;
    bool finished() const;
    void printProcessState() const {}
    // -1000 while the job runs or has no process.
    int exitCode() const;
    void replyToSession();

private:
    bool hasProcess() const;
    bool hasEnded() const;
    int waitStatus() const;
    void terminate();

    Command* m_command = nullptr;
    Session* m_session = nullptr;
    boost::process::child* m_child = nullptr;
    int m_state = 0;
    bool m_startReported = false;
    // Set once the daemon has killed the job (or found it ended while killing it); the job is
    // then over, with m_terminationStatus as its wait status.
    bool m_terminated = false;
    int m_terminationStatus = 0;
};

} // namespace TarqSe::Daemon
