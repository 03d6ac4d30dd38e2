#include "registryfixture.h"

namespace TarqSe::Test {
namespace {

// Quick jobs end while other threads poll: each code must still be the job's own.
TEST_F(RegistryTest, ManyQuickJobsAllReportTheirRealCode) {
    constexpr std::uint64_t jobs = 300;
    constexpr std::uint64_t batch = 50;
    startAll();
    const std::string script = writeScript("three.sh", "exit 3");
    for (std::uint64_t id = 1; id <= jobs; ++id) {
        ASSERT_TRUE(startJob(id, "job", {script}));
        if (id % batch == 0) {
            ASSERT_TRUE(waitUntil([] { return !ChildProcess::processExists("job"); }));
        }
    }
    ASSERT_TRUE(waitForReply(finishedReply(jobs, "job", 3)));
    ASSERT_TRUE(
        waitUntil([this] { return m_log.count("ChildProcess: No running processes") > 0; }));

    std::size_t finished = 0;
    for (std::uint64_t id = 1; id <= jobs; ++id) {
        ASSERT_TRUE(waitUntil([&] { return repliesOf(id).size() == 2; })) << id;
        const auto replies = repliesOf(id);
        EXPECT_EQ(replies,
                  (std::vector<std::string>{startedReply(id, "job"), finishedReply(id, "job", 3)}))
            << id;
        finished += replies.size() == 2 && replies[1] == finishedReply(id, "job", 3) ? 1 : 0;
    }
    EXPECT_EQ(finished, jobs);
}

} // namespace
} // namespace TarqSe::Test
