#pragma once
// The plugin module: opened with the platform loader and driven through its entry point DllMain,
// reason 1 after opening and 0 before closing. Game thread.

#include <filesystem>
#include <functional>
#include <string>

#include "host/WindowsApi.h"

namespace devhost {

class PluginModule {
 public:
  // Registrations and hooks still held by the host: a module is only closed when none is left,
  // because each of them points into its code.
  using RegistrationCount = std::function<std::size_t()>;
  // Called after every detach, before the registrations are counted: the host stops calling
  // into the module on its own (its ticks).
  using Detached = std::function<void()>;

  // config: where the plugin reads its configuration; a failed load names it when it is missing.
  PluginModule(std::string path, RegistrationCount registrations, std::filesystem::path config = {},
               Detached detached = {});

  // Print "load ok" or "load failed error=JSON", followed by " missing=JSON" with the
  // configuration's path when the entry point failed and that file does not exist. An entry point
  // that answers FALSE is called again with reason 0 first, as the Windows loader does. A failed
  // load leaves the module unloaded.
  void Load();
  // Prints "unload ok", or "unload failed error=JSON" when the entry point throws; the module
  // counts as unloaded either way.
  void Unload();
  // Thread attach and detach (reasons 2 and 3); throws what the entry point throws.
  void Notify(DWORD reason);

  bool IsLoaded() const { return entry_ != nullptr; }
  // The file name without folder and extension ("Veltrane" for ".../Veltrane.so").
  std::string Name() const;
  // The module file's absolute path, once it was opened.
  const std::string& Path() const { return resolved_path_; }

 private:
  using EntryPoint = BOOL (*)(HMODULE, DWORD, LPVOID);

  void DetachAfterFailedAttach();
  void Close();

  std::string path_;
  std::string resolved_path_;
  RegistrationCount registrations_;
  std::filesystem::path config_;
  Detached detached_;
  void* handle_ = nullptr;
  HMODULE base_ = nullptr;
  EntryPoint entry_ = nullptr;
};

}  // namespace devhost
