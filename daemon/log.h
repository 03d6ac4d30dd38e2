#pragma once

#include <string>

namespace TarqSe::Daemon {

// One stream of records, written synchronously to standard output and to size-rotated files.
class Log {
public:
    Log() = delete;

    // Sets both outputs up once, before the first record. A log directory that cannot be made
    // ready turns the file output off; the console output stays.
    static void initialize();
    // The one error record of a set-up that turned the file output off, if it did; start-up
    // writes it right after its banner, the first record of every run.
    static void reportInitializationFailure();
    // Creates the log directory with its parents when it is missing; throws when it cannot.
    static void initializePath();
    // Both write "<objectName>: <message>" as one line: control characters other than tab are
    // escaped (\n, \r, \xNN).
    static void infoMsg(const std::string& objectName, const std::string& message);
    static void errorMsg(const std::string& objectName, const std::string& message);
    static std::string path();

    // The set-up of initialize() with another log directory, so that rotation and retention
    // can be exercised outside the fixed one.
    static void initializeIn(const std::string& directory);
};

} // namespace TarqSe::Daemon
