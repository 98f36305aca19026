#pragma once
// The store's yes-or-no answers as the tests compare them: the value with how it came about.

#include "Database/IDatabase.h"

inline constexpr Answered<bool> kYes{true, StoreAnswer::Known};
inline constexpr Answered<bool> kNo{false, StoreAnswer::Known};
inline constexpr Answered<bool> kCouldNotAsk{false, StoreAnswer::CouldNotAsk};
inline constexpr Answered<bool> kInDoubt{false, StoreAnswer::InDoubt};
