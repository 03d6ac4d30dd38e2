#pragma once

namespace TarqSe::Daemon {

// The C locale's white space, independent of the process's locale.
inline bool isAsciiWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace TarqSe::Daemon
