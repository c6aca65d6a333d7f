// Which of the executable's string tables a user sees. Pure: no Windows headers; languages are
// LANGIDs (primary language in the low ten bits, sublanguage above).
#pragma once

#include <cstddef>
#include <cstdint>

// The language of the default table, English (United States).
inline constexpr std::uint16_t kDefaultTableLanguage = 0x0409;

// Of the table languages `available` (`count` of them), the one to show a user whose interface
// language is `userLanguage`: that language; else the same primary language with its default
// sublanguage; else any table of the same primary language; else the default table; else the
// first. 0 when there is none.
std::uint16_t ChooseTableLanguage(std::uint16_t userLanguage, const std::uint16_t* available,
                                  std::size_t count);
