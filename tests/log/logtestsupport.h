#pragma once

#include "daemon/log.h"

#include <boost/log/core.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace TarqSe::Test {

namespace fs = std::filesystem;

constexpr std::size_t rotation_size = 1048576;
constexpr uid_t nobody = 65534;

// Length of "[YYYY-MM-DD HH:MM:SS.ffffff][info]:  ".
constexpr std::size_t info_prefix_length = 37;

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Whether text holds, from at, characters as shape has them, "0" standing for any digit.
inline bool hasShape(const std::string& text, std::size_t at, const std::string& shape) {
    if (text.size() < at + shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = text[at + i];
        if (shape[i] == '0' ? (c < '0' || c > '9') : c != shape[i])
            return false;
    }
    return true;
}

// The time stamp at the start of every line replaced by "[TS]", so that lines compare whole.
inline std::string maskTimestamps(const std::string& text) {
    static const std::string stamp = "[0000-00-00 00:00:00.000000]";
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        if (hasShape(text, at, stamp)) {
            out += "[TS]";
            at += stamp.size();
        }
        out.append(text, at, end - at);
        at = end;
    }
    return out;
}

// The rendered line of an info or error record, its time stamp masked.
inline std::string infoLine(const std::string& text) {
    return "[TS][info]:  " + text + "\n";
}
inline std::string errorLine(const std::string& text) {
    return "[TS][error]:  " + text + "\n";
}

inline std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// A message large enough to finish a file that holds a short record, short enough to stay whole.
inline std::string rotating(char fill) {
    return std::string(rotation_size - 76, fill);
}

struct LogFile {
    fs::path path;
    unsigned long counter;
};

// The files of the log directory named like the daemon's own, in the order of their counters.
inline std::vector<LogFile> logFiles(const fs::path& dir) {
    static const std::string stamp = "0000-00-00--00-00-00.";
    static const std::string suffix = ".tarq-daemon.log";
    std::vector<LogFile> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        const std::size_t digits =
            name.size() - std::min(name.size(), stamp.size() + suffix.size());
        if (!entry.is_regular_file() || digits == 0 || !hasShape(name, 0, stamp) ||
            !hasShape(name, stamp.size(), std::string(digits, '0')) ||
            name.compare(stamp.size() + digits, suffix.size(), suffix) != 0)
            continue;
        files.push_back({entry.path(), std::stoul(name.substr(stamp.size(), digits))});
    }
    std::sort(files.begin(), files.end(),
              [](const LogFile& a, const LogFile& b) { return a.counter < b.counter; });
    return files;
}

inline std::vector<std::string> contentsOf(const std::vector<LogFile>& files) {
    std::vector<std::string> out;
    for (const auto& f : files)
        out.push_back(readFile(f.path));
    return out;
}

class TempDir {
public:
    TempDir() {
        std::string name = (fs::temp_directory_path() / "tarq-log-XXXXXX").string();
        if (!mkdtemp(name.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = name;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// Standard output of this process, kept in memory while the object exists.
class CoutCapture {
public:
    CoutCapture() : m_previous(std::cout.rdbuf(m_buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(m_previous); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;

    std::string text() const { return m_buffer.str(); }

private:
    std::stringstream m_buffer;
    std::streambuf* m_previous;
};

// A log directory of its own and the console captured, for the logging of this process.
class LogDirTest : public ::testing::Test {
protected:
    void SetUp() override { boost::log::core::get()->remove_all_sinks(); }
    // Sets the logging of this process up, its console output captured.
    void initialize() {
        m_cout.emplace();
        Daemon::Log::initializeIn(logDir().string());
    }
    std::string consoleText() const { return m_cout ? m_cout->text() : std::string(); }
    fs::path logDir() const { return m_temp.path() / "logs"; }

    TempDir m_temp;
    std::optional<CoutCapture> m_cout;
};

inline void giveToNobody(const fs::path& path) {
    if (chown(path.c_str(), nobody, nobody) != 0)
        throw std::runtime_error("chown failed: " + path.string());
}

struct ChildRun {
    int status = -1;
    std::string out; // the child's standard output
    bool exitedCleanly() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

enum class RunAs { root, nobody };

// Runs body in a forked child that ends through exit(), so that the logging is torn down as
// at the daemon's own end. The child's standard output is collected.
template <typename Body> ChildRun runInChild(RunAs as, Body body) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    std::cout.flush();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        if (dup2(pipeFds[1], STDOUT_FILENO) < 0)
            _exit(120);
        close(pipeFds[1]);
        if (as == RunAs::nobody &&
            (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(121);
        boost::log::core::get()->remove_all_sinks();
        body();
        std::exit(0);
    }
    close(pipeFds[1]);
    ChildRun run;
    char buffer[65536];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) != 0;)
        if (n > 0)
            run.out.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    close(pipeFds[0]);
    if (pid > 0)
        while (waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
        }
    return run;
}

} // namespace TarqSe::Test
