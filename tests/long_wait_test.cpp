// Unit tests of LongWait, the handlers' scope around a wait that may last as
// long as another process wants, over the hooks the request loop installs:
// which calls reach the hooks, and what the scope answers.
#include <gtest/gtest.h>

#include <vector>

#include "ops/long_wait.h"

namespace callerfs::ops {
namespace {

WaitAdmission answer = WaitAdmission::kWaiting;
int begun = 0;
std::vector<uid_t> ended;

WaitAdmission FakeBegin(uid_t& uid) {
  ++begun;
  uid = 1234;
  return answer;
}
void FakeEnd(uid_t uid) { ended.push_back(uid); }

class LongWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    answer = WaitAdmission::kWaiting;
    begun = 0;
    ended.clear();
    InstallLongWaitHooks({FakeBegin, FakeEnd});
  }
  void TearDown() override { InstallLongWaitHooks({}); }
};

TEST(LongWaitWithoutHooksTest, WaitsUntracked) {
  InstallLongWaitHooks({});
  const LongWait wait;
  EXPECT_FALSE(wait.interrupted());
  EXPECT_FALSE(wait.refused());
}

TEST_F(LongWaitTest, AWaitThatBeganEndsOnceWithWhatBeginStored) {
  {
    const LongWait wait;
    EXPECT_FALSE(wait.interrupted());
    EXPECT_FALSE(wait.refused());
    EXPECT_EQ(begun, 1);
    EXPECT_TRUE(ended.empty()) << "ended while the scope lasts";
  }
  EXPECT_EQ(ended, std::vector<uid_t>{1234});
}

TEST_F(LongWaitTest, AShortWaitAsksNothing) {
  { const LongWait wait(false); }
  EXPECT_EQ(begun, 0);
  EXPECT_TRUE(ended.empty());
}

TEST_F(LongWaitTest, InterruptedRefusedAndUntrackedWaitsNeverEnd) {
  const struct {
    WaitAdmission admission;
    bool interrupted, refused;
  } cases[] = {
      {WaitAdmission::kInterrupted, true, false},
      {WaitAdmission::kRefused, false, true},
      {WaitAdmission::kUntracked, false, false},
  };
  for (const auto& c : cases) {
    answer = c.admission;
    {
      const LongWait wait;
      EXPECT_EQ(wait.interrupted(), c.interrupted);
      EXPECT_EQ(wait.refused(), c.refused);
    }
    EXPECT_TRUE(ended.empty());
  }
  EXPECT_EQ(begun, 3);
}

}  // namespace
}  // namespace callerfs::ops
