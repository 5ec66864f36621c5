#include "token/pkcs11_search.h"

#include <unordered_set>

namespace quillon {

namespace {

// Runs the batches until the search ends for any of the reasons above.
void runBatches(const ModuleContext& ctx, CK_SESSION_HANDLE session, CK_ULONG batchSize,
                const std::function<SearchStep(CK_OBJECT_HANDLE)>& visit) {
    std::unordered_set<CK_OBJECT_HANDLE> seen;
    while (true) {
        auto batch = findObjects(ctx, session, batchSize);
        if (!batch || batch->empty()) return;
        for (CK_OBJECT_HANDLE h : *batch)
            if (!seen.insert(h).second || seen.size() > kMaxSearchHandles) return;
        for (CK_OBJECT_HANDLE h : *batch)
            if (visit(h) == SearchStep::Stop) return;
    }
}

}  // namespace

Status searchObjects(const ModuleContext& ctx, CK_SESSION_HANDLE session,
                     std::span<const TemplateAttribute> templ, CK_ULONG batchSize,
                     const std::function<SearchStep(CK_OBJECT_HANDLE)>& visit) {
    if (auto s = findObjectsInit(ctx, session, templ); !s) return s;
    runBatches(ctx, session, batchSize, visit);
    findObjectsFinal(ctx, session);
    return {};
}

}  // namespace quillon
