#pragma once
// Game functions and fields are reached by name, as the engine's reflection names them
// ("AShooterPlayerController.GetLinkedPlayerID()", "AController.PlayerState").
//
// Calling convention of a game function reached by name: a plain function whose first argument
// is the object (omitted for static functions such as FMemory's), followed by the arguments in
// their declared order. Functions that give back an FString fill a caller-provided FString and
// return its address.

#include <stdexcept>
#include <string>

namespace AsaApi {

// Address of the named game function; null when the game has none of that name.
void* GetAddress(const std::string& name);
// Address of the named field inside the object; null when the object has no such field.
void* GetAddress(const void* base, const std::string& name);

inline void* RequireAddress(const std::string& name) {
  void* address = GetAddress(name);
  if (address == nullptr) throw std::runtime_error("Game function not found: " + name);
  return address;
}

}  // namespace AsaApi

template <typename Result, typename... Args>
Result NativeCall(const void* object, const std::string& name, Args... args) {
  using Function = Result (*)(const void*, Args...);
  return reinterpret_cast<Function>(AsaApi::RequireAddress(name))(object, args...);
}

template <typename Result, typename... Args>
Result NativeCallStatic(const std::string& name, Args... args) {
  using Function = Result (*)(Args...);
  return reinterpret_cast<Function>(AsaApi::RequireAddress(name))(args...);
}

template <typename Field>
Field& GetNativeField(const void* object, const std::string& name) {
  void* address = AsaApi::GetAddress(object, name);
  if (address == nullptr) throw std::runtime_error("Game field not found: " + name);
  return *static_cast<Field*>(address);
}
