# The plugin's sources, named once for the native build (src/CMakeLists.txt) and the Windows cross
# build (cmake/Windows.cmake). Paths are relative to src/.

# Code that needs neither the host process nor the module around it: the log holder, the wrong-code
# bookkeeping, the link flow, the bounded file read, Discord's limits, the neutralisers of player
# text, the announcement's text, its queue and the webhook's pace (kept in its file from an unload
# to the next load), the admin commands' texts (the status
# among them) and the table of settings with its check.
set(VELTRANE_CORE_SOURCES
    Plugin/PluginLog.cpp
    Linking/CodeAttemptLimiter.cpp
    Linking/LinkFlow.cpp
    Linking/PendingWork.cpp
    Linking/LinkReminders.cpp
    Linking/LinkGraces.cpp
    Configuration/RegularFile.cpp
    Discord/DiscordRules.cpp
    Discord/Mentions.cpp
    Discord/Markdown.cpp
    Discord/AnnouncementText.cpp
    Discord/AnnouncementQueue.cpp
    Discord/WebhookPace.cpp
    Discord/PaceFile.cpp
    Admin/AdminCommandText.cpp
    Configuration/SettingsTable.cpp
    Admin/StatusText.cpp)

# The account store (Database/MysqlDB.h), by job, and the non-blocking connection to the database.
# The store's parsers and the blocking connection are headers (Database/).
set(VELTRANE_STORE_SOURCES
    Database/StoreConnection.cpp
    Database/TableCheck.cpp
    Database/LinkQueries.cpp
    Database/WriteSettling.cpp
    Database/AdminQueries.cpp
    Database/NonBlockingConnection.cpp
    Database/StepDriver.cpp
    Database/StoreChannel.cpp)

# The module's own code, which calls the host: its lifetime, the game side of the commands and the
# hooks, the configuration, the messages, the group step, the webhook and the announcements' posts.
set(VELTRANE_MODULE_SOURCES
    Veltrane.cpp
    Database/AccountStore.cpp
    Admin/AdminCommands.cpp
    Configuration/ConfigFile.cpp
    Linking/LinkCommand.cpp
    Linking/LogoutRefresh.cpp
    Linking/LoginCheck.cpp
    Linking/RequireLink.cpp
    Linking/StoreTick.cpp
    Linking/PlayerNotification.cpp
    Linking/PermissionGroup.cpp
    Configuration/ReloadCommands.cpp
    Discord/Webhook.cpp
    Discord/AnnouncementPosts.cpp)
