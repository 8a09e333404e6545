// Unit tests of DescriptorQuota, the per-user count of descriptors the daemon
// holds: the cap, root's exemption, the reserve, charges following their
// descriptors, and the counter table under many users.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "base/log.h"
#include "registry/descriptor_quota.h"

namespace callerfs {
namespace {

constexpr long kLimit = 1000;  // reserve: the last 128 numbers, 872 and up

std::unique_ptr<DescriptorQuota> MakeQuota(long cap) {
  auto quota = std::make_unique<DescriptorQuota>();
  EXPECT_TRUE(quota->Configure(kLimit, cap));
  return quota;
}

TEST(DescriptorQuotaTest, CapsEachUserAloneAndFollowsDescriptorsToTheirClose) {
  const auto quota = MakeQuota(3);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(quota->Charge(1000));
  EXPECT_FALSE(quota->Charge(1000)) << "past the cap";
  EXPECT_TRUE(quota->Charge(1001)) << "another user is not affected";
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(quota->Charge(0)) << "root is exempt";

  // A kept descriptor carries its charge until it is forgotten; the reserve
  // refuses numbers for everyone.
  EXPECT_TRUE(quota->Keep(10, 1000));
  EXPECT_TRUE(quota->Keep(871, 1000));
  EXPECT_FALSE(quota->Keep(872, 1000));
  EXPECT_FALSE(quota->Keep(872, 0));
  EXPECT_EQ(quota->Forget(10), 1000u);
  EXPECT_EQ(quota->Forget(10), DescriptorQuota::kNoOwner) << "forgotten once only";
  quota->Uncharge(1000);
  EXPECT_EQ(quota->Held(1000), 2);

  // Close closes the descriptor and gives its charge back.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[1]);
  ASSERT_TRUE(quota->Keep(ends[0], 1001));
  EXPECT_EQ(quota->Close(ends[0]), 0);
  EXPECT_EQ(fcntl(ends[0], F_GETFD), -1) << "not closed";
  EXPECT_EQ(quota->Held(1001), 0);

  // An open's charge is given back unless its descriptor is kept.
  { DescriptorCharge in_reserve(*quota, 1000); EXPECT_TRUE(in_reserve && !in_reserve.Keep(900)); }
  { DescriptorCharge kept(*quota, 1000); EXPECT_TRUE(kept.Keep(20)); }
  EXPECT_EQ(quota->Held(1000), 3);

  DescriptorQuota unconfigured;
  EXPECT_FALSE(unconfigured.Charge(1000) || unconfigured.Keep(3, 0)) << "admits nothing";
}

// Every user in the table stays reachable however others come and go, and the
// table refuses a new user only while it is full.
TEST(DescriptorQuotaTest, CountersStayReachableAsUsersComeAndGo) {
  const auto quota = MakeQuota(2);
  constexpr uid_t kFirst = 1000;
  const uid_t users = DescriptorQuota::kMaxUsers;
  // uids with the same low bits, and consecutive ones: long probe chains.
  const auto uid_of = [](uid_t i) { return i % 2 ? kFirst + i : kFirst + (i << 12); };
  for (uid_t i = 0; i < users; ++i) ASSERT_TRUE(quota->Charge(uid_of(i))) << i;
  EXPECT_FALSE(quota->Charge(1)) << "the table is full";
  for (uid_t i = 0; i < users; i += 2) quota->Uncharge(uid_of(i));
  for (uid_t i = 0; i < users; ++i) ASSERT_EQ(quota->Held(uid_of(i)), i % 2) << i;
  EXPECT_TRUE(quota->Charge(1));
  for (uid_t i = 1; i < users; i += 2) {
    ASSERT_TRUE(quota->Charge(uid_of(i)));
    ASSERT_FALSE(quota->Charge(uid_of(i))) << "the cap still holds for " << i;
  }
}

// A user at the cap is logged once a minute, whatever the other users do.
TEST(DescriptorCapLogTest, OneLinePerUserPerMinute) {
  using std::chrono::seconds;
  RateLimit per_user(std::chrono::minutes(1));
  const RateLimit::Clock::time_point start{};
  EXPECT_TRUE(per_user.Allow(1000, start));
  EXPECT_FALSE(per_user.Allow(1000, start + seconds(59)));
  EXPECT_TRUE(per_user.Allow(1001, start + seconds(59)));
  EXPECT_TRUE(per_user.Allow(1000, start + seconds(60)));
  EXPECT_FALSE(per_user.Allow(1000, start + seconds(119)));
}

// Failed requests are held back per key, and the next line that passes
// counts those held back since the last one.
TEST(FailedRequestLogTest, HeldBackEventsAreCountedInTheNextLine) {
  using std::chrono::seconds;
  struct Key {
    unsigned uid;
    int error;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const { return key.uid ^ static_cast<size_t>(key.error); }
  };
  KeyedRateLimit<Key, KeyHash> per_kind(std::chrono::minutes(1));
  const RateLimit::Clock::time_point start{};
  struct Step {
    Key key;
    seconds at;
    std::optional<unsigned long> admitted;
  };
  const Step steps[] = {
      {{1000, EIO}, seconds(0), 0},   {{1000, EIO}, seconds(1), std::nullopt},
      {{1000, EIO}, seconds(59), std::nullopt}, {{1000, ENOMEM}, seconds(59), 0},
      {{1001, EIO}, seconds(59), 0},  {{1000, EIO}, seconds(60), 2},
      {{1000, EIO}, seconds(200), 0},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(per_kind.Admit(step.key, start + step.at), step.admitted)
        << step.key.uid << " " << step.key.error << " at " << step.at.count();
  }
}

}  // namespace
}  // namespace callerfs
