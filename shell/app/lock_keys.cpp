// Lock-key states from the kernel's LED class.
#include "shell/app/lock_keys.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace quoralith {

LockKeys read_lock_keys(const char* leds_directory) {
    LockKeys keys;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(leds_directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        bool* slot = nullptr;
        if (name.ends_with("::capslock")) slot = &keys.caps;
        else if (name.ends_with("::numlock")) slot = &keys.num;
        else if (name.ends_with("::scrolllock")) slot = &keys.scroll;
        if (!slot) continue;
        std::ifstream brightness(it->path() / "brightness");
        int value = 0;
        if (brightness >> value && value > 0) *slot = true;
    }
    return keys;
}

}  // namespace quoralith
