#include "services/key_chain.h"

#include <gtest/gtest.h>

#include "services/signing.h"

namespace {

struct Key {
  std::string privateKey, publicKey;
  Key() { GenerateSigningKey(privateKey, publicKey); }
};

std::string Link(const Key& from, const Key& to, const std::string& role = "release") {
  return WriteRotation({role, from.publicKey, to.publicKey, 1796000000}, from.privateKey, to.privateKey);
}

}  // namespace

TEST(KeyChain, AClientFollowsEachLinkFromTheKeyItTrustsAndRetiresTheOldOnes) {
  const Key a, b, c;
  const std::string chain = Link(a, b) + Link(b, c);
  ASSERT_EQ(ReadKeyChain(chain).size(), 2u);
  // Two rotations behind: from a to c.
  FollowedKeys followed = FollowKeyChain(chain, a.publicKey);
  EXPECT_EQ(followed.trusted, std::vector<std::string>{c.publicKey});
  EXPECT_EQ(followed.retired, (std::vector<std::string>{a.publicKey, b.publicKey}));
  EXPECT_EQ(followed.followed, 2u);
  // One behind, and a client built with b already: the same end.
  EXPECT_EQ(FollowKeyChain(chain, b.publicKey).trusted, std::vector<std::string>{c.publicKey});
  // A spare the client also trusts stays trusted.
  const Key spare;
  EXPECT_EQ(FollowKeyChain(chain, a.publicKey + "," + spare.publicKey).trusted,
            (std::vector<std::string>{spare.publicKey, c.publicKey}));
  // A client that trusts none of the chain's keys follows nothing.
  EXPECT_EQ(FollowKeyChain(chain, spare.publicKey).followed, 0u);
}

TEST(KeyChain, ALinkThatBothKeysDidNotSignMovesNoOne) {
  const Key a, b, thief;
  const std::string good = Link(a, b);
  // Signed by a thief claiming to be a; accepted by b.
  std::string forged = WriteRotation({"release", a.publicKey, b.publicKey, 1796000000}, thief.privateKey, b.privateKey);
  // Signed by a, but never accepted by the key it names.
  std::string unaccepted = WriteRotation({"release", a.publicKey, thief.publicKey, 1796000000}, a.privateKey,
                                         b.privateKey);
  std::string edited = good;
  edited.replace(edited.find(b.publicKey), b.publicKey.size(), thief.publicKey);
  for (const std::string& chain : {forged, unaccepted, edited, good.substr(0, good.size() - 40), std::string("junk")}) {
    std::vector<std::string> problems;
    EXPECT_TRUE(ReadKeyChain(chain, &problems).empty());
    EXPECT_EQ(FollowKeyChain(chain, a.publicKey).trusted, std::vector<std::string>{a.publicKey});
  }
  // A renewal key's rotation never moves a release key.
  EXPECT_EQ(FollowKeyChain(Link(a, b, "renew"), a.publicKey).followed, 0u);
}

TEST(KeyChain, ARetiredKeyHandsNothingOnLater) {
  // a was rotated to b, then stolen: the thief's link from a to a key of its own comes too late.
  const Key a, b, thief;
  const FollowedKeys followed = FollowKeyChain(Link(a, b) + Link(a, thief), a.publicKey);
  EXPECT_EQ(followed.trusted, std::vector<std::string>{b.publicKey});
  // Nor can a chain lead back to a retired key.
  EXPECT_EQ(FollowKeyChain(Link(a, b) + Link(b, a), a.publicKey).trusted, std::vector<std::string>{b.publicKey});
}
