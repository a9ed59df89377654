// The host HTTP contract, byte for byte, against the real daemon over TCP.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "e2e/daemon_fixture.h"

namespace {

class ApiContract : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(daemon.Port(), 0) << "daemon did not listen"; }
    Daemon daemon;
};

TEST_F(ApiContract, AmplitudeReplyIsTheExactEnvelope)
{
    const HttpReply reply = Get(daemon.Port(), "/api/audio/amplitude");
    EXPECT_EQ(reply.raw, ExpectedJsonReply(R"({"amplitude":0})"));
}

}  // namespace
