#include "PluginModule.h"

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>

#include "LogSinks.h"
#include "Output.h"

namespace devhost {

namespace {

// The text of whatever left the entry point.
std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace

PluginModule::PluginModule(std::string path, RegistrationCount registrations,
                           std::filesystem::path config, Detached detached)
    : path_(std::move(path)),
      registrations_(std::move(registrations)),
      config_(std::move(config)),
      detached_(std::move(detached)) {}

std::string PluginModule::Name() const { return std::filesystem::path(path_).stem().string(); }

void PluginModule::Load() {
  handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    PrintLine("load failed error=" + JsonText(reason != nullptr ? reason : "cannot open module"));
    return;
  }
  auto* entry = reinterpret_cast<EntryPoint>(dlsym(handle_, "DllMain"));
  Dl_info info{};
  if (entry == nullptr || dladdr(reinterpret_cast<void*>(entry), &info) == 0) {
    const char* reason = dlerror();
    PrintLine("load failed error=" + JsonText(reason != nullptr ? reason : "DllMain not found"));
    Close();
    return;
  }
  base_ = info.dli_fbase;
  std::error_code ignored;
  resolved_path_ = std::filesystem::weakly_canonical(info.dli_fname, ignored).string();
  entry_ = entry;  // IsLoaded() answers true while the entry point runs
  std::string failure;
  try {
    if (entry_(base_, DLL_PROCESS_ATTACH, nullptr) == FALSE) {
      failure = "DllMain returned FALSE";
      DetachAfterFailedAttach();
    }
  } catch (...) {
    failure = CurrentExceptionText();
  }
  if (failure.empty()) {
    PrintLine("load ok");
    return;
  }
  // A plugin that cannot read its configuration says only the file's name; the host knows where
  // it looked.
  std::string missing;
  if (!config_.empty() && !std::filesystem::exists(config_, ignored)) {
    missing = " missing=" + JsonText(config_.string());
    DevhostLogger().warn("there is no configuration at {} (--root names the server folder)",
                         config_.string());
  }
  PrintLine("load failed error=" + JsonText(failure) + missing);
  Close();
}

void PluginModule::Unload() {
  std::string failure;
  try {
    entry_(base_, DLL_PROCESS_DETACH, nullptr);
  } catch (...) {
    failure = CurrentExceptionText();
  }
  PrintLine(failure.empty() ? std::string("unload ok")
                            : "unload failed error=" + JsonText(failure));
  Close();
}

void PluginModule::Notify(DWORD reason) { entry_(base_, reason, nullptr); }

// As the Windows loader does after a FALSE attach; what the plugin throws here is only logged,
// the load has failed already.
void PluginModule::DetachAfterFailedAttach() {
  try {
    entry_(base_, DLL_PROCESS_DETACH, nullptr);
  } catch (...) {
    DevhostLogger().warn("the plugin threw from its detach after a failed attach: {}",
                         CurrentExceptionText());
  }
}

void PluginModule::Close() {
  const bool attached = entry_ != nullptr;
  entry_ = nullptr;
  if (attached && detached_) detached_();
  const std::size_t left = registrations_();
  if (left == 0) {
    dlclose(handle_);
  } else {
    DevhostLogger().warn("the plugin left {} registrations behind; its module stays open", left);
  }
  handle_ = nullptr;
  base_ = nullptr;
}

}  // namespace devhost
