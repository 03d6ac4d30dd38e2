#pragma once

#include <string>

namespace TarqSe::Daemon {

// One stream of records, written synchronously to standard output and to size-rotated files.
class Log {
public:
    Log() = delete;

    static void initialize();
    static void initializePath();
    static void infoMsg(const std::string& objectName, const std::string& message);
    static void errorMsg(const std::string& objectName, const std::string& message);
    static std::string path();

    // The set-up of initialize() with another log directory, so that rotation and retention
    // can be exercised outside the fixed one.
    static void initializeIn(const std::string& directory);
};

} // namespace TarqSe::Daemon
