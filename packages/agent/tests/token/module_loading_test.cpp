// How the agent loads a PKCS#11 module's library: a module whose helper
// library stands beside it loads wherever the folder is, a folder named with
// letters beyond ASCII included (middleware lives under Program Files, with
// its helpers beside it).
#include <gtest/gtest.h>

#include "platform/dynlib.h"
#include "platform/fs.h"
#include "support/temp_folder.h"
#include "support/token_fixtures.h"

namespace quillon {
namespace {

using testing::copyFileTo;
using testing::inFolder;
using testing::ScratchFolder;

// Built on the Linux side; under Wine the Unix root is drive Z:.
std::string builtLibrary(std::string path) {
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
#endif
    return path;
}

std::string fileName(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

TEST(ModuleLoading, AModuleFindsTheHelperLibraryBesideIt) {
    const std::string module = builtLibrary(QUILLON_MODULE_WITH_HELPER);
    const std::string helper = builtLibrary(QUILLON_MODULE_HELPER);
    ScratchFolder scratch("modules");
    for (const char* folderName : {"Vendor Middleware", "Configuração Módulo"}) {
        SCOPED_TRACE(folderName);
        std::string folder = inFolder(scratch.path(), folderName);
        ASSERT_TRUE(platform::createDirectories(folder).has_value());
        std::string placed = inFolder(folder, fileName(module));
        ASSERT_TRUE(copyFileTo(module, placed));
        ASSERT_TRUE(copyFileTo(helper, inFolder(folder, fileName(helper))));

        auto library = platform::loadLibrary(placed);
        ASSERT_TRUE(library.has_value()) << library.error().text;
        using Answer = int (*)();
        auto answer = reinterpret_cast<Answer>(platform::findSymbol(*library, "quillon_answer_through_helper"));
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer(), 42);
    }
}

}  // namespace
}  // namespace quillon
