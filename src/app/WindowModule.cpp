#include "app/WindowModule.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>

namespace ravelin {

std::string WindowModulePath() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::string("/usr/lib/ravelin/") + kWindowModuleName;
    const std::filesystem::path beside = self.parent_path() / kWindowModuleName;
    if (std::filesystem::exists(beside, error)) return beside.string();
    return (self.parent_path().parent_path() / "lib" / "ravelin" / kWindowModuleName).string();
}

int RunWindowModule(int argc, char** argv) {
    const std::string path = WindowModulePath();
    // Kept loaded to the end: Qt's objects and exit handlers live in it.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        (void)std::fprintf(stderr,
                           "ravelin: the window's module cannot be loaded (%s): build the target "
                           "ravelin-window, or reinstall Ravelin; --print runs without it\n",
                           dlerror());  // NOLINT(concurrency-mt-unsafe): one thread yet
        return 1;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's result is a function
    auto* const entry = reinterpret_cast<WindowEntry*>(dlsym(module, kWindowEntryName));
    if (entry == nullptr) {
        (void)std::fprintf(stderr, "ravelin: %s has no %s\n", path.c_str(), kWindowEntryName);
        return 1;
    }
    return entry(argc, argv);
}

}  // namespace ravelin
