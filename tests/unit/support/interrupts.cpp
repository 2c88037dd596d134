#include "support/interrupts.h"

#include <map>

namespace qel::test {
namespace {

std::map<std::string, ChildBody>& bodies() {
  static std::map<std::string, ChildBody> registered;
  return registered;
}

}  // namespace

bool register_child_body(const std::string& name, ChildBody body) {
  return bodies().emplace(name, body).second;
}

ChildBody child_body(const std::string& name) {
  const auto found = bodies().find(name);
  return found == bodies().end() ? nullptr : found->second;
}

}  // namespace qel::test
