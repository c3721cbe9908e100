// Launch at login on Linux desktops: an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/choralink.desktop (default
// ~/.config/autostart). The file is the registration: its presence, unless
// it is marked hidden or disabled, is what the desktop acts on at login, so
// the status is always read back from it. Any thread; no state besides the
// two paths.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "app/model/login_item.h"

namespace choralink {

class XdgAutostartEntry final : public LoginItemService {
 public:
  static constexpr std::string_view kFileName = "choralink.desktop";

  // The user's autostart folder: "autostart" in $XDG_CONFIG_HOME (an
  // absolute value only) or in ~/.config.
  static std::filesystem::path defaultFolder();
  // The running program (/proc/self/exe); empty when it cannot be found.
  static std::string currentExecutable();

  // An entry in `folder` that starts `executable` with no arguments.
  explicit XdgAutostartEntry(std::filesystem::path folder = defaultFolder(),
                             std::string executable = currentExecutable());

  // Writes the entry atomically, creating the folder when needed, replacing
  // whatever entry of that name was there (one the user disabled included).
  void registerItem() override;
  // Removes the entry; a missing one is fine.
  void unregisterItem() override;
  // True when the entry exists, has a [Desktop Entry] group, and that group
  // says neither Hidden=true nor X-GNOME-Autostart-enabled=false.
  bool isEnabled() const noexcept override;

  std::filesystem::path file() const { return folder_ / kFileName; }

  // The entry's text for `executable`. Throws LoginItemError for an empty
  // path or one holding control characters, which no Exec line can carry.
  static std::string entryText(std::string_view executable);
  // `executable` as one Exec argument: quoted when it holds a reserved
  // character, with the escapes the Desktop Entry format asks for.
  static std::string execArgument(std::string_view executable);

 private:
  std::filesystem::path folder_;
  std::string executable_;
};

}  // namespace choralink
