#include "daemon/platform.h"

namespace TarqSe::Daemon {
// Placeholder until the platform functions are built.
void Platform::initialize() {}
std::string Platform::programLocationDir() { return {}; }
std::string Platform::fullPathToExecutable(const std::string&) { return {}; }
std::string Platform::openVpnPath() { return programLocationDir() + "/openvpn"; }
std::vector<std::string> Platform::killSwitchArgs() { return {programLocationDir() + "/killswitch.sh"}; }
std::vector<std::string> Platform::commandToKillProcessIfRunning(const std::string& name) {
    return {"/bin/bash", "-c", "killall " + name + " ; exit 0"};
}
std::vector<std::string> Platform::toWideStringVector(const std::vector<std::string>& args) { return args; }
void Platform::closeInheritedDescriptorsOnExec() {}
} // namespace TarqSe::Daemon
