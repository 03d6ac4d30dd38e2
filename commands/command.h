#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace TarqSe::Daemon {

class Session;

// Base of the nine commands: one request line's message id and tokens, and the job it starts.
class Command {
public:
    Command(std::uint64_t messageId, const std::string& commandLine);
    virtual ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // True when a registered job now owns this command.
    virtual bool run(Session* session) = 0;

    bool isValid() const;
    bool isMyCommand() const;
    std::string name() const { return m_name; }
    std::string objectName() const { return capitalize(m_name); }
    std::uint64_t messageId() const { return m_messageId; }
    std::string commandState(bool started, int code) const;
    // helper: as for ChildProcess::runChildProcess.
    bool runAsync(const std::vector<std::string>& args, Session* session,
                  const std::string& helper = {});
    void logCommandLineArgs(const std::vector<std::string>& args) const;

    static std::string capitalize(const std::string& text);
    static std::uint64_t lastMessageId() { return m_lastMessageId; }
    static std::vector<std::string> splitCommandLineLine(const std::string& commandLine);
    static void logCommandLineArgs(const std::string& objectName,
                                   const std::vector<std::string>& args);
    // One-shot detached start: no registry entry, no reply.
    static void run(const std::string& objectName, const std::vector<std::string>& args);
    static bool processExists(const std::string& name);

protected:
    // Token index, or the empty string when the command line is shorter.
    std::string token(std::size_t index) const;

    std::vector<std::string> m_tokens;
    bool m_valid = false;
    std::string m_name;
    std::string m_processName;
    std::uint64_t m_messageId = 0;

private:
    static std::uint64_t m_lastMessageId;
};

} // namespace TarqSe::Daemon
