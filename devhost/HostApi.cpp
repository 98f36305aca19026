// The plugin API's free functions and the Windows calls, over the one DevHost.

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "DevHost.h"
#include "GameFunctions.h"
#include "LogSinks.h"
#include "host/AsaApi.h"

namespace AsaApi {

ICommands& GetCommands() { return devhost::DevHost::Get().commands; }
IHooks& GetHooks() { return devhost::DevHost::Get().hooks; }
IApiUtils& GetApiUtils() { return devhost::DevHost::Get().api_utils; }
std::vector<spdlog::sink_ptr>& GetLogSinks() { return devhost::LogSinks(); }

void* GetAddress(const std::string& name) {
  // FMemory is called for every string, also in processes without a game (the host's tests).
  if (name.rfind("FMemory.", 0) == 0) return devhost::FindGameFunction(name);
  return devhost::DevHost::Get().hooks.CurrentEntry(name);
}

void* GetAddress(const void* base, const std::string& name) {
  return devhost::DevHost::Get().game.FieldAddress(base, name);
}

namespace Tools {

std::string GetCurrentDir() {
  std::string dir = devhost::DevHost::Get().root.string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool IsPluginLoaded(const std::string& plugin_name) {
  const devhost::DevHost& host = devhost::DevHost::Get();
  if (plugin_name == "Permissions") return host.permissions.IsLoaded();
  return host.plugin && host.plugin->IsLoaded() && host.plugin->Name() == plugin_name;
}

}  // namespace Tools
}  // namespace AsaApi

namespace {

// A module is named by its base address, as on Windows. _dl_find_object answers from the loader's
// own table, where dladdr searches symbol tables: the plugin asks at every message it sends.
bool ModuleOfAddress(const void* address, HMODULE* module) {
  dl_find_object found{};
  if (_dl_find_object(const_cast<void*>(address), &found) == 0 && found.dlfo_map_start != nullptr) {
    *module = found.dlfo_map_start;
    return true;
  }
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return false;
  *module = info.dli_fbase;
  return true;
}

// Resolved once per file name: the plugin names its module file at every message it sends, and
// resolving walks the file system, which on Windows this call never does.
std::string CanonicalPath(const char* file_name) {
  static std::mutex lock;
  static auto* resolved = new std::map<std::string, std::string, std::less<>>();  // never destroyed
  const std::lock_guard<std::mutex> guard(lock);
  auto found = resolved->find(std::string_view(file_name));
  if (found == resolved->end()) {
    std::error_code ignored;
    found =
        resolved->emplace(file_name, std::filesystem::weakly_canonical(file_name, ignored).string())
            .first;
  }
  return found->second;
}

}  // namespace

extern "C" BOOL GetModuleHandleExA(DWORD flags, LPCSTR module_name, HMODULE* module) {
  if (module == nullptr) return FALSE;
  *module = nullptr;
  if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)
    return ModuleOfAddress(module_name, module) ? TRUE : FALSE;
  // Without the flag the name is a module's file name; null names the executable.
  void* handle = dlopen(module_name, RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return FALSE;
  link_map* map = nullptr;
  const bool found = dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
                     ModuleOfAddress(map->l_ld, module);
  dlclose(handle);
  return found ? TRUE : FALSE;
}

extern "C" DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size) {
  if (filename == nullptr || size == 0) return 0;
  std::error_code ignored;
  std::string path;
  Dl_info info{};
  dl_find_object found{};
  if (module == nullptr) {
    path = std::filesystem::read_symlink("/proc/self/exe", ignored).string();
  } else if (_dl_find_object(module, &found) == 0 && found.dlfo_link_map != nullptr &&
             found.dlfo_link_map->l_name != nullptr && found.dlfo_link_map->l_name[0] != 0) {
    path = CanonicalPath(found.dlfo_link_map->l_name);
  } else if (dladdr(module, &info) != 0 && info.dli_fname != nullptr) {
    path = CanonicalPath(info.dli_fname);
  }
  const std::u16string wide = AsaApi::Tools::Utf8Decode(path);
  const DWORD copied = std::min<DWORD>(static_cast<DWORD>(wide.size()), size - 1);
  std::memcpy(filename, wide.data(), copied * sizeof(WCHAR));
  filename[copied] = 0;
  return wide.size() < size ? copied : size;
}
