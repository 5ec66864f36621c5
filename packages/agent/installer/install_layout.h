// Where a per-user installation lives: its folder and files, and the
// registry keys that point at it. Installer and uninstaller build them by the
// same rule from the environment; nothing is read back from an earlier run.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

inline constexpr std::string_view kHostName = "br.quillon.agent";

struct InstallLayout {
    std::string installDir;    // <local app data>\Quillon
    std::string targetExe;     // installDir\quillon-agent.exe
    std::string manifestPath;  // installDir\br.quillon.agent.json
};

// Where an uninstall moves the executable, in its folder, for the delayed
// removal to delete it there: "quillon-agent.exe.uninstalled-<slot>", slot 1
// to kUninstalledCopySlots. No install writes these names, so the removal
// never reaches a copy installed after the uninstall.
inline constexpr int kUninstalledCopySlots = 16;
std::string uninstalledCopyPath(std::string_view installDir, int slot);

// From LOCALAPPDATA, or USERPROFILE\AppData\Local when that is unset or
// empty (an unset USERPROFILE leaves the relative AppData\Local).
InstallLayout installLayoutFor(const std::optional<std::string>& localAppData,
                               const std::optional<std::string>& userProfile);
InstallLayout installLayout();

struct BrowserTarget {
    std::string_view displayName;
    std::string_view subkey;  // under HKEY_CURRENT_USER
};

inline constexpr std::array<BrowserTarget, 3> kBrowserTargets{{
    {"Chrome", "SOFTWARE\\Google\\Chrome\\NativeMessagingHosts\\br.quillon.agent"},
    {"Brave", "SOFTWARE\\BraveSoftware\\Brave-Browser\\NativeMessagingHosts\\br.quillon.agent"},
    {"Edge", "SOFTWARE\\Microsoft\\Edge\\NativeMessagingHosts\\br.quillon.agent"},
}};

// "HKEY_CURRENT_USER\" and the browser's subkey.
std::string browserKey(const BrowserTarget& browser);

inline constexpr std::string_view kUninstallKey =
    "HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillon.Agent";

}  // namespace quillon
