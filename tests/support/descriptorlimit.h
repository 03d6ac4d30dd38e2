#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace TarqSe::Test {

// Lowers this process's descriptor limit so that the next descriptor cannot be created, until
// restored (at the latest on destruction).
class DescriptorLimit {
public:
    DescriptorLimit() {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        const int next = ::open("/dev/null", O_RDONLY);
        ::close(next);
        rlimit tight = m_saved;
        tight.rlim_cur = static_cast<rlim_t>(next);
        setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~DescriptorLimit() { restore(); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    void restore() { setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved{};
};

} // namespace TarqSe::Test
