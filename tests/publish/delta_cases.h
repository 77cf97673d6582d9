#pragma once
// The pairs of old and new content that every patch format must rebuild: edge cases, blocks
// inserted, deleted, moved and repeated, scattered edits, and random edits of many seeds.
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_folder.h"

struct DeltaCase {
  std::string name;
  std::string old;
  std::string now;
};

inline std::vector<DeltaCase> DeltaCases() {
  const std::string a = RandomBytes(100000, 1);
  const std::string b = RandomBytes(50000, 2);
  const std::string escapes(70000, '\xA7');
  std::string edited = a;
  for (std::size_t i = 0; i < edited.size(); i += 997) edited[i] ^= 0x5A;
  std::vector<DeltaCase> cases = {
      {"both empty", "", ""},
      {"old empty", "", a},
      {"new empty", a, ""},
      {"identical", a, a},
      {"unrelated", a, b},
      {"inserted block", a, a.substr(0, 40000) + b + a.substr(40000)},
      {"deleted block", a, a.substr(0, 30000) + a.substr(60000)},
      {"moved blocks", a, a.substr(50000) + a.substr(0, 50000)},
      {"repeated block", a, a.substr(0, 20000) + a.substr(0, 20000) + a.substr(0, 20000)},
      {"scattered edits", a, edited},
      {"runs of one byte", escapes, escapes.substr(0, 30000) + "x" + escapes},
      {"escape bytes into data", a, escapes.substr(0, 100) + a + escapes.substr(0, 3)},
      {"short", "abcdef", "abXdefg"},
      // Above a megabyte the matcher's margin is chosen from slices of the new file.
      {"large with edits", RandomBytes(1500000, 4), RandomBytes(700000, 4) + b + RandomBytes(1500000, 4).substr(650000)},
  };
  for (unsigned seed = 10; seed < 30; ++seed) {
    std::string old = RandomBytes(1000 + seed * 37, seed);
    std::string now = old;
    std::mt19937 random(seed);
    for (int edit = 0; edit < 5; ++edit) {
      std::size_t at = random() % (now.size() + 1);
      std::size_t length = random() % 200;
      switch (random() % 3) {
        case 0: now.insert(at, RandomBytes(length, seed + edit)); break;
        case 1: now.erase(at, length); break;
        default: now.replace(at, length, old.substr(random() % old.size(), length)); break;
      }
    }
    cases.push_back({"random edits " + std::to_string(seed), old, now});
  }
  return cases;
}
