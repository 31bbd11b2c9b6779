#include "ui/LVCommandRegistry.h"

#include "core/text.h"

namespace {

std::vector<LVCommandSpec>& Commands() {
  static std::vector<LVCommandSpec> commands;
  return commands;
}

}  // namespace

void LVRegisterCommand(LVCommandSpec row) {
  for (auto& existing : Commands()) {
    if (IStringsEqual(existing.name, row.name)) {
      existing = std::move(row);
      return;
    }
  }
  Commands().push_back(std::move(row));
}

const LVCommandSpec* LVFindCommand(const std::string& name) {
  for (const auto& spec : Commands()) {
    if (IStringsEqual(spec.name, name)) return &spec;
  }
  return nullptr;
}

bool LVCommandRegistered(const std::string& name) { return LVFindCommand(name) != nullptr; }

std::vector<std::string> LVCommandNames() {
  std::vector<std::string> names;
  for (const auto& spec : Commands()) names.push_back(spec.name);
  return names;
}
