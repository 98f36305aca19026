#pragma once
// The store's yes-or-no answers as the tests compare them: the value with how it came about.

#include <ostream>

#include "Database/IDatabase.h"

inline constexpr Answered<bool> kYes{true, StoreAnswer::Known};
inline constexpr Answered<bool> kNo{false, StoreAnswer::Known};
inline constexpr Answered<bool> kCouldNotAsk{false, StoreAnswer::CouldNotAsk};
inline constexpr Answered<bool> kInDoubt{false, StoreAnswer::InDoubt};

inline void PrintTo(const Answered<bool>& answered, std::ostream* out) {
  constexpr const char* kHow[] = {"known", "could not ask", "in doubt"};
  *out << (answered.value ? "true" : "false") << " (" << kHow[static_cast<int>(answered.answer)]
       << ")";
}
