#pragma once
// The account store the settings' Database section describes.

#include <memory>

#include "Configuration/Settings.h"
#include "Database/IDatabase.h"

// Connects at once (logging what fails) and prepares the table, unless non-blocking: then its
// Connect() task does; never null.
std::unique_ptr<IDatabase> BuildAccountStore(const DatabaseSettings& database);
