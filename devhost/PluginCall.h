#pragma once
// Plugin callbacks should not throw; when one does, the host prints an error line and goes on.

#include <exception>
#include <string>
#include <string_view>

#include "Output.h"

namespace devhost {

template <typename Call>
void CallPlugin(std::string_view what, Call&& call) {
  std::string failure;
  try {
    call();
    return;
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "unknown exception";
  }
  PrintLine("error " + JsonText(std::string(what) + " threw: " + failure));
}

}  // namespace devhost
