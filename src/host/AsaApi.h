#pragma once
// The host plugin API: the entry points a plugin reaches its host through.

#include <spdlog/sinks/sink.h>

#include <vector>

#include "host/FString.h"
#include "host/GameAddress.h"
#include "host/GameTypes.h"
#include "host/ICommands.h"
#include "host/IApiUtils.h"
#include "host/IHooks.h"
#include "host/Tools.h"
#include "host/WindowsApi.h"

namespace AsaApi {

ICommands& GetCommands();
IHooks& GetHooks();
IApiUtils& GetApiUtils();
// The host's log sinks; a plugin's logger writes through copies of these pointers.
std::vector<spdlog::sink_ptr>& GetLogSinks();

}  // namespace AsaApi
