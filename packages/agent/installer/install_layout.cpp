#include "installer/install_layout.h"

#include "common/paths.h"
#include "platform/fs.h"

namespace quillon {

InstallLayout installLayoutFor(const std::optional<std::string>& localAppData,
                               const std::optional<std::string>& userProfile) {
    const std::string base = localAppData && !localAppData->empty()
                                 ? *localAppData
                                 : joinPathElements({userProfile.value_or(""), "AppData", "Local"});
    InstallLayout layout;
    layout.installDir = joinPathElements({base, "Quillon"});
    layout.targetExe = joinPathElements({layout.installDir, "quillon-agent.exe"});
    layout.manifestPath = joinPathElements({layout.installDir, "br.quillon.agent.json"});
    return layout;
}

std::string uninstalledCopyPath(std::string_view installDir, int slot) {
    return joinPathElements({installDir, "quillon-agent.exe.uninstalled-" + std::to_string(slot)});
}

InstallLayout installLayout() {
    return installLayoutFor(platform::getEnv("LOCALAPPDATA"), platform::getEnv("USERPROFILE"));
}

std::string browserKey(const BrowserTarget& browser) {
    std::string key = "HKEY_CURRENT_USER\\";
    key += browser.subkey;
    return key;
}

}  // namespace quillon
