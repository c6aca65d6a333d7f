#include "ui/TableLanguage.h"

namespace {

constexpr std::uint16_t Primary(std::uint16_t language) { return language & 0x3FF; }

constexpr std::uint16_t kDefaultSublanguage = 1;

bool Contains(const std::uint16_t* available, std::size_t count, std::uint16_t language) {
  for (std::size_t i = 0; i < count; ++i) {
    if (available[i] == language) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::uint16_t ChooseTableLanguage(std::uint16_t userLanguage, const std::uint16_t* available,
                                  std::size_t count) {
  if (count == 0) {
    return 0;
  }
  if (Contains(available, count, userLanguage)) {
    return userLanguage;
  }
  const std::uint16_t primaryDefault =
      static_cast<std::uint16_t>((kDefaultSublanguage << 10) | Primary(userLanguage));
  if (Contains(available, count, primaryDefault)) {
    return primaryDefault;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (Primary(available[i]) == Primary(userLanguage)) {
      return available[i];
    }
  }
  return Contains(available, count, kDefaultTableLanguage) ? kDefaultTableLanguage : available[0];
}
