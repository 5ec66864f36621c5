#include "token/pkcs11_context.h"

#include <map>
#include <memory>
#include <mutex>

#include "common/format.h"
#include "log/log.h"

namespace quillon {

namespace {

// Contexts are heap records so the pointers handed to callers stay valid
// while other paths are added to the map.
std::map<std::string, std::unique_ptr<ModuleContext>> ctxCache;
std::mutex ctxMu;

}  // namespace

Result<const ModuleContext*> getPkcs11Ctx(const std::string& path) {
    std::lock_guard lock(ctxMu);
    if (auto it = ctxCache.find(path); it != ctxCache.end()) return it->second.get();

    auto loaded = loadModule(path);
    if (!loaded) return fail(sformat("falha ao carregar: %s", path));
    auto ctx = std::make_unique<ModuleContext>(std::move(*loaded));
    if (auto s = initializeModule(*ctx); !s)
        // The module stays loaded: only the record is dropped.
        return failWrapped(sformat("Initialize(%s): ", path), s.error());

    const ModuleContext* handed = ctx.get();
    ctxCache.emplace(path, std::move(ctx));
    return handed;
}

void resetPkcs11Ctx(const std::string& path) {
    std::lock_guard lock(ctxMu);
    auto it = ctxCache.find(path);
    if (it == ctxCache.end()) return;
    finalizeModule(*it->second);
    ctxCache.erase(it);
    logf("contexto PKCS#11 resetado: %s", path);
}

}  // namespace quillon
