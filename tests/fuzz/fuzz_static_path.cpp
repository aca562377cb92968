// The static file service on arbitrary request targets: whatever the
// target, no file outside the web folder is ever served, and a Windows
// device name never reaches the file system.
#include <cstdint>
#include <filesystem>
#include <string>

#include "dispatcher.h"
#include "test_support.h"

namespace {

// web/ holds the page; a canary lies beside the folder and above it.
struct fixture {
    fixture()
    {
        std::filesystem::create_directories(root.path() / "web" / "sub");
        test::write_file(root.path() / "web" / "krv-webui.html", "PAGE");
        test::write_file(root.path() / "web" / "sub" / "a.js", "ASSET");
        test::write_file(root.path() / "web-canary.txt", "CANARY");
        test::write_file(root.path() / "canary.txt", "CANARY");
        cfg.web_dir = (root.path() / "web").string();
    }
    test::temp_dir root;
    config cfg;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fixture f;
    const std::string path(reinterpret_cast<const char*>(data), size);
    std::string response = serve_static_file(path, f.cfg);
    // The 404 text echoes the path, so only a served body tells.
    if (response.rfind("HTTP/1.1 200 ", 0) == 0) {
        std::string body = response.substr(response.find("\r\n\r\n") + 4);
        if (body != "PAGE" && body != "ASSET") __builtin_trap();
    }
    const bool allowed = static_path_allowed(path == "/" ? "/krv-webui.html" : path);
    if (!allowed && response.rfind("HTTP/1.1 400 ", 0) != 0) __builtin_trap();
    if (allowed && names_a_device(path) && response.rfind("HTTP/1.1 404 ", 0) != 0) __builtin_trap();
    return 0;
}
