#include "services/key_chain.h"

#include <algorithm>
#include <sstream>

#include "services/signing.h"

namespace {

constexpr const char* HEADER = "zepo-rotation 1\n";

std::string SignedLines(const KeyRotation& rotation) {
  return std::string(HEADER) + "role " + rotation.role + "\nfrom " + rotation.from + "\nto " + rotation.to +
         "\nserial " + std::to_string(rotation.serial) + "\n";
}

// One link's text: its signed lines and its two signature lines.
bool ReadLink(const std::string& link, KeyRotation& rotation, std::string& problem) {
  const std::size_t fromAt = link.find("\nfrom-signature ");
  const std::size_t toAt = link.find("\nto-signature ");
  if (fromAt == std::string::npos || toAt == std::string::npos || toAt < fromAt) {
    problem = "a link lacks its signatures";
    return false;
  }
  const std::string lines = link.substr(0, fromAt + 1);
  const std::string fromSignature = link.substr(fromAt + 16, 128);
  const std::string toSignature = link.substr(toAt + 14, 128);
  rotation = KeyRotation{};
  ForEachStatedLine(lines.substr(std::string(HEADER).size()), [&](const std::string& name, const std::string& value) {
    if (name == "role") rotation.role = value;
    if (name == "from") rotation.from = value;
    if (name == "to") rotation.to = value;
    if (name == "serial") rotation.serial = std::strtoull(value.c_str(), nullptr, 10);
  });
  if (!VerifyMessage(rotation.from, lines, fromSignature)) {
    problem = "a link is not signed by the key it retires (" + rotation.from + ")";
  } else if (!VerifyMessage(rotation.to, lines, toSignature)) {
    problem = "a link is not accepted by the key it names (" + rotation.to + ")";
  } else if (rotation.from == rotation.to) {
    problem = "a link hands a key to itself";
  } else {
    return true;
  }
  return false;
}

std::vector<std::string> KeysIn(const std::string& keys) {
  std::vector<std::string> found;
  std::string text = keys;
  std::replace(text.begin(), text.end(), ',', ' ');
  std::istringstream words(text);
  for (std::string word; words >> word;) found.push_back(word);
  return found;
}

bool Holds(const std::vector<std::string>& keys, const std::string& key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace

std::string WriteRotation(const KeyRotation& rotation, const std::string& fromPrivate, const std::string& toPrivate) {
  const std::string lines = SignedLines(rotation);
  const std::string fromSignature = SignMessage(fromPrivate, lines);
  const std::string toSignature = SignMessage(toPrivate, lines);
  if (fromSignature.empty() || toSignature.empty()) return std::string();
  return lines + "from-signature " + fromSignature + "\nto-signature " + toSignature + "\n";
}

std::vector<KeyRotation> ReadKeyChain(const std::string& chain, std::vector<std::string>* problems) {
  std::vector<KeyRotation> links;
  const std::string header = HEADER;
  for (std::size_t at = chain.find(header); at != std::string::npos;) {
    const std::size_t next = chain.find(header, at + header.size());
    KeyRotation rotation;
    std::string problem;
    if (ReadLink(chain.substr(at, next == std::string::npos ? std::string::npos : next - at), rotation, problem)) {
      links.push_back(rotation);
    } else if (problems != nullptr) {
      problems->push_back(problem);
    }
    at = next;
  }
  return links;
}

FollowedKeys FollowKeyChain(const std::string& chain, const std::string& keys) {
  FollowedKeys followed;
  followed.trusted = KeysIn(keys);
  for (const KeyRotation& link : ReadKeyChain(chain)) {
    if (link.role != "release" || !Holds(followed.trusted, link.from) || Holds(followed.retired, link.to)) continue;
    followed.trusted.erase(std::find(followed.trusted.begin(), followed.trusted.end(), link.from));
    followed.retired.push_back(link.from);
    if (!Holds(followed.trusted, link.to)) followed.trusted.push_back(link.to);
    ++followed.followed;
  }
  return followed;
}
