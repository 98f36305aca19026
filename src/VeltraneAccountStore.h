#pragma once
// The account store the settings' Database section describes.

#include <memory>

#include "Database/IDatabase.h"
#include "VeltraneSettings.h"

// Connects at once (logging what fails) and prepares the table; never null.
std::unique_ptr<IDatabase> BuildAccountStore(const DatabaseSettings& database);
