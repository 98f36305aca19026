#pragma once
// Replies to one player through the host's messaging service for this plugin.

#include <memory>
#include <string>

#include "Configuration/Settings.h"
#include "host/GameTypes.h"
#include "host/IMessagingManager.h"

inline constexpr FLinearColor kErrorColour{1.0f, 0.0f, 0.0f, 1.0f};
inline constexpr FLinearColor kSuccessColour{0.16202937f, 0.70837575f, 0.29177064f, 1.0f};

// The messaging service the host keeps for this plugin, which it knows by its module file.
std::shared_ptr<AsaApi::IMessagingManager> GetPluginMessaging();

// text (UTF-8) as a server message shows it: the message passes the formatter, so each brace is
// doubled to print as itself (the parser's reasons say "expected '{'", stored names hold any).
std::u16string ServerMessageText(const std::string& text);

// Shows the settings' message text under message_key: an on-screen notification in colour for
// MessagesDuration seconds when NotificationMode is set, else a chat line under the Sender text.
// The text passes the message formatter; a format error throws before anything is shown.
void NotifyPlayer(AShooterPlayerController* player, const Settings& settings,
                  const std::string& message_key, FLinearColor colour);
